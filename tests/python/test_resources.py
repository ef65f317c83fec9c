"""Resources over many calls and in unusual processes: memory and references, worker threads,
Python threads, fork and multiprocessing, and address-space exhaustion."""

import collections
import gc
import os
import signal
import subprocess
import sys
import threading
import tracemalloc

import numpy as np
import pytest

import quarvex
from child_calls import asan_active
from meshes import sphere, write_ascii, write_binary
from stl_files import binary_stl, write

TESTS = os.path.dirname(os.path.abspath(__file__))
no_asan = pytest.mark.skipif(asan_active(), reason="AddressSanitizer reserves address space and quarantines freed memory")


def run_script(code, *args, env=None, timeout=180):
    result = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                            env=env, timeout=timeout)
    assert result.returncode == 0, f"exit {result.returncode}: {result.stdout[-2000:]} {result.stderr[-3000:]}"
    return result.stdout


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def calls(path, clusters, n):
    for _ in range(n):
        try:
            quarvex.reduce_stl_points(path, clusters)
        except OSError:
            pass


# --------------------------------------------------------------------------------------------
# Memory and references


@no_asan
def test_resident_memory_stays_flat(ball, tmp_path):
    facet = "facet normal 0 0 1\nouter loop\nvertex {0} 0 0\nvertex 0 {0} 0\nvertex 0 0 {0}\nendloop\nendfacet\n"
    failing_text = write(tmp_path, "late-error.stl",
                         "solid x\n" + "".join(facet.format(i + 1) for i in range(2000)) + "facet normal\n")
    failing_binary = write(tmp_path, "short.stl", binary_stl([(0.0,) * 12] * 3000, count=3001))
    for path, clusters, n in ((ball, 64, 2000), (failing_text, 8, 500), (failing_binary, 8, 500)):
        calls(path, clusters, 200)
        gc.collect()
        before = resident_bytes()
        calls(path, clusters, n)
        gc.collect()
        grown = resident_bytes() - before
        assert grown < 4 << 20, f"{path}: resident memory grew by {grown} bytes over {n} calls"


def test_no_descriptor_is_left_open(ball, tmp_path):
    bad_text = write(tmp_path, "bad.stl", "solid x\nfacet normal 0 0 1\nouter loop\nvertex 1 2\n")
    short = write(tmp_path, "short.stl", binary_stl([(0.0,) * 12], count=2))
    empty_text = write(tmp_path, "empty.stl", "solid x\nendsolid x\n")
    before = sorted(os.listdir("/proc/self/fd"))
    for path in (ball, bad_text, short, empty_text, str(tmp_path), str(tmp_path / "absent")):
        calls(path, 8, 300)
    assert sorted(os.listdir("/proc/self/fd")) == before


def test_python_objects_do_not_accumulate(ball):
    calls(ball, 50, 50)
    gc.collect()
    tracemalloc.start()
    try:
        calls(ball, 50, 100)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        calls(ball, 50, 1000)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 64 << 10, f"{grown} bytes of Python objects left behind by 1000 calls"


def held(container, index):
    """References to container[index] beyond getrefcount's own (computed outside an assert,
    whose rewriting keeps values alive)."""
    return sys.getrefcount(container[index]) - 1


def test_reference_counts_are_exact(ball):
    result = quarvex.reduce_stl_points(ball, 20)
    tuple_refs = sys.getrefcount(result) - 1
    assert tuple_refs == 1
    # Each list has exactly one owner, the container it sits in; equal floats may be one
    # object, owned once by each slot that holds it.
    outer = [held(result, k) for k in (0, 1)]
    inner = [held(result[k], i) for k in (0, 1) for i in range(20)]
    slots = collections.Counter(id(result[k][i][j]) for k in (0, 1) for i in range(20) for j in range(3))
    floats = [held(result[k][i], j) - slots[id(result[k][i][j])] for k in (0, 1) for i in range(20) for j in range(3)]
    assert outer == [1, 1]
    assert inner == [1] * 40
    assert floats == [0] * 120 and len(slots) < 120
    assert all(type(result[k][i][j]) is float for k in (0, 1) for i in range(20) for j in range(3))
    lists = result[0] + result[1]
    del result
    gc.collect()
    # With the tuple gone, the outer lists are gone too: `lists` alone holds each inner list.
    assert [held(lists, i) for i in range(40)] == [1] * 40


