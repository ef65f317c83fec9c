"""Resources over many calls and in unusual processes: memory and references, worker threads,
Python threads, fork and multiprocessing, and address-space exhaustion."""

import gc
import os
import subprocess
import sys
import threading
import tracemalloc

import numpy as np
import pytest

import quarvex
from child_calls import asan_active
from meshes import sphere, write_binary
from stl_files import binary_stl, write

TESTS = os.path.dirname(os.path.abspath(__file__))
no_asan = pytest.mark.skipif(asan_active(), reason="AddressSanitizer reserves address space and quarantines freed memory")


@pytest.fixture(scope="module")
def small_mesh(tmp_path_factory):
    normals, tris = sphere(rings=12, segments=24)
    path = tmp_path_factory.mktemp("resources") / "ball.stl"
    write_binary(path, normals, tris)
    return str(path)


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
def test_resident_memory_stays_flat(small_mesh, tmp_path):
    facet = "facet normal 0 0 1\nouter loop\nvertex {0} 0 0\nvertex 0 {0} 0\nvertex 0 0 {0}\nendloop\nendfacet\n"
    failing_text = write(tmp_path, "late-error.stl",
                         "solid x\n" + "".join(facet.format(i + 1) for i in range(2000)) + "facet normal\n")
    failing_binary = write(tmp_path, "short.stl", binary_stl([(0.0,) * 12] * 3000, count=3001))
    for path, clusters, n in ((small_mesh, 64, 2000), (failing_text, 8, 500), (failing_binary, 8, 500)):
        calls(path, clusters, 200)
        gc.collect()
        before = resident_bytes()
        calls(path, clusters, n)
        gc.collect()
        grown = resident_bytes() - before
        assert grown < 4 << 20, f"{path}: resident memory grew by {grown} bytes over {n} calls"


def test_no_descriptor_is_left_open(small_mesh, tmp_path):
    bad_text = write(tmp_path, "bad.stl", "solid x\nfacet normal 0 0 1\nouter loop\nvertex 1 2\n")
    short = write(tmp_path, "short.stl", binary_stl([(0.0,) * 12], count=2))
    empty_text = write(tmp_path, "empty.stl", "solid x\nendsolid x\n")
    before = sorted(os.listdir("/proc/self/fd"))
    for path in (small_mesh, bad_text, short, empty_text, str(tmp_path), str(tmp_path / "absent")):
        calls(path, 8, 300)
    assert sorted(os.listdir("/proc/self/fd")) == before


def test_python_objects_do_not_accumulate(small_mesh):
    calls(small_mesh, 50, 50)
    gc.collect()
    tracemalloc.start()
    try:
        calls(small_mesh, 50, 100)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        calls(small_mesh, 50, 1000)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 64 << 10, f"{grown} bytes of Python objects left behind by 1000 calls"


def held(container, index):
    """References to container[index] beyond getrefcount's own (computed outside an assert,
    whose rewriting keeps values alive)."""
    return sys.getrefcount(container[index]) - 1


def test_reference_counts_are_exact(small_mesh):
    result = quarvex.reduce_stl_points(small_mesh, 20)
    tuple_refs = sys.getrefcount(result) - 1
    assert tuple_refs == 1
    # Each list and float has exactly one owner: the container it sits in.
    outer = [held(result, k) for k in (0, 1)]
    inner = [held(result[k], i) for k in (0, 1) for i in range(20)]
    floats = [held(result[k][i], j) for k in (0, 1) for i in range(20) for j in range(3)]
    assert outer == [1, 1]
    assert inner == [1] * 40
    assert floats == [1] * 120
    assert all(type(result[k][i][j]) is float for k in (0, 1) for i in range(20) for j in range(3))
    lists = result[0] + result[1]
    del result
    gc.collect()
    # With the tuple gone, the outer lists are gone too: `lists` alone holds each inner list.
    assert [held(lists, i) for i in range(40)] == [1] * 40


def test_arguments_are_borrowed(small_mesh, tmp_path):
    path = "".join(small_mesh)  # a fresh string, not shared with the fixture
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


def test_worker_threads_start_once_and_stay(small_mesh, tmp_path):
    env = dict(os.environ, RAYON_NUM_THREADS="3")
    out = run_script(THREAD_COUNT, small_mesh, tmp_path / "absent.stl", env=env)
    # Nothing at import or for a call that fails reading; three workers from the first
    # reduction on, never more.
    assert out == "[1, 1, 1, 4, 4]\n"


def test_calls_from_several_python_threads(small_mesh):
    results, errors = [], []

    def worker(n):
        try:
            for i in range(n):
                positions, normals = quarvex.reduce_stl_points(small_mesh, 10 + i % 7)
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
# Processes

