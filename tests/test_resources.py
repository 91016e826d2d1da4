"""Resource failures: threads that cannot start, allocations that fail, memory that leaks.

The failures are made in a child interpreter, which reports what each call did; the test
process itself never runs short of anything.
"""

import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from fk_references.cases import INDICATORS

pytestmark = pytest.mark.slow  # each failure injected in a fresh interpreter

NAMES = sorted(INDICATORS)

# The sanitizer runs preload their runtime, which owns malloc and the address space.
SANITIZED = any(lib in os.environ.get("LD_PRELOAD", "") for lib in ("libasan", "libtsan"))

# What every child runs first: the indicators, one call each on a fixed matrix, and the
# results of those calls made before anything is taken away.
CHILD_PRELUDE = """
import json, os, sys
import numpy as np
from helpers import assert_same_parts, awkward_matrix
from fk_references.cases import INDICATORS, as_parts

def threads():
    with open("/proc/self/status") as f:
        return int(next(line for line in f if line.startswith("Threads:")).split()[1])

def outcome_of(f, args, want):
    try:
        got = as_parts(f(*args))
    except Exception as e:
        return [type(e).__name__, str(e)]
    try:
        assert_same_parts(got, want)
    except AssertionError:
        return ["wrong result", ""]
    return None

def attempt(name):
    f, args = calls[name]
    return outcome_of(f, args, want[name])

def every_path():
    # Every kernel path: each indicator and variant in C and in Fortran order.
    from fk_references.cases import VARIANTS
    return {f"{ind.name} {label} {order}": (ind.module, ind.args(np.asarray(x, order=order)))
            for label, ind in {**INDICATORS, **VARIANTS}.items() for order in "CF"}

x = awkward_matrix(np.random.default_rng(0), ROWS, COLS)
calls = {n: (ind.module, ind.args(x)) for n, ind in INDICATORS.items()}
want = {n: as_parts(f(*a)) for n, (f, a) in calls.items()}
"""


def run_child(body, rows, cols, preload=None):
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join(p for p in sys.path if p),
        OPENBLAS_NUM_THREADS="1",
        OMP_NUM_THREADS="1",
    )
    if preload:
        env["LD_PRELOAD"] = preload
    prelude = CHILD_PRELUDE.replace("ROWS", str(rows)).replace("COLS", str(cols))
    code = prelude + textwrap.dedent(body)
    proc = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.splitlines()[-1])


# ---- threads that cannot start --------------------------------------------------------------

