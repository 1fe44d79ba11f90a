#!/usr/bin/env python3
# The benchmark driver behind bench/run: times kelvra-pack against zip, unzip and 7z on
# one corpus in one run, repeated, and writes the results as Markdown, JSON and a plot.
# Python standard library only; every number is measured here, nothing is assumed.
import datetime
import hashlib
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time

MB = 1 << 20
HERE = os.path.dirname(os.path.abspath(__file__))


def env_int(name, default):
    value = os.environ.get(name, '')
    return int(value) if value.strip() else default


# The parts of a run, for BENCH_ONLY. Steps that need archives use those an earlier run
# left in the work folder when create is not part of this one.
SECTIONS = ('create', 'scaling', 'ultra', 'extract', 'testjobs', 'chunkloop', 'memory', 'profile')
NOT_RUN = 'not run (BENCH_ONLY)'


def wants(section):
    return section in CFG.only


def skip_steps(steps):
    for step in steps:
        step.series.error = NOT_RUN


class Config:
    def __init__(self, build):
        self.build = build
        self.quick = env_int('BENCH_QUICK', 0) == 1
        self.repeat = max(1, env_int('BENCH_REPEAT', 3 if self.quick else 5))
        self.big = env_int('BENCH_BIG', 0 if self.quick else 1) == 1
        self.big_bytes = (1024 if self.big else 128) * MB
        self.small_bytes = 10 * MB
        self.profile = env_int('BENCH_PROFILE', 1) == 1
        self.nproc = os.cpu_count() or 1
        self.out = os.path.join(build, 'bench')
        only = os.environ.get('BENCH_ONLY', '')
        self.only = {x.strip() for x in only.split(',') if x.strip()} or set(SECTIONS)
        unknown = self.only - set(SECTIONS)
        if unknown:
            sys.exit('bench: BENCH_ONLY: unknown %s (known: %s)' % (', '.join(sorted(unknown)),
                                                                   ', '.join(SECTIONS)))
        mode = '-quick' if self.quick else ''
        suffix = mode + ('-partial' if only.strip() else '')
        self.data = os.path.join(self.out, 'data' + mode)
        self.work = os.path.join(self.out, 'work' + mode)
        self.results_md = os.path.join(self.out, 'results%s.md' % suffix)
        self.results_json = os.path.join(self.out, 'results%s.json' % suffix)
        self.results_png = os.path.join(self.out, 'results%s.png' % suffix)
        self.pack = os.environ.get('KELVRA_PACK') or os.path.join(build, 'native', 'packer', 'kelvra-pack')
        self.chunkloop = os.environ.get('KELVRA_CHUNKLOOP') or os.path.join(build, 'native', 'bench', 'kelvra-chunkloop')
        self.stub = os.environ.get('KELVRA_STUB') or os.path.join(build, 'i686', 'ui', 'kelvra-stub.exe')
        # Extractions write into memory by default: on this kind of disk, creating files
        # right after deleting many costs more than anything the tools do themselves.
        self.xroot = os.environ.get('BENCH_XDIR') or ''
        if not self.xroot and os.access('/dev/shm', os.W_OK):
            self.xroot = '/dev/shm/kelvra-bench-%d' % os.getpid()
        if not self.xroot:
            self.xroot = os.path.join(self.work, 'extract')


class BenchError(Exception):
    pass


def log(msg):
    print('bench: ' + msg, flush=True)


# ---------------------------------------------------------------- measuring

class Sample:
    """One timed step: wall seconds, CPU seconds and peak RSS (KiB) of its processes."""
    def __init__(self):
        self.wall = 0.0
        self.cpu = 0.0
        self.rss_kb = 0

    def add(self, other):
        self.wall += other.wall
        self.cpu += other.cpu
        self.rss_kb = max(self.rss_kb, other.rss_kb)


GNU_TIME = '/usr/bin/time'


