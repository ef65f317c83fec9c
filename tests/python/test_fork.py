"""Calls in processes forked after the module has already run its worker threads.

The child of fork() inherits none of the parent's threads, so its first call must bring up
workers of its own instead of waiting for ones that do not exist, and it must not repeat the
parent's random draws. Each scenario runs in a fresh interpreter under a time limit: a hang
fails the test instead of blocking the suite.
"""

import os
import subprocess
import sys

import pytest


pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
TESTS = os.path.dirname(os.path.abspath(__file__))

# Under AddressSanitizer a worker may still be inside the sanitizer's allocator just after a
# call returns (its allocator, unlike the C library's, takes no care of fork()), and a fork
# then hands the child a held allocator lock. Under the sanitizer only, the workers get a
# moment to go idle.
SETTLE = '__import__("time").sleep(0.3 if "libasan" in open("/proc/self/maps").read() else 0)'


def run_script(script, *args, cwd=None):
    try:
        done = subprocess.run([sys.executable, *script, *args], capture_output=True, text=True,
                              timeout=180, cwd=cwd)
    except subprocess.TimeoutExpired:
        pytest.fail("a call after fork() hung")
    assert done.returncode == 0, done.stdout + done.stderr[-3000:]
    return done.stdout


FORK = r"""
import os, signal, sys, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # forking with worker threads alive
import quarvex
path = sys.argv[1]
quarvex.reduce_stl_points(path, 64)  # the pool and the generator exist before the fork
SETTLE
read_end, write_end = os.pipe()
pid = os.fork()
if pid == 0:
    signal.alarm(60)  # a hung child dies instead of hanging its parent
    os.close(read_end)
    try:
        result = [quarvex.reduce_stl_points(path, 64) for _ in range(3)]
        os.write(write_end, repr(result[0]).encode())
        code = 0 if all(len(p) == len(n) == 64 for p, n in result) else 1
    except BaseException as exc:
        os.write(write_end, repr(exc).encode())
        code = 1
    os._exit(code)
os.close(write_end)
mine = quarvex.reduce_stl_points(path, 64)  # the parent's own workers are unaffected
_, status = os.waitpid(pid, 0)
theirs = b""
while chunk := os.read(read_end, 1 << 16):
    theirs += chunk
assert os.waitstatus_to_exitcode(status) == 0, theirs
print(theirs.decode() != repr(mine))
""".replace("SETTLE", SETTLE)


def test_os_fork_after_a_call(ball):
    assert run_script(["-c", FORK], ball) == "True\n"


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
    quarvex.reduce_stl_points(path, 8)
    print(len(results), all(len(p) == len(n) == 40 for p, n in results),
          len({repr(r) for r in results}))
""".replace("SETTLE", SETTLE)


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_multiprocessing_pool(ball, tmp_path, method):
    script = tmp_path / "pool_main.py"  # spawn needs a main module it can import again
    script.write_text(POOL)
    # Every call in every worker process draws its own points.
    assert run_script([str(script)], ball, method, cwd=TESTS) == "9 True 9\n"
