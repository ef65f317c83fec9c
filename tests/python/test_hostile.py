"""Hostile inputs and files: pipes, special files, files that change while being read, huge
lines, absurd counts and non-finite coordinates. Nothing may crash, hang, or report a
failure as a result."""

import errno
import fcntl
import math
import os
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

import pytest

import quarvex
from child_calls import asan_active, call_in_child, is_read_error_text, read_error_of
from stl_files import PREFIX, ascii_stl, binary_stl, binary_triangle, write

SHORT = "failed to fill whole buffer"
NAN, INF = math.nan, math.inf


def f32_bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def vertex_bits(records):
    """The bit patterns of the vertices of binary records (12 floats each)."""
    return {tuple(f32_bits(c) for c in r[i:i + 3]) for r in records for i in (3, 6, 9)}


def position_bits(positions):
    return [tuple(f32_bits(c) for c in p) for p in positions]


def check_result(outcome, clusters, vertices):
    assert outcome["kind"] == "ok", outcome
    positions, normals = outcome["positions"], outcome["normals"]
    assert len(positions) == len(normals) == clusters
    assert all(len(p) == 3 for p in positions) and all(len(n) == 3 for n in normals)
    assert set(position_bits(positions)) <= vertices


def grid_records(count, offset=0.0):
    """`count` binary records with distinct vertices, none of whose bytes is 0x0A."""
    records = []
    x = 1.5 + offset
    while len(records) < count:
        x += 1.0
        if b"\n" not in struct.pack("<f", x):
            records.append(binary_triangle((x, 2.5, 3.5), (x, 4.5, 3.5), (x, 2.5, 5.5), normal=(1.0, 0.0, 0.0)))
    return records


# --------------------------------------------------------------------------------------------
# Named pipes: the rewind after detection fails, so the file is read as binary from wherever
# detection left the descriptor.


def feed_fifo(path, pieces, errors, deadline, pause=0.0):
    """Writes `pieces` into the FIFO once a reader has opened it, each piece only after the
    reader has taken everything before it and `pause` seconds have passed."""
    try:
        while True:
            try:
                fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as exc:
                if exc.errno != errno.ENXIO or time.monotonic() > deadline:
                    raise
                time.sleep(0.01)
        os.set_blocking(fd, True)
        try:
            for piece in pieces:
                pending = bytearray(4)
                while True:
                    fcntl.ioctl(fd, termios.FIONREAD, pending)
                    if int.from_bytes(pending, sys.byteorder) == 0:
                        break
                    if time.monotonic() > deadline:
                        raise TimeoutError("the reader stopped reading")
                    time.sleep(0.005)
                time.sleep(pause)
                view = memoryview(piece)
                while view:
                    view = view[os.write(fd, view):]
        finally:
            os.close(fd)
    except BaseException as exc:  # noqa: BLE001 - reported by the test
        errors.append(exc)


def through_fifo(tmp_path, pieces, clusters=8, pause=0.0, prelude=""):
    fifo = tmp_path / "pipe.stl"
    os.mkfifo(fifo)
    errors = []
    writer = threading.Thread(target=feed_fifo, args=(fifo, pieces, errors, time.monotonic() + 60, pause))
    writer.start()
    try:
        (outcome,) = call_in_child([(fifo, clusters)], timeout=60, prelude=prelude)
    finally:
        writer.join(timeout=70)
    assert not writer.is_alive() and not errors, errors
    return outcome


def test_binary_file_through_a_fifo_is_consumed_by_detection(tmp_path):
    # Without a line end, detection reads the whole stream looking for one; nothing is left.
    data = binary_stl(grid_records(2000))  # larger than a pipe's buffer
    assert b"\n" not in data
    assert read_error_of(through_fifo(tmp_path, [data])) == SHORT


def test_ascii_file_through_a_fifo_is_read_as_binary(tmp_path):
    data = ascii_stl([((0, 0, 0), (1, 0, 0), (0, 1, 0))]).encode()
    assert len(data) < 4096  # one atomic write: detection's first read takes all of it
    assert read_error_of(through_fifo(tmp_path, [data])) == SHORT