def test_arguments_are_borrowed(ball, tmp_path):
    path = "".join(ball)  # a fresh string, not shared with the fixture
    count = int("1000")  # above the small-integer cache
    missing = str(tmp_path / "absent.stl")
    before = sys.getrefcount(path), sys.getrefcount(count), sys.getrefcount(missing)
    for _ in range(100):
        quarvex.reduce_stl_points(path, count)
        quarvex.reduce_stl_points(file_path=path, clusters=count)
        with pytest.raises(OSError):
            quarvex.reduce_stl_points(missing, count)
    assert (sys.getrefcount(path), sys.getrefcount(count), sys.getrefcount(missing)) == before


# --------------------------------------------------------------------------------------------
# Threads

THREAD_COUNT = r"""
import os, sys
def threads():
    return len(os.listdir("/proc/self/task"))
counts = [threads()]
import quarvex
counts.append(threads())
try:
    quarvex.reduce_stl_points(sys.argv[2], 8)
except OSError:
    pass
counts.append(threads())
quarvex.reduce_stl_points(sys.argv[1], 8)
counts.append(threads())
for i in range(300):
    quarvex.reduce_stl_points(sys.argv[1], 1 + i % 50)
counts.append(threads())
print(counts)
"""


def test_worker_threads_start_once_and_stay(ball, tmp_path):
    env = dict(os.environ, RAYON_NUM_THREADS="3")
    out = run_script(THREAD_COUNT, ball, tmp_path / "absent.stl", env=env)
    # Nothing at import or for a call that fails reading; three workers from the first
    # reduction on, never more.
    assert out == "[1, 1, 1, 4, 4]\n"


IDLE = r"""
import glob, os, platform, sys, time
import quarvex
quarvex.reduce_stl_points(sys.argv[1], 8)
workers = [t for t in glob.glob("/proc/self/task/*") if int(os.path.basename(t)) != os.getpid()]
futex = {"x86_64": "202", "aarch64": "98"}[platform.machine()]

def read(task, name):
    with open(f"{task}/{name}") as f:
        return f.read()

def snapshot():
    # Per worker: state, system call ("running" outside one), a futex wait's time limit,
    # context switches so far, blocked signals.
    out = []
    for t in workers:
        status = dict(line.split(":", 1) for line in read(t, "status").splitlines())
        call = read(t, "syscall").split() + ["-"] * 4
        out.append((read(t, "stat").rsplit(")", 1)[1].split()[0], call[0], call[4], status["SigBlk"].strip(),
                    int(status["voluntary_ctxt_switches"]) + int(status["nonvoluntary_ctxt_switches"])))
    return out

# The call's last loop winds down: wait until every worker sleeps in a futex wait.
while not all(state == "S" and call == futex for state, call, *_ in snapshot()):
    time.sleep(0.01)
first = snapshot()
print(len(workers), first == snapshot(), {w[2] for w in first}, {w[3] for w in first})
"""


@pytest.mark.parametrize("workers", [2, 64])
def test_idle_workers_sleep_and_leave_signals_to_the_caller(tmp_path, workers):
    # Asleep means blocked until a push: no timer wakes them, so once every worker is
    # blocked, its wait has no time limit and nothing moves. Every asynchronous signal is
    # blocked on them, so SIGINT, SIGALRM and the like reach the calling thread; the signals
    # of a crash on the worker itself are not. A worker that never blocks fails by the time limit.
    path = tmp_path / "large-ball.stl"  # large enough for the call to run on the workers
    write_binary(path, *sphere(rings=96, segments=192))
    out = run_script(IDLE, path, env=dict(os.environ, RAYON_NUM_THREADS=str(workers)), timeout=120)
    count, unchanged, limits, masks = out.split(maxsplit=3)
    assert int(count) == workers and unchanged == "True" and limits == "{'0x0'}", out
    (mask,) = eval(masks)
    mask = int(mask, 16)
    blocked = {sig for sig in signal.Signals if mask >> (sig - 1) & 1}
    assert {signal.SIGINT, signal.SIGALRM, signal.SIGTERM, signal.SIGCHLD, signal.SIGUSR1} <= blocked
    assert not blocked & {signal.SIGSEGV, signal.SIGBUS, signal.SIGFPE, signal.SIGILL}


