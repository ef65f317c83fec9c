"""Calls in a process forked after the module has already run its worker threads.

The child of fork() inherits none of the parent's threads, so its first call must bring up
workers of its own instead of waiting for ones that do not exist. Each scenario runs in a
fresh interpreter under a time limit: a hang fails the test instead of blocking the suite.
"""

import struct
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(not hasattr(__import__("os"), "fork"), reason="needs fork()")

# A tetrahedron: four corners, four faces, so any call returns only these positions.
CORNERS = [(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)]
FACES = [(0, 2, 1), (0, 1, 3), (0, 3, 2), (1, 2, 3)]

# Shared by the scenarios: one call, checked, as a function the child processes can use.
PRELUDE = textwrap.dedent(
    """
    import os, signal, sys
    import quarvex

    CORNERS = {corners!r}

    def settle():
        # Under AddressSanitizer a worker may still be inside the sanitizer's allocator just
        # after a call returns, and a fork then hands the child a held allocator lock.
        if "libasan" in open("/proc/self/maps").read():
            __import__("time").sleep(0.3)

    def call(path):
        positions, normals = quarvex.reduce_stl_points(path, 4)
        assert len(positions) == len(normals) == 4, (positions, normals)
        for p in positions:
            assert tuple(p) in CORNERS, p
        return len(positions)
    """
)


@pytest.fixture
def tetrahedron(tmp_path):
    path = tmp_path / "tetra.stl"
    data = bytearray(b"quarvex fork test".ljust(80, b" "))
    data += struct.pack("<I", len(FACES))
    for face in FACES:
        data += struct.pack("<3f", 0.0, 0.0, 0.0)
        for index in face:
            data += struct.pack("<3f", *CORNERS[index])
        data += b"\0\0"
    path.write_bytes(bytes(data))
    return str(path)


def run_scenario(body, path):
    code = PRELUDE.format(corners=CORNERS) + textwrap.dedent(body)
    try:
        done = subprocess.run(
            [sys.executable, "-c", code, path], capture_output=True, text=True, timeout=120
        )
    except subprocess.TimeoutExpired:
        pytest.fail("a call after fork() hung")
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_os_fork_after_a_call(tetrahedron):
    out = run_scenario(
        """
        path = sys.argv[1]
        call(path)  # the parent's workers exist from here on
        settle()
        pid = os.fork()
        if pid == 0:
            signal.alarm(60)  # a hung child dies instead of hanging its parent
            try:
                ok = call(path) == 4 and call(path) == 4
            except BaseException as exc:
                print("child failed:", repr(exc), flush=True)
                ok = False
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        print("child status", os.waitstatus_to_exitcode(status))
        call(path)  # the parent's own workers are unaffected
        """,
        tetrahedron,
    )
    assert "child status 0" in out


def test_multiprocessing_fork_pool_after_a_call(tetrahedron):
    out = run_scenario(
        """
        import multiprocessing, warnings

        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
        path = sys.argv[1]
        call(path)
        settle()
        with multiprocessing.get_context("fork").Pool(2) as pool:
            counts = pool.map_async(call, [path] * 6).get(timeout=60)
        print("counts", counts)
        call(path)
        """,
        tetrahedron,
    )
    assert "counts [4, 4, 4, 4, 4, 4]" in out