def test_fifo_whose_writer_switches_from_text_to_binary(tmp_path):
    # Detection sees a valid ASCII first line, but cannot rewind: the binary reader goes on
    # right behind that line, where the writer has meanwhile sent a binary file.
    records = grid_records(30)
    outcome = through_fifo(tmp_path, [b"solid fifo\n", binary_stl(records)], clusters=50)
    check_result(outcome, 50, vertex_bits(records))


# A signal handler installed from Python interrupts blocking system calls (no SA_RESTART);
# the module's opens, reads and waits must all carry on.
TIMER = """
import signal
signal.signal(signal.SIGALRM, lambda *_: None)
signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
"""


def test_interrupted_open_and_reads_are_repeated(tmp_path):
    records = grid_records(300)
    data = binary_stl(records)
    pieces = [b"solid slow\n"] + [data[i:i + 1000] for i in range(0, len(data), 1000)]
    # The writer opens late and sends in pieces, so the reader blocks in open and in reads
    # while the timer keeps firing.
    outcome = through_fifo(tmp_path, pieces, clusters=20, pause=0.03, prelude=TIMER)
    check_result(outcome, 20, vertex_bits(records))


def test_reductions_while_a_timer_interrupts(tmp_path):
    records = grid_records(3000)
    path = write(tmp_path, "many.stl", binary_stl(records))
    outcomes = call_in_child([(path, 500)] * 30, prelude=TIMER)
    for outcome in outcomes:
        check_result(outcome, 500, vertex_bits(records))


# --------------------------------------------------------------------------------------------
# Files that change between detection and reading.

REWRITER = r"""
import os, sys, time
path, stop = sys.argv[1], sys.argv[2]
contents = [bytes.fromhex(h) for h in sys.argv[3:]]
end = time.monotonic() + 60
while not os.path.exists(stop) and time.monotonic() < end:
    for data in contents:
        with open(path, "r+b") as f:       # in place: an open descriptor sees the change
            f.truncate(0)
            f.write(data[: len(data) // 2])
            f.flush()
            f.write(data[len(data) // 2 :])
        tmp = path + ".tmp"
        with open(tmp, "wb") as f:          # replaced: an open descriptor keeps the old file
            f.write(data)
        os.replace(tmp, path)
"""