# The per-user process limit stops thread creation. Root is exempt from it, so a root child
# first becomes the unprivileged user 65534; any user can lower its own soft limit. "none"
# lets no thread start: a call of one worker (the small matrix) needs none, a call of
# several fails on its first thread; "one" (only where the whole count of that user's tasks
# is known, i.e. as that otherwise idle user) lets exactly one start, so a call of three or
# more workers fails on its second, and one of two workers (a two-core machine) succeeds.
THREADS_CHILD = """
import glob, resource, time

def tasks_of(uid):
    n = 0
    for path in glob.glob("/proc/[0-9]*/status"):
        try:
            with open(path) as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
        except OSError:
            continue
        if int(fields["Uid"].split()[0]) == uid:
            n += int(fields["Threads"])
    return n

def settle(base):
    # A joined thread is counted, in /proc and against the limit, until the kernel has
    # released it, a moment after the join.
    for _ in range(2000):
        if threads() <= base:
            return
        time.sleep(0.001)

def long_call(name):
    # A call whose first worker is still busy when the second is started: a matrix
    # broadcast from one row (no memory), grown until the call takes a tenth of a second.
    ind = INDICATORS[name]
    rows = 1000
    while True:
        args = ind.args(np.broadcast_to(x[:1], (rows, x.shape[1])))
        t0 = time.perf_counter()
        ind.module(*args)
        if time.perf_counter() - t0 > 0.1 or rows > 50_000:  # dates end before 2262
            return ind.module, args
        rows *= 2

report = {"root": os.geteuid() == 0, "none": {}, "one": {}, "after": {}}
long_calls = {name: long_call(name) for name in calls}
base = threads()
if report["root"]:
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)
hard = resource.getrlimit(resource.RLIMIT_NPROC)[1]
for case in ["none", "one"] if report["root"] else ["none"]:
    for name in calls:
        settle(base)
        before = threads()
        limit = 0 if case == "none" else tasks_of(os.getuid()) + 1
        resource.setrlimit(resource.RLIMIT_NPROC, (limit, hard))
        small = attempt(name) if case == "none" else None
        f, args = long_calls[name]
        try:
            f(*args)
            outcome = None
        except Exception as e:
            outcome = [type(e).__name__, str(e)]
        resource.setrlimit(resource.RLIMIT_NPROC, (hard, hard))
        settle(before)
        report[case][name] = {"small": small, "outcome": outcome,
                              "threads_left": threads() - before}
report["after"] = {name: attempt(name) for name in calls}
print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def thread_report():
    # Enough columns for several workers however the columns are grouped into work items.
    return run_child(THREADS_CHILD, rows=50, cols=200)


@pytest.mark.parametrize("name", NAMES)
def test_no_thread_can_start(thread_report, name):
    r = thread_report["none"][name]
    # A call of one worker runs on the calling thread and gives its right result.
    assert r["small"] is None, r
    if os.cpu_count() < 2:
        assert r["outcome"] is None, r  # every call has a single worker
    else:
        assert r["outcome"] is not None and r["outcome"][0] == "RuntimeError", r
        assert r["outcome"][1].startswith("could not start worker thread 1 of "), r
    assert r["threads_left"] <= 0  # below 0: an earlier call's thread was released meanwhile
    assert thread_report["after"][name] is None  # the interpreter goes on, results intact


@pytest.mark.parametrize("name", NAMES)
def test_second_thread_cannot_start(thread_report, name):
    if not thread_report["root"]:
        pytest.skip("needs root to run the child as an otherwise idle user")
    if os.cpu_count() < 2:
        pytest.skip("one hardware thread: every call has a single worker")
    r = thread_report["one"][name]
    if os.cpu_count() == 2:
        # Two workers: the calling thread and the one thread allowed.
        assert r["outcome"] is None, r
    else:
        # The started worker ran and was joined (an unjoined thread would abort the
        # process); then the failure was raised, and no thread is left behind.
        assert r["outcome"] is not None and r["outcome"][0] == "RuntimeError", r
        assert r["outcome"][1].startswith("could not start worker thread 2 of "), r
    assert r["threads_left"] <= 0  # below 0: an earlier call's thread was released meanwhile


# Preloaded into a child: while `threads_allowed` is k >= 0, only k more threads start;
# every later start fails as it does at the process limit. Unlike the limit, this reaches
# the starts of a call's later stages, after earlier stages' threads have come and gone.
FAIL_START_C = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>

volatile long threads_allowed = -1;

int pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
    static int (*real)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    if (!real) real = dlsym(RTLD_NEXT, "pthread_create");
    if (threads_allowed == 0) return EAGAIN;
    if (threads_allowed > 0) --threads_allowed;
    return real(t, a, f, arg);
}
"""

START_CHILD = """
import ctypes
allowed = ctypes.c_long.in_dll(ctypes.CDLL(None), "threads_allowed")
cases = {c: (f, args, as_parts(f(*args))) for c, (f, args) in every_path().items()}

report = {}
for case, (f, args, want) in cases.items():
    outcomes = []
    for k in range(64):  # k threads may start: every stage's every start fails once
        allowed.value = k
        outcomes.append(outcome_of(f, args, want))
        allowed.value = -1
        if outcomes[-1] is None:
            break
    report[case] = outcomes + [outcome_of(f, args, want)]
print(json.dumps(report))
"""


def compiled(source, tmp_path_factory, name, lang="c"):
    cc = (
        shutil.which("cc") or shutil.which("gcc")
        if lang == "c"
        else shutil.which("c++") or shutil.which("g++")
    )
    if cc is None:
        pytest.skip(f"no {lang} compiler for the fault-injection library")
    d = tmp_path_factory.mktemp(name)
    src = d / f"{name}.{lang}"
    src.write_text(source)
    subprocess.run(
        [cc, "-O2", "-shared", "-fPIC", "-o", str(d / f"{name}.so"), str(src), "-ldl"], check=True
    )
    return str(d / f"{name}.so")


def injected(child, source, tmp_path_factory, name, why, rows=50, cols=200, lang="c"):
    """The report of `child` run with the fault-injection library `source` preloaded; a
    sanitized build skips it, giving `why` (its runtime owns what the library replaces)."""
    if SANITIZED:
        pytest.skip(why)
    return run_child(
        child, rows=rows, cols=cols, preload=compiled(source, tmp_path_factory, name, lang)
    )


@pytest.fixture(scope="module")
def start_report(tmp_path_factory):
    # Work for two workers or more in most cases: a call of one starts no thread.
    return injected(
        START_CHILD,
        FAIL_START_C,
        tmp_path_factory,
        "failstart",
        "the sanitizer runtime intercepts thread creation",
        rows=300,
        cols=500,
    )