def run_measured(cmd, cwd=None):
    """Runs cmd to its end, timed. CPU time and peak RSS come from GNU time: a child
    forked from this (much larger) Python process would report our RSS as its own peak."""
    err_path = os.path.join(CFG.work, 'last-stderr.txt')
    time_path = os.path.join(CFG.work, 'last-time.txt')
    use_time = os.access(GNU_TIME, os.X_OK)
    full = [GNU_TIME, '-o', time_path, '-f', '%M'] + cmd if use_time else cmd
    with open(err_path, 'w+b') as err:
        t0 = time.perf_counter()
        proc = subprocess.Popen(full, cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        t1 = time.perf_counter()
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            err.seek(0)
            tail = err.read()[-600:].decode(errors='replace').strip()
            raise BenchError('%s exited with %d: %s' % (' '.join(cmd), proc.returncode, tail))
    s = Sample()
    s.wall = t1 - t0
    # wait4 counts the reaped grandchild's CPU too, to the microsecond.
    s.cpu = usage.ru_utime + usage.ru_stime
    s.rss_kb = usage.ru_maxrss
    if use_time:
        with open(time_path) as f:
            s.rss_kb = int(f.read().split()[-1])
    return s


def run_quiet(cmd, cwd=None):
    subprocess.run(cmd, cwd=cwd, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def fresh_dir(path):
    shutil.rmtree(path, ignore_errors=True)
    if os.path.exists(path):
        subprocess.run(['chmod', '-R', 'u+w', path], check=False)
        shutil.rmtree(path)
    os.makedirs(path)


def remove(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def settle():
    """Flushes what earlier steps wrote, so that writeback doesn't land in the next timing."""
    os.sync()


class Series:
    """The samples of one named step over the repeats."""
    def __init__(self, name):
        self.name = name
        self.samples = []
        self.size = None      # bytes of what the step produced, when it produces archives
        self.error = None
        self.note = ''

    def ok(self):
        return self.error is None and bool(self.samples)

    def stat(self, attr):
        values = [getattr(s, attr) for s in self.samples]
        return statistics.median(values), min(values), max(values)

    def median(self):
        return self.stat('wall')[0]

    def peak_mb(self):
        return max(s.rss_kb for s in self.samples) / 1024.0

    def to_json(self):
        out = {'name': self.name, 'error': self.error, 'size': self.size, 'note': self.note}
        if self.samples:
            out['wall'] = [s.wall for s in self.samples]
            out['cpu'] = [s.cpu for s in self.samples]
            out['rss_kb'] = [s.rss_kb for s in self.samples]
        return out


# ---------------------------------------------------------------- steps

class Step:
    """One tool doing one thing to every folder: a command per folder, with untimed
    preparation before each."""
    def __init__(self, name, make_cmd, prepare=None, output=None, needs=None, cwd=None):
        self.name = name
        self.make_cmd = make_cmd      # folder -> argv
        self.prepare = prepare        # folder -> None, untimed
        self.output = output          # folder -> path of what it writes (for the size)
        self.needs = needs            # program that must exist
        self.cwd = cwd
        self.series = Series(name)

    def available(self):
        if self.needs and shutil.which(self.needs) is None and not os.access(self.needs, os.X_OK):
            self.series.error = '%s not found' % self.needs
            return False
        return True

    def run_once(self, folders):
        total = Sample()
        for folder in folders:
            if self.prepare:
                self.prepare(folder)
                settle()
            total.add(run_measured(self.make_cmd(folder), cwd=self.cwd))
        if self.output:
            self.series.size = sum(os.path.getsize(self.output(f)) for f in folders)
        return total


def run_rounds(steps, folders, repeat, after_first=None):
    """Every step once per round, rounds repeated: tools side by side under the same load."""
    for round_no in range(repeat):
        for step in steps:
            if step.series.error is not None or not step.available():
                continue
            try:
                sample = step.run_once(folders)
                step.series.samples.append(sample)
                log('%-28s round %d/%d  %7.2f s  peak %6.1f MB' % (
                    step.name, round_no + 1, repeat, sample.wall, sample.rss_kb / 1024.0))
                if round_no == 0 and after_first:
                    after_first(step)
            except BenchError as e:
                step.series.error = str(e)
                log('%s failed: %s' % (step.name, e))


# ---------------------------------------------------------------- corpus and data

def build_corpus():
    cmd = [sys.executable, os.path.join(HERE, 'make-corpus'), CFG.data]
    if CFG.quick:
        cmd.append('--quick')
    subprocess.run(cmd, check=True)
    corpus = os.path.join(CFG.data, 'corpus')
    folders = sorted(d for d in os.listdir(corpus) if os.path.isdir(os.path.join(corpus, d)))
    with open(os.path.join(CFG.data, 'corpus.manifest.sha256')) as f:
        digest = f.read().split()[0]
    files = total = 0
    with open(os.path.join(CFG.data, 'corpus.manifest')) as f:
        for line in f:
            if line.startswith('#'):
                continue
            dest, size, _src = line.rstrip('\n').split('\t')
            if dest.startswith('subset-'):
                continue
            files += 1
            total += int(size)
    return {'dir': corpus, 'folders': folders, 'files': files, 'bytes': total,
            'sha256': digest, 'subset_dir': os.path.join(CFG.data, 'subset')}


def tree_digest(root):
    """Contents of every file under root, as a sorted list of (size, sha1): where the
    tools put the folder name doesn't matter, what they wrote does."""
    items = []
    for dirpath, _dirs, files in os.walk(root):
        for name in files:
            if name == '.complete' and dirpath == root:
                continue
            with open(os.path.join(dirpath, name), 'rb') as f:
                data = f.read()
            items.append((len(data), hashlib.sha1(data).hexdigest()))
    return sorted(items)


def stand_in_stub():
    if os.path.isfile(CFG.stub):
        return CFG.stub, False
    path = os.path.join(CFG.out, 'stand-in-stub.bin')
    with open(path, 'wb') as f:
        f.write(bytes(30 * 1024))
    return path, True


def write_mix(path, total, corpus, files):
    """A moderately compressible file: a mix of the corpus's own files, repeated."""
    block = bytearray()
    for rel in files:
        with open(os.path.join(corpus, rel), 'rb') as f:
            block += f.read()
        if len(block) >= 16 * MB:
            break
    block = bytes(block[:16 * MB])
    with open(path, 'wb') as f:
        left = total
        while left > 0:
            piece = block[:left]
            f.write(piece)
            left -= len(piece)


def mix_sources(corpus):
    """Every 7th corpus file, so the mix holds programs, headers, text and packed data."""
    all_files = []
    for dirpath, dirs, files in os.walk(corpus):
        dirs.sort()
        for name in sorted(files):
            if name != '.complete':
                all_files.append(os.path.relpath(os.path.join(dirpath, name), corpus))
    return all_files[::7]


# ---------------------------------------------------------------- machine

def machine():
    cpu = platform.processor() or ''
    try:
        with open('/proc/cpuinfo') as f:
            for line in f:
                if line.startswith('model name'):
                    cpu = line.split(':', 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ''
    try:
        with open('/proc/meminfo') as f:
            for line in f:
                if line.startswith('MemTotal'):
                    mem = '%.1f GiB' % (int(line.split()[1]) / 1024.0 / 1024.0)
    except OSError:
        pass

    def version(cmd, pattern):
        try:
            out = subprocess.run(cmd, capture_output=True, text=True).stdout
            m = re.search(pattern, out)
            return m.group(0).strip() if m else '?'
        except OSError:
            return 'missing'
    return {
        'date': datetime.datetime.now().astimezone().strftime('%Y-%m-%d %H:%M %Z'),
        'nproc': CFG.nproc, 'cpu': cpu, 'memory': mem,
        'kernel': platform.release(),
        'zip': version(['zip', '-v'], r'Zip [0-9.]+'),
        'unzip': version(['unzip', '-v'], r'UnZip [0-9.]+'),
        '7z': version(['7z'], r'7-Zip[^:]*[0-9.]+'),
        'load': '%.2f %.2f %.2f' % os.getloadavg(),
    }


# ---------------------------------------------------------------- the run

def main():
    global CFG
    CFG = Config(os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else 'build'))
    os.makedirs(CFG.out, exist_ok=True)
    os.makedirs(CFG.work, exist_ok=True)
    os.makedirs(CFG.xroot, exist_ok=True)
    try:
        run_all()
    finally:
        if CFG.xroot.startswith('/dev/shm/'):
            shutil.rmtree(CFG.xroot, ignore_errors=True)


def run_all():
    started = time.time()
    mach = machine()
    log('%s run, %d repeats, %d cores, %s' % ('quick' if CFG.quick else 'full', CFG.repeat,
                                             CFG.nproc, mach['cpu']))
    if not os.access(CFG.pack, os.X_OK):
        log('kelvra-pack not found at %s (build it: make native, or set KELVRA_PACK)' % CFG.pack)
        sys.exit(0)

    corpus = build_corpus()
    stub, stand_in = stand_in_stub()
    stub_size = os.path.getsize(stub)
    log('stub: %s (%d bytes%s)' % (stub, stub_size, ', stand-in' if stand_in else ''))
    W = CFG.work
    C = corpus['dir']
    folders = corpus['folders']
    pack = CFG.pack
    R = {'machine': mach, 'mode': 'quick' if CFG.quick else 'full', 'repeat': CFG.repeat,
         'corpus': {k: v for k, v in corpus.items() if k not in ('dir', 'subset_dir')},
         'stub': {'path': stub, 'size': stub_size, 'stand_in': stand_in}, 'errors': []}

    def outdir(name):
        d = os.path.join(W, name)
        os.makedirs(d, exist_ok=True)
        return d

    # ---- create: one archive per folder, every tool
    levels = [('1', '1'), ('6', '6'), ('9', '9'), ('max', 'max')]

    def kelvra_create(level, tag, jobs=None, source=C, extra_name=''):
        d = outdir('create-' + tag)
        args = ['--level', level] if level else []
        if jobs:
            args += ['--jobs', str(jobs)]
        return Step('kelvra-pack create %s%s' % (('--level ' + level) if level else 'default',
                                                 extra_name),
                    lambda f: [pack, 'create', '-o', os.path.join(d, f + '.exe'), '--stub', stub]
                    + args + [f],
                    prepare=lambda f: remove(os.path.join(d, f + '.exe')),
                    output=lambda f: os.path.join(d, f + '.exe'), needs=pack, cwd=source)

    def zip_step(source=C, tag='zip9'):
        d = outdir('create-' + tag)
        return Step('zip -9 -r', lambda f: ['zip', '-9', '-r', '-q', os.path.join(d, f + '.zip'), f],
                    prepare=lambda f: remove(os.path.join(d, f + '.zip')),
                    output=lambda f: os.path.join(d, f + '.zip'), needs='zip', cwd=source)

    create_k = {tag: kelvra_create(level, 'L' + tag) for level, tag in levels}
    create_zip = zip_step()
    d7z = outdir('create-7zzip')
    create_7zzip = Step('7z a -tzip -mx9',
                        lambda f: ['7z', 'a', '-tzip', '-mx9', '-bd', '-bso0', '-bsp0', '-y',
                                   os.path.join(d7z, f + '.zip'), f],
                        prepare=lambda f: remove(os.path.join(d7z, f + '.zip')),
                        output=lambda f: os.path.join(d7z, f + '.zip'), needs='7z', cwd=C)
    d7 = outdir('create-7z')
    create_7z = Step('7z a (LZMA2)',
                     lambda f: ['7z', 'a', '-bd', '-bso0', '-bsp0', '-y', os.path.join(d7, f + '.7z'), f],
                     prepare=lambda f: remove(os.path.join(d7, f + '.7z')),
                     output=lambda f: os.path.join(d7, f + '.7z'), needs='7z', cwd=C)
    creates = [create_k[t] for _l, t in levels] + [create_zip, create_7zzip, create_7z]
    if wants('create'):
        log('== create: %d folders, %.1f MB' % (len(folders), corpus['bytes'] / MB))
        run_rounds(creates, folders, CFG.repeat)
    else:
        skip_steps(creates)

    # ---- scaling: default level, --jobs 1, 2, all cores
    jobs_list = sorted({1, 2, CFG.nproc})
    scaling = [kelvra_create(None, 'jobs%d' % j, jobs=j, extra_name=' --jobs %d' % j) for j in jobs_list]
    if wants('scaling'):
        log('== scaling: --jobs %s' % ', '.join(map(str, jobs_list)))
        run_rounds(scaling, folders, CFG.repeat)
    else:
        skip_steps(scaling)

    # ---- slowest encoders on a small subset
    subset_folders = sorted(os.listdir(corpus['subset_dir']))
    subset_bytes = sum(os.path.getsize(os.path.join(dp, n))
                       for dp, _d, fs in os.walk(corpus['subset_dir']) for n in fs)
    sub = [kelvra_create('9', 'sub-L9', source=corpus['subset_dir']),
           kelvra_create('max', 'sub-Lmax', source=corpus['subset_dir']),
           kelvra_create('ultra', 'sub-Lultra', source=corpus['subset_dir']),
           zip_step(source=corpus['subset_dir'], tag='sub-zip9')]
    if wants('ultra'):
        log('== subset for --level ultra: %.1f MB' % (subset_bytes / MB))
        run_rounds(sub, subset_folders, CFG.repeat)
    else:
        skip_steps(sub)

    # ---- test and extract
    k_archive = lambda f: os.path.join(W, 'create-L9', f + '.exe')
    z_archive = lambda f: os.path.join(W, 'create-zip9', f + '.zip')
    s_archive = lambda f: os.path.join(W, 'create-7z', f + '.7z')
    tests = [Step('kelvra-pack test', lambda f: [pack, 'test', k_archive(f)], needs=pack),
             Step('unzip -t', lambda f: ['unzip', '-tq', z_archive(f)], needs='unzip'),
             Step('7z t', lambda f: ['7z', 't', '-bd', '-bso0', '-bsp0', s_archive(f)], needs='7z')]

    def archives_ready(src, path):
        if src.series.error == NOT_RUN:
            return all(os.path.isfile(path(f)) for f in folders)
        return src.series.ok()
    ready = {'kelvra': archives_ready(create_k['9'], k_archive),
             'zip': archives_ready(create_zip, z_archive), '7z': archives_ready(create_7z, s_archive)}
    for step, src in zip(tests, ('kelvra', 'zip', '7z')):
        if not ready[src]:
            step.series.error = 'no %s archives' % src

    xdir = lambda name: os.path.join(CFG.xroot, 'x-' + name)
    ddir = lambda name: os.path.join(W, 'x-' + name)
    extracts = [
        Step('kelvra-pack extract',
             lambda f: [pack, 'extract', k_archive(f), '-C', xdir('kelvra'), '--overwrite', 'replace'],
             prepare=lambda f: fresh_dir(xdir('kelvra')), needs=pack),
        Step('unzip -o -q', lambda f: ['unzip', '-o', '-q', z_archive(f), '-d', xdir('unzip')],
             prepare=lambda f: fresh_dir(xdir('unzip')), needs='unzip'),
        Step('7z x', lambda f: ['7z', 'x', '-y', '-bd', '-bso0', '-bsp0', '-o' + xdir('7z'), s_archive(f)],
             prepare=lambda f: fresh_dir(xdir('7z')), needs='7z'),
        Step('kelvra-pack extract, to disk',
             lambda f: [pack, 'extract', k_archive(f), '-C', ddir('kelvra'), '--overwrite', 'replace'],
             prepare=lambda f: fresh_dir(ddir('kelvra')), needs=pack),
        Step('unzip -o -q, to disk', lambda f: ['unzip', '-o', '-q', z_archive(f), '-d', ddir('unzip')],
             prepare=lambda f: fresh_dir(ddir('unzip')), needs='unzip'),
    ]
    for step, src in zip(extracts, ('kelvra', 'zip', '7z', 'kelvra', 'zip')):
        if not ready[src]:
            step.series.error = 'no %s archives' % src
    # The extractions run one folder at a time into a fresh directory; the first round
    # of each is checked against the corpus folder, byte for byte.
    expected = {}

    def verify_last(step):
        folder = folders[-1]
        if folder not in expected:
            expected[folder] = tree_digest(os.path.join(C, folder))
        tag = 'kelvra' if step.name.startswith('kelvra') else step.name.split()[0]
        got = tree_digest((ddir if 'disk' in step.name else xdir)(tag))
        if got != expected[folder]:
            step.series.error = 'extracted files differ from %s (%d files expected, %d found)' % (
                folder, len(expected[folder]), len(got))
            log(step.name + ': ' + step.series.error)
        else:
            step.series.note = 'checked: %s extracted byte for byte' % folder
    if wants('extract'):
        log('== test and extract')
        run_rounds(tests, folders, CFG.repeat)
        run_rounds(extracts, folders, CFG.repeat, after_first=verify_last)
        if extracts[0].series.ok():
            # Once more, every archive into one directory, checked against the whole corpus.
            whole = xdir('whole')
            fresh_dir(whole)
            try:
                for f in folders:
                    run_measured([pack, 'extract', k_archive(f), '-C', whole, '--overwrite', 'replace'])
                if tree_digest(whole) == tree_digest(C):
                    extracts[0].series.note = 'checked: the whole corpus extracted byte for byte'
                else:
                    extracts[0].series.error = 'extracted files differ from the corpus'
            except BenchError as e:
                extracts[0].series.error = str(e)
            shutil.rmtree(whole, ignore_errors=True)
    else:
        skip_steps(tests + extracts)

    # ---- test on one thread and on two, over the same archives, side by side
    test_jobs = [Step('kelvra-pack test --jobs %d' % j,
                      lambda f, j=j: [pack, 'test', '-q', '--jobs', str(j), k_archive(f)], needs=pack)
                 for j in (1, 2)]
    if not ready['kelvra']:
        for step in test_jobs:
            step.series.error = 'no kelvra archives'
    if wants('testjobs'):
        log('== test: --jobs 1, 2')
        run_rounds(test_jobs, folders, CFG.repeat)
    else:
        skip_steps(test_jobs)

    # ---- the chunk loop alone, over the same archives
    loop = None
    if not wants('chunkloop'):
        pass
    elif os.access(CFG.chunkloop, os.X_OK) and ready['kelvra']:
        log('== chunk loop')
        wdir = os.path.join(CFG.xroot, 'chunkloop-out')
        fresh_dir(wdir)
        try:
            out = subprocess.run([CFG.chunkloop, '--repeat', str(CFG.repeat), '--write', wdir]
                                 + [k_archive(f) for f in folders],
                                 capture_output=True, text=True, check=True).stdout
            loop = json.loads(out)
        except (subprocess.CalledProcessError, ValueError) as e:
            R['errors'].append('chunk loop: %s' % getattr(e, 'stderr', e))
        shutil.rmtree(wdir, ignore_errors=True)
    else:
        R['errors'].append('chunk loop skipped: %s not built, or no kelvra archives' % CFG.chunkloop)

    # ---- memory: one big single-file archive against a small one
    mem = {}
    mdir = os.path.join(W, 'memory')
    try:
        if not wants('memory'):
            raise StopIteration
        log('== memory: %d MiB and %d MiB single-file archives' % (CFG.big_bytes // MB, CFG.small_bytes // MB))
        fresh_dir(mdir)
        sources = mix_sources(C)
        for tag, size in (('big', CFG.big_bytes), ('small', CFG.small_bytes)):
            src_dir = os.path.join(mdir, 'in-' + tag)
            os.makedirs(src_dir)
            write_mix(os.path.join(src_dir, 'data.bin'), size, C, sources)
            archive = os.path.join(mdir, tag + '.exe')
            settle()
            rounds = 1 if tag == 'big' else min(3, CFG.repeat)
            for kind in ('create', 'extract'):
                s = Series('%s %s' % (kind, tag))
                for _ in range(rounds):
                    if kind == 'create':
                        remove(archive)
                        settle()
                        s.samples.append(run_measured([pack, 'create', '-o', archive, '--stub', stub,
                                                       '--level', '1', 'data.bin'], cwd=src_dir))
                    else:
                        xd = os.path.join(CFG.xroot, 'x-' + tag)
                        fresh_dir(xd)
                        settle()
                        s.samples.append(run_measured([pack, 'extract', archive, '-C', xd,
                                                       '--overwrite', 'replace']))
                        if os.path.getsize(os.path.join(xd, 'data.bin')) != size:
                            raise BenchError('extracted %s file has the wrong size' % tag)
                        shutil.rmtree(xd)
                s.size = os.path.getsize(archive)
                mem['%s_%s' % (kind, tag)] = s
                log('%-28s %7.2f s  peak %6.1f MB' % (s.name, s.median(), s.peak_mb()))
            shutil.rmtree(src_dir)
    except StopIteration:
        pass
    except (BenchError, OSError) as e:
        R['errors'].append('memory check: %s' % e)
        log('memory check failed: %s' % e)
    shutil.rmtree(mdir, ignore_errors=True)

    # ---- where extraction spends its time
    prof = profile(pack, [k_archive(f) for f in folders], [z_archive(f) for f in folders],
                   loop) if CFG.profile and wants('profile') and ready['kelvra'] and ready['zip'] else None

    for d in ('x-kelvra', 'x-unzip', 'x-7z'):
        shutil.rmtree(os.path.join(W, d), ignore_errors=True)
        shutil.rmtree(os.path.join(CFG.xroot, d), ignore_errors=True)

    R.update({
        'create': [s.series.to_json() for s in creates],
        'scaling': [s.series.to_json() for s in scaling],
        'subset': {'bytes': subset_bytes, 'steps': [s.series.to_json() for s in sub]},
        'test': [s.series.to_json() for s in tests],
        'test_jobs': [s.series.to_json() for s in test_jobs],
        'extract': [s.series.to_json() for s in extracts],
        'chunkloop': loop,
        'memory': {k: v.to_json() for k, v in mem.items()},
        'profile': prof,
        'elapsed_s': time.time() - started,
        'load_end': '%.2f %.2f %.2f' % os.getloadavg(),
    })
    for group in (creates, scaling, sub, tests, test_jobs, extracts):
        for s in group:
            if s.series.error and s.series.error != NOT_RUN:
                R['errors'].append('%s: %s' % (s.name, s.series.error))
    with open(CFG.results_json, 'w') as f:
        json.dump(R, f, indent=1)
    report = Report(R, corpus, creates, scaling, sub, subset_bytes, tests, extracts, loop, mem,
                    prof, jobs_list)
    report.test_jobs = test_jobs
    text = report.markdown()
    with open(CFG.results_md, 'w') as f:
        f.write(text)
    plot(report)
    print()
    print(text)
    log('results in %s (%.0f s)' % (CFG.results_md, time.time() - started))


# ---------------------------------------------------------------- profile

def strace_counts(cmd, out_path):
    """System calls by name over the whole command (children included)."""
    counts = {}
    try:
        subprocess.run(['strace', '-f', '-c', '-o', out_path] + cmd, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except (OSError, subprocess.CalledProcessError):
        return None
    with open(out_path) as f:
        for line in f:
            parts = line.split()
            # % time, seconds, usecs/call, calls, [errors], syscall
            if len(parts) >= 5 and re.match(r'^[0-9.]+$', parts[0]) and parts[-1] != 'total':
                counts[parts[-1]] = counts.get(parts[-1], 0) + int(parts[3])
    return counts


def profile(pack, k_archives, z_archives, loop):
    """strace counts of kelvra-pack extract and unzip over the same corpus, and the top of
    a perf profile of kelvra-pack extract, when the tools are there."""
    log('== profile of extraction')
    W = CFG.work
    res = {}
    if shutil.which('strace'):
        for tag, archives, make in (
                ('kelvra', k_archives, lambda a, d: [pack, 'extract', a, '-C', d, '--overwrite', 'replace']),
                ('unzip', z_archives, lambda a, d: ['unzip', '-o', '-q', a, '-d', d])):
            total = {}
            d = os.path.join(CFG.xroot, 'x-prof')
            for a in archives:
                fresh_dir(d)
                c = strace_counts(make(a, d), os.path.join(W, 'strace-%s.txt' % tag))
                if c is None:
                    total = None
                    break
                for k, v in c.items():
                    total[k] = total.get(k, 0) + v
            shutil.rmtree(d, ignore_errors=True)
            res['strace_' + tag] = total
    if shutil.which('perf'):
        d = os.path.join(CFG.xroot, 'x-prof')
        data = os.path.join(W, 'perf.data')
        script = os.path.join(W, 'perf-extract.sh')
        with open(script, 'w') as f:
            f.write('#!/bin/sh\nset -e\n')
            for a in k_archives:
                f.write('rm -rf "%s"; mkdir -p "%s"; "%s" extract "%s" -C "%s" --overwrite replace\n'
                        % (d, d, pack, a, d))
        try:
            subprocess.run(['perf', 'record', '-q', '-e', 'cpu-clock', '-F', '2000', '-o', data,
                            'sh', script], check=True, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            rep = subprocess.run(['perf', 'report', '-i', data, '--stdio', '--sort', 'comm,dso,symbol',
                                  '--percent-limit', '0.1'], capture_output=True, text=True).stdout
            # Stripped libraries (Debian's libz) give bare addresses: count them per library.
            merged = {}
            for line in rep.splitlines():
                m = re.match(r'^\s+([0-9.]+)%\s+(\S+)\s+(\S+)\s+\[[.k]\]\s+(.*)$', line)
                if not m or m.group(2) in ('sh', 'rm', 'mkdir'):
                    continue
                symbol = re.sub(r'(\s+-)+\s*$', '', m.group(4)).strip()
                if symbol.startswith('0x'):
                    symbol = '(no symbols)'
                key = (m.group(3), symbol)
                merged[key] = merged.get(key, 0.0) + float(m.group(1))
            top = sorted(({'percent': p, 'dso': k[0], 'symbol': k[1]} for k, p in merged.items()),
                         key=lambda t: -t['percent'])
            res['perf_top'] = [t for t in top if t['percent'] >= 1.0][:15]
        except (OSError, subprocess.CalledProcessError):
            res['perf_top'] = None
        shutil.rmtree(d, ignore_errors=True)
        remove(data)
        remove(script)
    return res


# ---------------------------------------------------------------- report

def fmt_s(series):
    if not series.ok():
        return 'n/a'
    med, lo, hi = series.stat('wall')
    return '%.2f (%.2f–%.2f)' % (med, lo, hi)


def ratio(a, b):
    return a / b if a is not None and b not in (None, 0) else None


def fmt_ratio(r, digits=2):
    return ('%.' + str(digits) + 'fx') % r if r is not None else 'n/a'


class Report:
    def __init__(self, R, corpus, creates, scaling, sub, subset_bytes, tests, extracts, loop, mem,
                 prof, jobs_list):
        self.R, self.corpus, self.creates, self.scaling = R, corpus, creates, scaling
        self.sub, self.subset_bytes, self.tests, self.extracts = sub, subset_bytes, tests, extracts
        self.loop, self.mem, self.prof, self.jobs_list = loop, mem, prof, jobs_list
        self.targets = []

    def med(self, step):
        return step.series.median() if step.series.ok() else None

    def markdown(self):
        R = self.R
        m = R['machine']
        L = []
        add = L.append
        add('# Kelvra benchmark results')
        add('')
        add('- Date: %s; run took %.0f s; mode: %s, %d repeats per step (median, min–max)%s'
            % (m['date'], R['elapsed_s'], R['mode'], R['repeat'],
               '' if CFG.only == set(SECTIONS) else '; only ' + ', '.join(s for s in SECTIONS if s in CFG.only)))
        add('- Machine: %d cores (nproc), %s, %s memory, Linux %s; load average at start %s, at end %s'
            % (m['nproc'], m['cpu'], m['memory'], m['kernel'], m['load'], R['load_end']))
        add('- Tools: %s, %s, %s' % (m['zip'], m['unzip'], m['7z']))
        c = self.corpus
        add('- Corpus: %d files, %.1f MB in %d folders of at most 1000 files (%s), one archive per '
            'folder for every tool; manifest sha256 `%s`'
            % (c['files'], c['bytes'] / MB, len(c['folders']), ', '.join(c['folders']), c['sha256']))
        st = R['stub']
        add('- Stub in front of every kelvra archive: %d bytes%s; it counts in the installer size'
            % (st['size'], ' (a stand-in of zeros: the i686 stub was not built)' if st['stand_in'] else ''))
        add('- Times are wall-clock seconds for the whole corpus (all folders, one process each); '
            'CPU time is user + system of those processes; peak RSS is the largest of theirs '
            '(GNU time)')
        add('')

        zip9 = next(s for s in self.creates if s.name == 'zip -9 -r')
        zsize, ztime = zip9.series.size if zip9.series.ok() else None, self.med(zip9)
        add('## Create')
        add('')
        add('| tool | size (MB) | size / zip -9 | time s | time / zip -9 | CPU s | MB/s in | peak RSS MB |')
        add('|---|---:|---:|---|---:|---:|---:|---:|')
        for s in self.creates:
            ser = s.series
            if not ser.ok():
                add('| %s | n/a | | %s | | | | |' % (s.name, ser.error or 'skipped'))
                continue
            add('| %s | %.2f | %s | %s | %s | %.2f | %.1f | %.1f |' % (
                s.name, ser.size / MB, fmt_ratio(ratio(ser.size, zsize), 3), fmt_s(ser),
                fmt_ratio(ratio(ser.median(), ztime)), ser.stat('cpu')[0],
                c['bytes'] / MB / ser.median(), ser.peak_mb()))
        k_max = next(s for s in self.creates if s.name.endswith('--level max'))
        if k_max.series.ok():
            n = len(c['folders'])
            add('')
            add('Kelvra sizes include %d × the %d-byte stub; without it --level max is %s of zip -9.'
                % (n, st['size'], fmt_ratio(ratio(k_max.series.size - n * st['size'], zsize), 3)))
        add('')

        subset_files = sum(len(fs) for _dp, _ds, fs in os.walk(self.corpus['subset_dir']))
        add('## Create, --level ultra (subset of %.1f MB, %d files; ultra is far slower, so only '
            'here)' % (self.subset_bytes / MB, subset_files))
        add('')
        add('| tool | size (MB) | size / zip -9 | time s | time / zip -9 |')
        add('|---|---:|---:|---|---:|')
        szip = self.sub[-1].series
        for s in self.sub:
            ser = s.series
            if not ser.ok():
                add('| %s | n/a | | %s | |' % (s.name, ser.error or 'skipped'))
                continue
            add('| %s | %.3f | %s | %s | %s |' % (
                s.name, ser.size / MB, fmt_ratio(ratio(ser.size, szip.size if szip.ok() else None), 3),
                fmt_s(ser), fmt_ratio(ratio(ser.median(), szip.median() if szip.ok() else None))))
        add('')

        add('## Test and extract (kelvra default-level archives, zip -9 archives, 7z LZMA2 archives)')
        add('')
        add('Extraction writes into %s (a fresh directory per archive); the "to disk" rows write '
            'into the build folder instead, where file creation after many deletions is slow and '
            'noisy. Ratios of the "to disk" rows are to unzip to disk.' % CFG.xroot)
        add('')
        unzip_t = self.med(self.tests[1])
        unzip_x = self.med(self.extracts[1])
        add('| tool | time s | time / unzip | CPU s | peak RSS MB | note |')
        add('|---|---|---:|---:|---:|---|')
        unzip_disk = self.med(self.extracts[4]) if len(self.extracts) > 4 else None
        refs = [(t, unzip_t) for t in self.tests] + [(x, unzip_x) for x in self.extracts[:3]] + \
            [(x, unzip_disk) for x in self.extracts[3:]]
        for s, ref in refs:
            ser = s.series
            if not ser.ok():
                add('| %s | n/a | | | | %s |' % (s.name, ser.error or 'skipped'))
                continue
            add('| %s | %s | %s | %.2f | %.1f | %s |' % (
                s.name, fmt_s(ser), fmt_ratio(ratio(ser.median(), ref)), ser.stat('cpu')[0],
                ser.peak_mb(), ser.note))
        add('')

        add('## Scaling (create at the default level)')
        add('')
        add('Another process on the machine takes a core away from --jobs 2 but hardly from '
            '--jobs 1, so the speed-up of the best runs is shown beside that of the medians.')
        add('')
        add('| jobs | time s | CPU s | speed-up vs --jobs 1 (medians) | (best runs) | peak RSS MB |')
        add('|---:|---|---:|---:|---:|---:|')
        t1 = self.med(self.scaling[0])
        t1_best = self.scaling[0].series.stat('wall')[1] if self.scaling[0].series.ok() else None
        for j, s in zip(self.jobs_list, self.scaling):
            ser = s.series
            if not ser.ok():
                add('| %d | n/a | | | | %s |' % (j, ser.error))
                continue
            add('| %d%s | %s | %.2f | %s | %s | %.1f |' % (
                j, ' (all)' if j == CFG.nproc else '', fmt_s(ser), ser.stat('cpu')[0],
                fmt_ratio(ratio(t1, ser.median())), fmt_ratio(ratio(t1_best, ser.stat('wall')[1])),
                ser.peak_mb()))
        add('')

        add('## The chunk loop alone (bench/chunkloop.cpp over the default-level archives)')
        add('')
        kx = self.med(self.extracts[0])
        loop = self.loop
        if loop:
            add('%d chunks, %.1f MB of chunks inflating to %.1f MB; CRC pass over %.1f MB.'
                % (loop['chunks'], loop['chunk_bytes'] / MB, loop['output_bytes'] / MB,
                   loop['covered_bytes'] / MB))
            add('')
            add('| variant | time s | CPU s | MB/s |')
            add('|---|---|---:|---:|')
            labels = {'crc': 'CRC-32 pass, 10,000-byte reads (MB/s of archive)',
                      'inflate_reset': 'inflate, one z_stream + inflateReset, buffered reads (MB/s out)',
                      'inflate_raw': 'raw inflate (Adler-32 not checked), otherwise as above (MB/s out)',
                      'libdeflate': "libdeflate's zlib decoder, whole chunk at once, buffered reads (MB/s out)",
                      'inflate_uncompress': 'inflate, uncompress() per chunk, 2 reads per chunk (MB/s out)',
                      'inflate_reset_write': 'as inflateReset, plus a write per chunk to fresh files',
                      'inflate_uncompress_write': 'as uncompress(), plus a write per chunk to fresh files'}
            for key, label in labels.items():
                if key in loop:
                    v = loop[key]
                    add('| %s | %.3f (%.3f–%.3f) | %.3f | %.0f |' % (
                        label, v['median_s'], v['min_s'], v['max_s'], v.get('cpu_s', 0), v['mb_per_s']))

            def total(key, what):
                return loop['crc'][what] + loop.get(key + '_write', loop[key])[what]
            bare, literal = total('inflate_reset', 'median_s'), total('inflate_uncompress', 'median_s')
            bare_cpu = total('inflate_reset', 'cpu_s')
            kx_cpu = self.extracts[0].series.stat('cpu')[0] if self.extracts[0].series.ok() else None
            add('')
            add('Bare loop (CRC pass + inflate + write), best variant: %.3f s (CPU %.3f s); plain '
                'variant: %.3f s. `kelvra-pack extract` over the same archives: %s s (CPU %s s), that '
                'is %s of the best bare loop in wall time and %s in CPU time, %s of the plain one '
                '(extract also creates %d files in their folders, sets times and attributes, prints '
                'a line per file, and is one process per archive).'
                % (bare, bare_cpu, literal, '%.3f' % kx if kx else 'n/a',
                   '%.3f' % kx_cpu if kx_cpu else 'n/a', fmt_ratio(ratio(kx, bare)),
                   fmt_ratio(ratio(kx_cpu, bare_cpu)), fmt_ratio(ratio(kx, literal)), c['files']))
            self.loop_ratio = ratio(kx, bare)
            self.loop_ratio_cpu = ratio(kx_cpu, bare_cpu)
        else:
            add('Not run (see errors).')
            self.loop_ratio = self.loop_ratio_cpu = None
        add('')

        add('## Memory (single-file archives of a repeated mix of corpus files, --level 1)')
        add('')
        mem = self.mem
        if mem:
            add('| step | archive MB | time s | peak RSS MB |')
            add('|---|---:|---|---:|')
            for key in ('create_big', 'create_small', 'extract_big', 'extract_small'):
                if key in mem:
                    s = mem[key]
                    name = s.name.replace('big', '%d MiB' % (CFG.big_bytes // MB)).replace(
                        'small', '%d MiB' % (CFG.small_bytes // MB))
                    add('| %s | %.1f | %s | %.2f |' % (name, s.size / MB, fmt_s(s), s.peak_mb()))
            if 'extract_big' in mem and 'extract_small' in mem:
                diff = mem['extract_big'].peak_mb() - mem['extract_small'].peak_mb()
                self.extract_mem_diff = diff
                add('')
                add('Extraction peak RSS: %.2f MB (%d MiB) vs %.2f MB (%d MiB): difference %.2f MB.'
                    % (mem['extract_big'].peak_mb(), CFG.big_bytes // MB, mem['extract_small'].peak_mb(),
                       CFG.small_bytes // MB, diff))
            if 'create_big' in mem and 'create_small' in mem:
                add('Create peak RSS: %.2f MB (%d MiB) vs %.2f MB (%d MiB): difference %.2f MB, '
                    'with %d jobs.' % (mem['create_big'].peak_mb(), CFG.big_bytes // MB,
                                       mem['create_small'].peak_mb(), CFG.small_bytes // MB,
                                       mem['create_big'].peak_mb() - mem['create_small'].peak_mb(),
                                       CFG.nproc))
        else:
            add('Not run (see errors).')
        add('')

        prof = self.prof
        if prof:
            add('## Where extraction spends its time')
            add('')
            chunks = loop['chunks'] if loop else None
            sk, su = prof.get('strace_kelvra'), prof.get('strace_unzip')
            if sk:
                names = sorted(set(sk) | set(su or {}), key=lambda n: -(sk.get(n, 0)))
                add('System calls over the whole corpus (strace -c -f)%s:'
                    % (', per chunk for kelvra (%d chunks)' % chunks if chunks else ''))
                add('')
                add('| syscall | kelvra-pack extract | per chunk | unzip -o -q |')
                add('|---|---:|---:|---:|')
                for n in names[:12]:
                    add('| %s | %d | %s | %s |' % (n, sk.get(n, 0),
                                                  '%.2f' % (sk.get(n, 0) / chunks) if chunks else '',
                                                  su.get(n, 0) if su is not None else 'n/a'))
                add('| total | %d | %s | %s |' % (sum(sk.values()),
                                                   '%.2f' % (sum(sk.values()) / chunks) if chunks else '',
                                                   sum(su.values()) if su else 'n/a'))
                add('')
            top = prof.get('perf_top')
            if top:
                add('perf (cpu-clock samples) of kelvra-pack extract over the corpus, symbols at 1% or more:')
                add('')
                add('| % | object | symbol |')
                add('|---:|---|---|')
                for t in top:
                    add('| %.1f | %s | %s |' % (t['percent'], t['dso'], t['symbol']))
                add('')

        add('## Targets (informational: benchmarks never fail the build)')
        add('')
        add('| target | measured | goal | result |')
        add('|---|---:|---:|---|')
        self.target('installer size at --level max vs zip -9',
                    ratio(k_max.series.size if k_max.series.ok() else None, zsize), '<= 1.03x', lambda r: r <= 1.03)
        kj1 = self.med(self.scaling[0])
        self.target('create, default level, --jobs 1: time vs zip -9', ratio(kj1, ztime), '<= 1.00x',
                    lambda r: r <= 1.0)
        kj2 = self.med(self.scaling[1]) if len(self.scaling) > 1 and self.jobs_list[1] == 2 else None
        self.target('create, default level: speed-up --jobs 2 vs --jobs 1', ratio(kj1, kj2), '>= 1.80x',
                    lambda r: r >= 1.8)
        best = [s.series.stat('wall')[1] if s.series.ok() else None for s in self.scaling[:2]]
        self.target('  the same, best runs', ratio(best[0], best[1]) if kj2 else None, '>= 1.80x',
                    lambda r: r >= 1.8)
        tj = [self.med(s) for s in getattr(self, 'test_jobs', [])]
        tj_best = [s.series.stat('wall')[1] if s.series.ok() else None for s in getattr(self, 'test_jobs', [])]
        self.target('test: speed-up --jobs 2 vs --jobs 1', ratio(tj[0], tj[1]) if len(tj) == 2 else None,
                    '>= 1.70x', lambda r: r >= 1.7)
        self.target('  the same, best runs', ratio(tj_best[0], tj_best[1]) if len(tj_best) == 2 else None,
                    '>= 1.70x', lambda r: r >= 1.7)
        self.target('kelvra-pack extract time vs unzip -o -q', ratio(kx, unzip_x), '<= 0.56x (1/1.8)',
                    lambda r: r <= 1 / 1.8)
        ux_cpu = self.extracts[1].series.stat('cpu')[0] if self.extracts[1].series.ok() else None
        kx_cpu = self.extracts[0].series.stat('cpu')[0] if self.extracts[0].series.ok() else None
        self.target('  the same in CPU time (steadier on a busy machine)', ratio(kx_cpu, ux_cpu),
                    '<= 0.56x (1/1.8)', lambda r: r <= 1 / 1.8)
        self.target('kelvra-pack extract vs the bare chunk loop', self.loop_ratio, '<= 1.05x',
                    lambda r: r <= 1.05)
        self.target('  the same in CPU time', self.loop_ratio_cpu, '<= 1.05x', lambda r: r <= 1.05)
        diff = getattr(self, 'extract_mem_diff', None)
        self.target('extract peak RSS, %d MiB minus %d MiB archive (MB)' % (CFG.big_bytes // MB, CFG.small_bytes // MB),
                    diff, '<= 1.00', lambda r: r <= 1.0, unit='')
        for t in self.targets:
            add('| %s | %s | %s | %s |' % t)
        add('')
        if R['errors']:
            add('## Errors')
            add('')
            for e in R['errors']:
                add('- ' + e.replace('\n', ' '))
            add('')
        return '\n'.join(L)

    def target(self, name, value, goal, check, unit='x'):
        if value is None:
            self.targets.append((name, 'n/a', goal, 'n/a'))
            return
        shown = ('%.2fx' % value) if unit == 'x' else ('%.2f' % value)
        self.targets.append((name, shown, goal, 'PASS' if check(value) else 'MISS'))


# ---------------------------------------------------------------- plot

def plot(report):
    if shutil.which('gnuplot') is None:
        log('gnuplot not installed: no plot (scripts/install-deps installs gnuplot-nox)')
        return
    d = os.path.join(CFG.work, 'plot')
    os.makedirs(d, exist_ok=True)
    zip9 = next(s for s in report.creates if s.name == 'zip -9 -r').series

    def q(name):
        return '"%s"' % name.replace('kelvra-pack ', 'kelvra ').replace('"', "'")

    with open(os.path.join(d, 'create.dat'), 'w') as f:
        for s in report.creates:
            if s.series.ok():
                med, lo, hi = s.series.stat('wall')
                rel = s.series.size / zip9.size if zip9.ok() else 0
                f.write('%s %.4f %.4f %.4f %.4f\n' % (q(s.name.replace(' create', '')), rel, med, lo, hi))
    with open(os.path.join(d, 'extract.dat'), 'w') as f:
        # The disk rows would dwarf the rest: they stay in the table only.
        for s in report.tests + report.extracts:
            if s.series.ok() and 'disk' not in s.name:
                med, lo, hi = s.series.stat('wall')
                f.write('%s %.4f %.4f %.4f\n' % (q(s.name), med, lo, hi))
    with open(os.path.join(d, 'scaling.dat'), 'w') as f:
        t1 = report.med(report.scaling[0])
        for j, s in zip(report.jobs_list, report.scaling):
            if s.series.ok() and t1:
                med, lo, hi = s.series.stat('wall')
                best1 = report.scaling[0].series.stat('wall')[1]
                f.write('"%d" %.4f %.4f\n' % (j, t1 / med, best1 / lo))
    # A part that didn't run (BENCH_ONLY) gets an empty panel instead of a gnuplot error.
    empty = 'set xtics ()\nplot [0:1] [0:1] NaN notitle'
    panels = {}
    for name in ('create', 'extract', 'scaling'):
        panels[name] = os.path.getsize(os.path.join(d, name + '.dat')) > 0
    m = report.R['machine']
    gp = os.path.join(d, 'results.gp')
    with open(gp, 'w') as f:
        f.write('''set terminal pngcairo size 1400,1000 font ",10"
set output "%(png)s"
set multiplot layout 2,2 title "Kelvra benchmark, %(date)s, %(nproc)d cores, %(cpu)s (medians, bars: min-max)"
set style data histograms
set style fill solid 0.6 border -1
set boxwidth 0.8
set grid ytics
set xtics rotate by -30 left
set key off
set title "Create: size relative to zip -9 (dashed: the 1.03 goal for --level max)"
set yrange [0.5:*]
set arrow 1 from graph 0, first 1.03 to graph 1, first 1.03 nohead dt 2 lc rgb "#aa3333"
%(plot_size)s
unset arrow 1
set yrange [0:*]
set style histogram errorbars gap 1 lw 1
set title "Create: wall time (s), whole corpus"
%(plot_create)s
set title "Test and extract: wall time (s), whole corpus"
%(plot_extract)s
set style histogram clustered gap 1
set title "Create scaling: speed-up vs --jobs 1 (medians, best runs)"
set xlabel "--jobs"
set xtics norotate
set key top left
%(plot_scaling)s
unset multiplot
''' % {'png': CFG.results_png, 'date': m['date'], 'nproc': m['nproc'], 'cpu': m['cpu'],
       'plot_size': 'plot "%s/create.dat" using 2:xtic(1) lc rgb "#4477aa"' % d
       if panels['create'] else empty,
       'plot_create': 'plot "%s/create.dat" using 3:4:5:xtic(1) lc rgb "#66aa55"' % d
       if panels['create'] else empty,
       'plot_extract': 'plot "%s/extract.dat" using 2:3:4:xtic(1) lc rgb "#cc6644"' % d
       if panels['extract'] else empty,
       'plot_scaling': ('plot "%s/scaling.dat" using 2:xtic(1) title "medians" lc rgb "#8866aa", '
                        '"" using 3 title "best runs" lc rgb "#ccaadd"') % d
       if panels['scaling'] else empty})
    try:
        subprocess.run(['gnuplot', gp], check=True, capture_output=True, text=True)
        log('plot: %s' % CFG.results_png)
    except subprocess.CalledProcessError as e:
        log('gnuplot failed, no plot: %s' % e.stderr.strip()[-300:])


CFG = None

if __name__ == '__main__':
    main()