def test_file_rewritten_while_calls_read_it(tmp_path):
    tri = ((0.25, 0.5, 0.75), (1.25, 0.5, 0.75), (0.25, 1.5, 0.75))
    records = grid_records(40)
    text = ascii_stl([tri, ((5, 5, 5), (6, 5, 5), (5, 6, 5))]).encode()
    binary = binary_stl(records)
    vertices = vertex_bits(records) | {tuple(f32_bits(c) for c in v) for v in
                                       (*tri, (5, 5, 5), (6, 5, 5), (5, 6, 5))}
    path = write(tmp_path, "moving.stl", text)
    stop = tmp_path / "stop"
    rewriter = subprocess.Popen(
        [sys.executable, "-c", REWRITER, path, str(stop), text.hex(), binary.hex(), b"".hex(),
         text[: len(text) // 3].hex()])
    seen = set()
    try:
        end = time.monotonic() + 6
        calls = 0
        while time.monotonic() < end or calls < 200:
            calls += 1
            try:
                positions, normals = quarvex.reduce_stl_points(path, 16)
            except OSError as exc:
                assert type(exc) is OSError and str(exc).startswith(PREFIX)
                text_of_error = str(exc)[len(PREFIX):]
                assert is_read_error_text(text_of_error), text_of_error
                seen.add(text_of_error)
            else:
                check_result({"kind": "ok", "positions": positions, "normals": normals}, 16, vertices)
                seen.add("ok")
    finally:
        stop.touch()
        rewriter.wait(timeout=60)
    assert seen  # which outcomes a given run meets depends on timing


# --------------------------------------------------------------------------------------------
# Special paths and permissions.


def test_special_files_and_paths(tmp_path):
    loop = tmp_path / "loop.stl"
    os.symlink(loop, loop)
    too_long = "/" + "x" * 5000
    outcomes = call_in_child([("/dev/null", 8), ("/dev/zero", 8), (loop, 8), (too_long, 8)], timeout=60)
    assert read_error_of(outcomes[0]) == SHORT
    # An endless stream of zero bytes is a header and a count of zero: an empty mesh, at once.
    assert outcomes[1] == {"kind": "ok", "positions": [], "normals": []}
    assert read_error_of(outcomes[2]) == f"{os.strerror(errno.ELOOP)} (os error {errno.ELOOP})"
    assert read_error_of(outcomes[3]) == f"{os.strerror(errno.ENAMETOOLONG)} (os error {errno.ENAMETOOLONG})"


DROP_AND_READ = r"""
import os, sys
import quarvex
try:
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)
except OSError as exc:
    print("cannot drop:", exc)
    sys.exit(0)
try:
    quarvex.reduce_stl_points(sys.argv[1], 1)
except OSError as exc:
    print(exc)
"""


def test_file_without_read_permission():
    with tempfile.TemporaryDirectory() as folder:
        os.chmod(folder, 0o755)  # searchable by anyone: only the file itself is closed
        path = os.path.join(folder, "locked.stl")
        with open(path, "wb") as f:
            f.write(binary_stl(grid_records(1)))
        os.chmod(path, 0o200)
        expected = f"{PREFIX}{os.strerror(errno.EACCES)} (os error {errno.EACCES})"
        if os.geteuid() != 0:
            with pytest.raises(OSError) as info:
                quarvex.reduce_stl_points(path, 1)
            assert str(info.value) == expected
            return
        # Root reads everything: the call runs in a child that gives up root first.
        result = subprocess.run([sys.executable, "-c", DROP_AND_READ, path],
                                capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        if result.stdout.startswith("cannot drop"):
            pytest.skip("running as root")
        assert result.stdout == expected + "\n"


# --------------------------------------------------------------------------------------------
# Counts and sizes.


def test_absurd_counts(tmp_path):
    empty = write(tmp_path, "empty.stl", binary_stl([]))
    empty_text = write(tmp_path, "empty-text.stl", "solid e\nendsolid e\n")
    one = write(tmp_path, "one.stl", binary_stl([binary_triangle((1, 1, 1), (1, 1, 1), (1, 1, 1))]))
    for path in (empty, empty_text):
        assert quarvex.reduce_stl_points(path, 2**64 - 1) == ([], [])
    start = time.monotonic()
    for clusters in (2**64 - 1, 2**63, 2**40):
        with pytest.raises(MemoryError) as info:
            quarvex.reduce_stl_points(one, clusters)
        assert type(info.value) is MemoryError and str(clusters) in str(info.value)
    assert time.monotonic() - start < 10  # refused before any work, not after a long try


GROWTH = r"""
import resource, sys, time
import quarvex
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.monotonic()
try:
    quarvex.reduce_stl_points(sys.argv[1], 8)
except OSError as exc:
    print(str(exc).split(": ", 1)[1])
print(time.monotonic() - start)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""


def test_count_far_beyond_the_file_fails_fast_and_small(tmp_path):
    path = write(tmp_path, "liar.stl", binary_stl(grid_records(20000), count=0xFFFFFFFF))
    result = subprocess.run([sys.executable, "-c", GROWTH, path], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    text, seconds, grown_kib = result.stdout.splitlines()
    assert text == SHORT
    assert float(seconds) < 5
    if not asan_active():
        assert int(grown_kib) < 64 * 1024  # what 20000 records need, nothing from the count


MEGA = 4 << 20


def test_lines_of_several_megabytes(tmp_path):
    facet = "facet normal 0 0 1\nouter loop\nvertex {}\nvertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\n"
    files = {
        "long-name": "solid " + "n" * (2 * MEGA) + "\n" + facet.format("0 0 0") + "endsolid\n",
        "long-number": "solid x\n" + facet.format("1." + "0" * MEGA + " 0 0") + "endsolid\n",
        "tiny-number": "solid x\n" + facet.format("0." + "0" * MEGA + "1 0 0") + "endsolid\n",
        "huge-number": "solid x\n" + facet.format("1" + "0" * MEGA + " 0 0") + "endsolid\n",
        "wide-blanks": "solid x\n" + facet.format("0" + " \t" * MEGA + "0 0") + "endsolid\n",
        "long-word": "solid x\n" + facet.format("7" * MEGA + "x 0 0") + "endsolid\n",
        "long-header": "solid x\nfacet normal 0 0 1 " + "w " * MEGA + "\n",
        "no-line-end": "solid x\nfacet normal 0 0 1\nouter loop\nvertex " + "9" * (3 * MEGA),
    }
    paths = {name: write(tmp_path, name, text) for name, text in files.items()}
    outcomes = dict(zip(paths, call_in_child([(p, 3) for p in paths.values()], timeout=300)))
    as_bits = lambda *v: {tuple(f32_bits(c) for c in p) for p in v}  # noqa: E731
    check_result(outcomes["long-name"], 3, as_bits((0, 0, 0), (1, 0, 0), (0, 1, 0)))
    check_result(outcomes["long-number"], 3, as_bits((1, 0, 0), (0, 1, 0)))
    check_result(outcomes["tiny-number"], 3, as_bits((0, 0, 0), (1, 0, 0), (0, 1, 0)))
    check_result(outcomes["wide-blanks"], 3, as_bits((0, 0, 0), (1, 0, 0), (0, 1, 0)))
    assert read_error_of(outcomes["huge-number"]) == "expected finite f32, got inf which is Infinite"
    assert read_error_of(outcomes["long-word"]) == "invalid float literal"
    header = read_error_of(outcomes["long-header"])
    assert header.startswith('invalid facet header: ["facet", "normal", "0", "0", "1", "w", "w"')
    assert len(header) == len('invalid facet header: ["facet", "normal", "0", "0", "1"]') + 5 * MEGA
    assert read_error_of(outcomes["no-line-end"]) == "vertex f32 f32 f32, got [\"vertex\", \"" + "9" * (3 * MEGA) + "\"]"


# --------------------------------------------------------------------------------------------
# Non-finite coordinates in binary files: accepted unchanged, and reduced like any other.


@pytest.mark.parametrize(
    "records",
    [
        [binary_triangle((NAN, 0, 0), (INF, 1, 1), (-INF, -0.0, 2)), binary_triangle((0, 0, 0), (1, 1, 1), (2, 2, 2))],
        [binary_triangle((NAN, NAN, NAN), (-NAN, NAN, NAN), (NAN, -NAN, NAN), normal=(NAN, NAN, NAN))],
        [binary_triangle((INF, INF, INF), (-INF, -INF, -INF), (INF, -INF, 0), normal=(INF, 0, 0))],
        [binary_triangle((3e38, -3e38, 3e38), (-3e38, 3e38, -3e38), (1e-45, -1e-45, 0), normal=(3e38, 3e38, 3e38))],
        [binary_triangle((x, 1e38, -x), (x, x, x), (0, -x, 1), normal=(0, 1e-40, 0)) for x in (1e-38, 2e-38, 5e-39)],
    ],
    ids=["mixed", "all-nan", "infinite", "overflowing-extent", "subnormal"],
)
def test_non_finite_coordinates(tmp_path, records):
    path = write(tmp_path, "odd.stl", binary_stl(records))
    vertices = vertex_bits(records)
    for clusters in (1, 7, 1000):
        positions, normals = quarvex.reduce_stl_points(path, clusters)
        check_result({"kind": "ok", "positions": positions, "normals": normals}, clusters, vertices)
    # Every distinct vertex makes it into a large enough result, NaNs included.
    positions, _ = quarvex.reduce_stl_points(path, 4000)
    assert set(position_bits(positions)) == vertices