@pytest.mark.parametrize("name", NAMES)
def test_any_thread_start_can_fail(start_report, name):
    # Each failed start, in whichever stage, is a RuntimeError after the started workers
    # were joined; once enough threads may start, the call gives its right result, and so
    # does the same call afterwards.
    cases = {c: v for c, v in start_report.items() if c.split()[0] == name}
    # Some cases start no thread at all (a panel of single-fund groups); most do.
    assert sum(len(v) > 2 for v in cases.values()) >= 2, start_report.keys()
    for case, (*failed, last, after) in cases.items():
        assert last is None and after is None, (case, failed, last, after)
        for outcome in failed:
            assert outcome[0] == "RuntimeError", (case, outcome)
            assert outcome[1].startswith("could not start worker thread "), (case, outcome)


# ---- allocations that fail inside workers ---------------------------------------------------

# Preloaded into the child: while armed, allocations of 1 KiB or more fail on every thread
# but the main one, i.e. in the workers. Small ones still succeed, so that the C library's
# own bookkeeping (thread-local storage, exception objects) is not what fails.
FAIL_ALLOC_C = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>
#include <unistd.h>

void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);

volatile int fail_worker_allocations = 0;

static int refuse(size_t n) {
    if (!fail_worker_allocations || n < 1024 || gettid() == getpid()) return 0;
    errno = ENOMEM;
    return 1;
}
void* malloc(size_t n) { return refuse(n) ? NULL : __libc_malloc(n); }
void* calloc(size_t k, size_t n) { return refuse(k * n) ? NULL : __libc_calloc(k, n); }
void* realloc(void* p, size_t n) { return refuse(n) ? NULL : __libc_realloc(p, n); }
"""

ALLOC_CHILD = """
import ctypes
armed = ctypes.c_int.in_dll(ctypes.CDLL(None), "fail_worker_allocations")
report = {"armed": {}, "after": {}}
for name in calls:
    armed.value = 1
    report["armed"][name] = attempt(name)
    armed.value = 0
report["after"] = {name: attempt(name) for name in calls}
print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def alloc_report(tmp_path_factory):
    # 300 rows: per-worker scratch that grows with the rows is past the 1 KiB line; 500
    # columns: work for two workers, the second on a thread of its own.
    return injected(
        ALLOC_CHILD,
        FAIL_ALLOC_C,
        tmp_path_factory,
        "failalloc",
        "the sanitizer runtime owns malloc",
        rows=300,
        cols=500,
    )


@pytest.mark.parametrize("name", NAMES)
def test_worker_allocation_failure_is_memory_error(alloc_report, name):
    # A worker that allocates fails, and that reaches Python as MemoryError; a worker that
    # needs no large allocation computes the right result. Nothing else is acceptable.
    outcome = alloc_report["armed"][name]
    assert outcome is None or outcome == ["MemoryError", "std::bad_alloc"], outcome
    assert alloc_report["after"][name] is None


def test_worker_allocation_failures_were_provoked(alloc_report):
    failed = [n for n, outcome in alloc_report["armed"].items() if outcome is not None]
    assert failed, "no worker allocation failed: the injection did not reach the workers"


# ---- allocations that fail on the calling thread --------------------------------------------

# Preloaded into the child: the C++ allocation functions, counting the calling thread's
# allocations while armed and refusing the one numbered fail_new_at (std::bad_alloc, or
# nullptr from the nothrow forms). Worker threads and everything unarmed allocate as usual.
FAIL_NEW_CPP = r"""
#include <cstdlib>
#include <new>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" {
volatile long fail_new_at = -1;  // -1: disarmed
volatile long news_seen = 0;
}

static bool refuse() {
    if (fail_new_at < 0 || syscall(SYS_gettid) != getpid()) return false;
    return news_seen++ == fail_new_at;
}
static void* plain(std::size_t n) { return std::malloc(n ? n : 1); }
static void* checked(std::size_t n) {
    void* p = refuse() ? nullptr : plain(n);
    if (!p) throw std::bad_alloc();
    return p;
}
void* operator new(std::size_t n) { return checked(n); }
void* operator new[](std::size_t n) { return checked(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return refuse() ? nullptr : plain(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return refuse() ? nullptr : plain(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
"""

