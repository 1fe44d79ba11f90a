# The i686 run of the end-to-end scenarios: one virtual machine boot and one Wine
# prefix template for all of them, one result file per scenario for CTest to report.
#
#   vm_suite.py run RESULTS NAME...     inside the machine: the Wine prefix template,
#                                       then the scenarios, KELVRA_E2E_JOBS at a time (2)
#   vm_suite.py report RESULTS NAME     one scenario's result; its output on failure
#
# A result file, RESULTS/NAME.result, has "pass" or "fail" on its first line and the
# scenario's output after it.
import concurrent.futures
import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def result_path(results, name):
    return os.path.join(results, name + ".result")


def run_scenario(name, timeout):
    """unittest ends with status 0 for a skipped scenario too: its output says so."""
    started = time.monotonic()
    try:
        done = subprocess.run([sys.executable, "-m", "unittest", "-v", "scenarios.Play.test_" + name], cwd=HERE,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout)
        verdict, output = "pass" if done.returncode == 0 else "fail", done.stdout
    except subprocess.TimeoutExpired as e:
        verdict, output = "fail", (e.stdout or b"") + b"\nvm_suite: the scenario did not end within %gs\n" % timeout
    seconds = time.monotonic() - started
    return verdict, output.decode("utf-8", "replace") + "\nvm_suite: %s in %.0fs\n" % (verdict, seconds), seconds


def write_result(results, name, verdict, output):
    path = result_path(results, name)
    with open(path + ".tmp", "w") as f:
        f.write(verdict + "\n" + output)
    os.replace(path + ".tmp", path)


def run(results, names):
    os.makedirs(results, exist_ok=True)
    for name in names:
        if os.path.exists(result_path(results, name)):
            os.unlink(result_path(results, name))
    timeout = float(os.environ.get("KELVRA_E2E_SCENARIO_TIMEOUT", "900"))
    jobs = max(1, int(os.environ.get("KELVRA_E2E_JOBS", "2")))
    begun = time.monotonic()
    # The prefix template first, on its own clock: it is most of the first scenario's
    # time otherwise, and a failure to make it is every scenario's.
    sys.path.insert(0, HERE)
    import kelvra_e2e
    try:
        kelvra_e2e.template_prefix()
    except Exception as e:  # any failure here is reported through every scenario
        for name in names:
            write_result(results, name, "fail", "vm_suite: no Wine prefix: %s\n" % e)
        print("vm_suite: no Wine prefix: %s" % e, flush=True)
        return 1
    print("vm_suite: Wine prefix made in %.0fs" % (time.monotonic() - begun), flush=True)
    failed, lock = [], threading.Lock()

    def one(name):
        verdict, output, seconds = run_scenario(name, timeout)
        write_result(results, name, verdict, output)
        with lock:
            failed.extend([name] if verdict == "fail" else [])
            print("%s %s (%.0fs)" % (verdict, name, seconds), flush=True)

    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        list(pool.map(one, names))
    print("vm_suite: %d of %d scenarios failed, %d at a time, %.0fs in all"
          % (len(failed), len(names), jobs, time.monotonic() - begun), flush=True)
    return 0


def report(results, name):
    path = result_path(results, name)
    if not os.path.exists(path):
        print("no result for %s in %s: the i686 run did not reach it (see the i686.vm test)" % (name, results))
        return 1
    with open(path, encoding="utf-8", errors="replace") as f:
        verdict, _, output = f.read().partition("\n")
    if verdict != "pass":
        sys.stdout.write(output)
        return 1
    print(output.strip().splitlines()[-1] if output.strip() else "pass")
    return 0


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "run":
        sys.exit(run(sys.argv[2], sys.argv[3:]))
    if len(sys.argv) == 4 and sys.argv[1] == "report":
        sys.exit(report(sys.argv[2], sys.argv[3]))
    sys.stderr.write("usage: vm_suite.py run RESULTS NAME... | report RESULTS NAME\n")
    sys.exit(2)
