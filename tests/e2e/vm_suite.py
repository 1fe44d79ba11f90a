# The i686 run of the end-to-end scenarios: one virtual machine boot and one Wine
# prefix template for all of them, one result file per scenario for CTest to report.
#
#   vm_suite.py run RESULTS NAME...     inside the machine: the Wine prefix template,
#                                       then the scenarios, KELVRA_E2E_JOBS at a time (2)
#   vm_suite.py report RESULTS NAME     one scenario's result; its output on failure
#
# A result file's first line is "pass" or "fail", the scenario's output after it.
import concurrent.futures
import contextlib
import os
import subprocess
import sys
import threading
import time


def result_path(results, name):
    return os.path.join(results, name.rsplit(".test_", 1)[-1] + ".result")


def run_scenario(here, name, timeout):
    started = time.monotonic()
    try:
        done = subprocess.run([sys.executable, "-m", "unittest", "-v", name], cwd=here,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=timeout)
        output = done.stdout.decode("utf-8", "replace")
        # unittest ends with status 0 for a skipped scenario too: the output says so.
        verdict = "pass" if done.returncode == 0 else "fail"
    except subprocess.TimeoutExpired as e:
        output = (e.stdout or b"").decode("utf-8", "replace")
        output += "\nvm_suite: the scenario did not end within %gs\n" % timeout
        verdict = "fail"
    return verdict, output, time.monotonic() - started


def write_result(results, name, verdict, output):
    path = result_path(results, name)
    with open(path + ".tmp", "w") as f:
        f.write(verdict + "\n" + output)
    os.replace(path + ".tmp", path)


def run(results, names):
    os.makedirs(results, exist_ok=True)
    for name in names:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(result_path(results, name))
    here = os.path.dirname(os.path.abspath(__file__))
    timeout = float(os.environ.get("KELVRA_E2E_SCENARIO_TIMEOUT", "900"))
    jobs = max(1, int(os.environ.get("KELVRA_E2E_JOBS", "2")))
    begun = time.monotonic()

    # The prefix template first, on its own clock: it is most of the first scenario's
    # time otherwise, and a failure to make it is every scenario's.
    sys.path.insert(0, here)
    import kelvra_e2e as k
    started = time.monotonic()
    try:
        k.template_prefix()
    except Exception as e:  # any failure here is reported through every scenario
        for name in names:
            write_result(results, name, "fail", "vm_suite: no Wine prefix: %s\n" % e)
        print("vm_suite: no Wine prefix: %s" % e, flush=True)
        return 1
    print("vm_suite: Wine prefix made in %.0fs" % (time.monotonic() - started), flush=True)

    failed = 0
    lock = threading.Lock()

    def one(name):
        nonlocal failed
        verdict, output, seconds = run_scenario(here, name, timeout)
        output += "\nvm_suite: %s in %.0fs\n" % (verdict, seconds)
        write_result(results, name, verdict, output)
        with lock:
            failed += verdict == "fail"
            print("%s %s (%.0fs)" % (verdict, name, seconds), flush=True)

    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        list(pool.map(one, names))
    print("vm_suite: %d of %d scenarios failed, %d at a time, %.0fs in all"
          % (failed, len(names), jobs, time.monotonic() - begun), flush=True)
    return 0


def report(results, name):
    path = result_path(results, name)
    if not os.path.exists(path):
        print("no result for %s in %s: the i686 run did not reach it (see the i686.vm test)"
              % (name, results))
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