def test_calls_from_several_python_threads(ball):
    results, errors = [], []

    def worker(n):
        try:
            for i in range(n):
                positions, normals = quarvex.reduce_stl_points(ball, 10 + i % 7)
                results.append((len(positions), len(normals), 10 + i % 7))
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    # Long-lived threads taking turns, then many threads that each make one call and end
    # (their per-thread state must not outlive them in the pool).
    for batch in ([threading.Thread(target=worker, args=(25,)) for _ in range(4)],
                  [threading.Thread(target=worker, args=(1,)) for _ in range(40)]):
        for t in batch:
            t.start()
        for t in batch:
            t.join(timeout=120)
            assert not t.is_alive(), "a call from a Python thread did not return"
    assert not errors, errors
    assert len(results) == 4 * 25 + 40
    assert all(p == n == c for p, n, c in results)


# --------------------------------------------------------------------------------------------
# Address-space exhaustion

LIMITED = r"""
import resource, sys
import quarvex
small, path, clusters, extra, warm = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
if warm == "warm":
    quarvex.reduce_stl_points(small, 8)  # the worker threads and their stacks exist already
with open("/proc/self/statm") as f:
    size = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + extra, size + extra))
for _ in range(2):
    try:
        positions, normals = quarvex.reduce_stl_points(path, clusters)
        print("ok", len(positions) == len(normals) == clusters)
    except BaseException as exc:
        print(type(exc).__name__, str(exc)[:60])
"""
MIB = 1 << 20


def limited(small, path, clusters, extra, warm="warm", env=None):
    return run_script(LIMITED, small, path, clusters, extra, warm, env=env).splitlines()


@pytest.fixture(scope="module")
def big_mesh(tmp_path_factory):
    # 600k triangles, every corner its own vertex: far more mesh than a small limit allows.
    rng = np.random.default_rng(7)
    tris = rng.random((600_000, 3, 3), dtype=np.float32)
    path = tmp_path_factory.mktemp("big") / "big.stl"
    write_binary(path, np.tile(np.float32([0, 0, 1]), (len(tris), 1)), tris)
    return str(path)


@pytest.fixture(scope="module")
def lattice_mesh(tmp_path_factory):
    # 60^3 points on a lattice, three to a triangle: at 60^3 - 1 clusters every point is alone
    # in its cell, so the representatives are trimmed to a result of 89 MB.
    grid = np.stack(np.meshgrid(*[np.arange(60, dtype=np.float32)] * 3, indexing="ij"), -1).reshape(-1, 3, 3)
    path = tmp_path_factory.mktemp("lattice") / "lattice.stl"
    write_binary(path, np.tile(np.float32([0, 0, 1]), (len(grid), 1)), grid)
    return str(path)


@no_asan
@pytest.mark.parametrize("trimmed", [False, True], ids=["topped-up", "trimmed"])
def test_too_many_points_for_the_address_space(ball, lattice_mesh, trimmed):
    # Refused before the result is built, whether the representatives are topped up or
    # trimmed to it.
    path, clusters, extra = (lattice_mesh, 60**3 - 1, 48 * MIB) if trimmed else (ball, 10**7, 64 * MIB)
    # Warmed up on the same file with one worker, which then has run every piece: nothing
    # under the limit is new but the result.
    lines = limited(path, path, clusters, extra, env=dict(os.environ, RAYON_NUM_THREADS="1"))
    assert all(line.startswith(f"MemoryError cannot return {clusters} points") for line in lines), lines


@no_asan
def test_mesh_larger_than_the_address_space(ball, big_mesh):
    lines = limited(ball, big_mesh, 100, 32 * MIB)
    assert len(lines) == 2 and all(line.startswith("MemoryError") for line in lines), lines
    # With more room the call gets further before it runs out, in whichever stage; each
    # outcome is a result or a clean exception, and the process survives to try again.
    for extra in (128, 160, 176, 256):
        for line in limited(ball, big_mesh, 100, extra * MIB):
            assert line == "ok True" or line.startswith("MemoryError") or \
                line == "PanicException Python API call failed", (extra, line)