# AddressSanitizer's allocator (unlike the C library's) takes no care of fork(): a worker
# still freeing its last scraps just after a call returns can leave an allocator lock held
# in the child for good. Under the sanitizer only, the workers get a moment to go idle.
SETTLE = '__import__("time").sleep(0.3 if "libasan" in open("/proc/self/maps").read() else 0)'


FORK = r"""
import json, os, signal, sys, time, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # forking with worker threads alive
import quarvex
path = sys.argv[1]
quarvex.reduce_stl_points(path, 64)  # the pool and the generator exist before the fork
SETTLE
read_end, write_end = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(read_end)
    try:
        result = [quarvex.reduce_stl_points(path, 64) for _ in range(3)]
        os.write(write_end, json.dumps(result).encode())
        code = 0
    except BaseException as exc:
        os.write(write_end, repr(exc).encode())
        code = 1
    os._exit(code)
os.close(write_end)
mine = [quarvex.reduce_stl_points(path, 64) for _ in range(3)]
deadline = time.monotonic() + 60
while True:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    if time.monotonic() > deadline:
        os.kill(pid, signal.SIGKILL)
        print("child hung")
        sys.exit(1)
    time.sleep(0.05)
data = b""
while chunk := os.read(read_end, 1 << 16):
    data += chunk
assert os.waitstatus_to_exitcode(status) == 0, data
theirs = [tuple(r) for r in json.loads(data)]
mine = [tuple(map(list, r)) for r in mine]
print(len(theirs), all(len(p) == 64 for p, _ in theirs), theirs[0] != mine[0])
""".replace("SETTLE", SETTLE)


def test_forked_child_can_call(small_mesh):
    # The child has none of the parent's workers and must not repeat the parent's draws.
    assert run_script(FORK, small_mesh) == "3 True True\n"


POOL = r"""
import multiprocessing, sys, warnings
warnings.simplefilter("ignore", DeprecationWarning)
import quarvex
if __name__ == "__main__":
    path, method = sys.argv[1], sys.argv[2]
    quarvex.reduce_stl_points(path, 8)  # worker threads exist when the pool forks
    SETTLE
    ctx = multiprocessing.get_context(method)
    with ctx.Pool(3) as pool:
        results = pool.starmap_async(quarvex.reduce_stl_points, [(path, 40)] * 9).get(timeout=120)
    print(len(results), all(len(p) == len(n) == 40 for p, n in results),
          len({repr(r) for r in results}))
""".replace("SETTLE", SETTLE)


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_multiprocessing_pool(small_mesh, tmp_path, method):
    script = tmp_path / "pool_main.py"  # spawn needs a main module it can import again
    script.write_text(POOL)
    result = subprocess.run([sys.executable, str(script), small_mesh, method], capture_output=True, text=True,
                            timeout=180, cwd=TESTS)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout == "9 True 9\n"  # every call in every worker draws its own points


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
def test_too_many_points_for_the_address_space(small_mesh, lattice_mesh, trimmed):
    # Refused before the result is built, whether the representatives are topped up or
    # trimmed to it.
    path, clusters, extra = (lattice_mesh, 60**3 - 1, 48 * MIB) if trimmed else (small_mesh, 10**7, 64 * MIB)
    # Warmed up on the same file with one worker, which then has run every piece: nothing
    # under the limit is new but the result. (A thread's first allocation of thread-local
    # data that fails under the limit makes glibc abort the process.)
    lines = limited(path, path, clusters, extra, env=dict(os.environ, RAYON_NUM_THREADS="1"))
    assert all(line.startswith(f"MemoryError cannot return {clusters} points") for line in lines), lines


@no_asan
def test_mesh_larger_than_the_address_space(small_mesh, big_mesh):
    lines = limited(small_mesh, big_mesh, 100, 32 * MIB)
    assert len(lines) == 2 and all(line.startswith("MemoryError") for line in lines), lines
    # With more room the call gets further before it runs out, in whichever stage; each
    # outcome is a result or a clean exception, and the process survives to try again.
    for extra in (128, 160, 176, 256):
        for line in limited(small_mesh, big_mesh, 100, extra * MIB):
            assert line == "ok True" or line.startswith("MemoryError") or \
                line == "PanicException Python API call failed", (extra, line)


@no_asan
def test_worker_stacks_beyond_the_address_space(small_mesh):
    # The pool's first start fails part way: the threads already started end, the call is an
    # internal fault, and so is every later call (the pool is not retried).
    env = dict(os.environ, RAYON_NUM_THREADS="200")
    lines = limited(small_mesh, small_mesh, 8, 48 * MIB, warm="cold", env=env)
    assert len(lines) == 2
    assert all(line.startswith("PanicException The global thread pool has not been initialized.")
               for line in lines), lines