NEW_CHILD = """
import ctypes
lib = ctypes.CDLL(None)
fail_at = ctypes.c_long.in_dll(lib, "fail_new_at")
seen = ctypes.c_long.in_dll(lib, "news_seen")
cases = every_path()
# A period code long enough that shortening its digit runs allocates.
ind = INDICATORS["horizonret"]
cases["horizonret long-code C"] = (ind.module, ("0" * 40 + "3M",) + ind.args(x)[1:])

report = {}
for case, (f, args) in cases.items():
    want = as_parts(f(*args))
    refused = []
    for k in range(10_000):  # the k-th allocation of the call fails, until none is left
        seen.value = 0
        fail_at.value = k
        got = outcome_of(f, args, want)
        fail_at.value = -1
        if seen.value <= k:
            break
        refused.append(got)
    report[case] = {"refused": refused, "last": got, "after": outcome_of(f, args, want)}
print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def new_report(tmp_path_factory):
    return injected(
        NEW_CHILD,
        FAIL_NEW_CPP,
        tmp_path_factory,
        "failnew",
        "the sanitizer runtime owns the allocation functions",
        lang="cpp",
    )


@pytest.mark.parametrize("name", NAMES + ["drawdown"])
def test_calling_thread_allocation_failure_is_memory_error(new_report, name):
    # Every allocation the calling thread makes for a call (argument copies, result
    # vectors, worker threads' state, texts) fails in turn: the call raises MemoryError
    # and leaves nothing behind, or, where a nothrow allocation has a fallback, gives the
    # right result. The call then succeeds once nothing is refused, and again afterwards.
    cases = {c: r for c, r in new_report.items() if c.split()[0] == name}
    assert cases
    for case, r in cases.items():
        assert r["last"] is None and r["after"] is None, (case, r)
        assert any(o is not None for o in r["refused"]), (case, "no allocation was refused")
        for o in r["refused"]:
            assert o is None or o == ["MemoryError", "std::bad_alloc"], (case, o)


# ---- Python objects that cannot be allocated -------------------------------------------------

# CPython's test hook fails the interpreter's k-th allocation from now on (one only): every
# result array, text and container a call builds fails in turn.
NOMEM_CHILD = """
import _testcapi
report = {}
for case, (f, args) in every_path().items():
    want = as_parts(f(*args))
    outcomes = []
    for k in range(200):
        _testcapi.set_nomemory(k, k + 1)
        try:
            got, error = f(*args), None
        except Exception as e:
            error = e
        _testcapi.remove_mem_hooks()
        if error is None:
            try:
                assert_same_parts(as_parts(got), want)
                outcomes.append(None)
            except AssertionError:
                outcomes.append(["wrong result", ""])
        else:
            cause = error.__cause__ or error.__context__
            outcomes.append([type(error).__name__, type(cause).__name__ if cause else None])
    report[case] = outcomes
print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def nomem_report():
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        pytest.skip("this interpreter has no _testcapi")
    return run_child(NOMEM_CHILD, rows=20, cols=6)


@pytest.mark.parametrize("name", NAMES + ["drawdown"])
def test_python_allocation_failure_is_memory_error(nomem_report, name):
    cases = {c: r for c, r in nomem_report.items() if c.split()[0] == name}
    assert cases
    for case, outcomes in cases.items():
        failed = [o for o in outcomes if o is not None]
        assert failed, (case, "no allocation failure reached the call")
        # The sweep went past the call's last allocation.
        assert outcomes[-50:] == [None] * 50, (case, outcomes)
        for o in failed:
            # Never a RuntimeError made of the MemoryError (as pybind11's containers do).
            assert o == ["MemoryError", None], (case, o)


# ---- repeated calls leave memory as it was --------------------------------------------------


# Counted in a child of its own: the counts are the whole process's, and a test process has
# threads of its own besides (an xdist worker receives its next tests on one while these
# calls run); a loaded run of the whole suite counted 255 blocks there. The child runs
# nothing but the calls.
LEAK_CHILD = """
import ctypes, gc

class MallInfo2(ctypes.Structure):
    _fields_ = [
        (f, ctypes.c_size_t)
        for f in "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
    ]

def heap_in_use():
    # Bytes the C allocator has handed out and not got back, over all arenas.
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd

report = {}
for name, ind in INDICATORS.items():
    args = ind.args(awkward_matrix(np.random.default_rng(4), 30, 17))
    for _ in range(500):  # warm caches, pools and arenas first
        ind.module(*args)
    gc.collect()
    blocks, heap = sys.getallocatedblocks(), heap_in_use()
    for _ in range(10_000):
        ind.module(*args)
    gc.collect()
    report[name] = [sys.getallocatedblocks() - blocks, heap_in_use() - heap]
print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def leak_report():
    return run_child(LEAK_CHILD, rows=30, cols=17)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime has its own allocator")
@pytest.mark.parametrize("name", NAMES)
def test_repeated_calls_do_not_leak(leak_report, name):
    blocks, heap = leak_report[name]
    # One leaked object or allocation per call would add 10,000 blocks or 300 kB or more.
    assert blocks < 100
    assert heap < 16_384