FIRST_CALL = r"""
import os, resource, sys
import quarvex
with open("/proc/self/statm") as f:
    size = int(f.read().split()[0]) * resource.getpagesize()

def first_call(threads, extra, path=None, feed=None):
    # In a fresh process without a pool, `extra` bytes short of its size; a "pipe" or "fifo"
    # is fed by a grandchild made before the limit.
    os.environ["RAYON_NUM_THREADS"] = str(threads)
    path = path or sys.argv[1]
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        if feed:
            source, (r, w) = path, os.pipe()
            path = f"/proc/self/fd/{r}" if feed == "pipe" else path + ".fifo"
            if feed == "fifo":
                os.mkfifo(path)
            if os.fork() == 0:
                try:
                    os.close(r)  # so that a reader that stops ends the writing
                    with open(source, "rb") as f:
                        os.write(w if feed == "pipe" else os.open(path, os.O_WRONLY), f.read())
                finally:
                    os._exit(0)
            os.close(w)
        resource.setrlimit(resource.RLIMIT_AS, (size + extra, resource.RLIM_INFINITY))
        try:
            positions, normals = quarvex.reduce_stl_points(path, 8)
            outcome = "ok" if len(positions) == len(normals) == 8 else "wrong"
        except BaseException as exc:
            outcome = type(exc).__name__ + " " + str(exc)[:48]
        os.write(write_end, outcome.encode())
        os._exit(0)
    os.close(write_end)
    _, status = os.waitpid(pid, 0)
    outcome = os.read(read_end, 200).decode()
    os.close(read_end)
    if status != 0:
        outcome = f"ended with {os.waitstatus_to_exitcode(status)}"
    print(threads, extra, outcome, flush=True)
    return outcome
"""

LIMITS = FIRST_CALL + r"""
for mib in range(49):
    first_call(4, mib << 20)
# The limit at which the pool starts, to the page: just there a thread's stack fits but
# hardly anything else.
page = resource.getpagesize()
for threads in (2, 3):
    low, high = 0, 48 << 20
    while high - low > page:
        mid = (low + high) // 2 // page * page
        if first_call(threads, mid).startswith("PanicException"):
            low = mid
        else:
            high = mid
"""
POOL_FAULT = "PanicException The global thread pool has not been initialized."


@no_asan
def test_first_call_under_any_address_space_limit(ball):
    # Each call gives a result or raises; a worker never takes the process down (as the C
    # library does when thread-local state it allocates on first use finds no memory).
    out = run_script(LIMITS, ball).splitlines()
    for line in out:
        outcome = line.split(" ", 2)[2]
        assert outcome == "ok" or outcome.startswith(("MemoryError", POOL_FAULT)), line
    assert out[48] == f"4 {48 << 20} ok", out
    assert len(out) > 49 + 2 * 10, out


@no_asan
def test_a_pool_that_cannot_start_raises_on_every_route(tmp_path):
    # Room for a few of 200 worker stacks, not all. Small files run their loops inline but
    # still ask for the pool; large ones, pipes and FIFOs ask for it before the merge.
    normals, tris = sphere(rings=40, segments=80)  # 6,400 triangles: past the small-file size
    for size, (n, t) in (("small", (normals[:40], tris[:40])), ("large", (normals, tris))):
        write_binary(tmp_path / f"{size}-binary.stl", n, t)
        write_ascii(tmp_path / f"{size}-ascii.stl", n, t)
    routes = [(str(path), feed) for path in sorted(tmp_path.iterdir()) for feed in (None, "pipe", "fifo")]
    out = run_script(FIRST_CALL + f"for route in {routes!r}: first_call(200, 48 << 20, *route)\n")
    assert out.splitlines() == [f"200 {48 << 20} {POOL_FAULT}"] * 12, out


RETRY = r"""
import os, resource, sys
import quarvex
path = sys.argv[1]
with open("/proc/self/statm") as f:
    size = int(f.read().split()[0]) * resource.getpagesize()

def limit(extra=None):
    soft = resource.RLIM_INFINITY if extra is None else size + extra
    resource.setrlimit(resource.RLIMIT_AS, (soft, resource.RLIM_INFINITY))

def call():
    try:
        return len(quarvex.reduce_stl_points(path, 8)[0])
    except BaseException as exc:
        return type(exc).__name__ + " " + str(exc)[:48]

def threads():
    return len(os.listdir("/proc/self/task"))

limit(48 << 20)  # room for a few of the 200 worker stacks, not all
# Flushed before the fork, or the child would write the parent's buffered line again
# (stdout is a pipe here, buffered unless PYTHONUNBUFFERED is set).
print(call(), threads(), call(), flush=True)
pid = os.fork()
if pid == 0:
    print("child", call(), end=" ")
    limit()
    print(call(), threads(), flush=True)
    os._exit(0)
os.waitpid(pid, 0)
limit()
print(call(), threads())
"""


@no_asan
def test_failed_pool_start_is_not_remembered(ball):
    # A start that fails leaves no thread behind, and the next call tries again, in this
    # process and in a child forked after the failure; once memory is back, it works.
    out = run_script(RETRY, ball, env=dict(os.environ, RAYON_NUM_THREADS="200"))
    assert out == f"{POOL_FAULT} 1 {POOL_FAULT}\nchild {POOL_FAULT} 8 201\n8 201\n", out
