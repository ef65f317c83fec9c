"""Hostile inputs and files: pipes, special files, files that change while being read, huge
lines, absurd counts and non-finite coordinates. Nothing may crash, hang, or report a
failure as a result."""

import errno
import fcntl
import json
import math
import os
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

import pytest

import quarvex
from child_calls import CHILD, asan_active, call_in_child, is_read_error_text, read_error_of
from stl_files import PREFIX, ascii_stl, binary_stl, binary_triangle, facet_text, write

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
# Pipes, FIFOs and /dev/stdin cannot rewind: detection hands the chosen reader the bytes it
# took, so they give exactly what the same bytes give from a regular file.


def unread(fd):
    """Bytes written into a pipe that its reader has not taken yet."""
    pending = bytearray(4)
    fcntl.ioctl(fd, termios.FIONREAD, pending)
    return int.from_bytes(pending, sys.byteorder)


def feed_fifo(path, pieces, errors, deadline, pause=0.0):
    """Writes `pieces` into the FIFO once a reader has opened it, each piece only after the
    reader has taken everything before it and `pause` seconds have passed. A reader may
    close early: a reader of a binary file stops after the records it was promised."""
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
                while unread(fd):
                    if time.monotonic() > deadline:
                        raise TimeoutError("the reader stopped reading")
                    time.sleep(0.005)
                time.sleep(pause)
                view = memoryview(piece)
                while view:
                    view = view[os.write(fd, view):]
        finally:
            os.close(fd)
    except BrokenPipeError:
        pass
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


def summary(outcome):
    """What must agree between two readings of the same bytes: the message, or the count
    and the set of (position, normal) pairs."""
    if outcome["kind"] != "ok":
        return outcome["kind"], outcome["message"]
    pairs = {(tuple(p), tuple(n)) for p, n in zip(outcome["positions"], outcome["normals"])}
    return "ok", len(outcome["positions"]), pairs


# Inputs that fail, and one that detection must replay whole, each larger than a pipe's
# buffer (the results of readable input by every route and worker count are compared bit
# for bit in test_reference_results.py). Coordinates and normals of the text-like records are made
# of bytes below 0x80 other than 0x0A.
TRIANGLES = [((0, 0, 0), (2, 0, 0), (0, 2, 0), (0, 0, 2)), ((2.5, 3, 0), (3.5, 0, 2), (0, 3.5, 3), (2, 0, 0))]
TEXT_LIKE = [binary_triangle(*t[:3], normal=t[3]) for t in TRIANGLES]
# The first line spans several reads.
ASCII_BODY = "solid " + "n" * 20000 + "\n" + "".join(facet_text(*t) for t in TRIANGLES * 700) + "endsolid\n"
# Text of three windows of the parallel text readers (4 MiB each): the workers parse a stream
# window by window, so a fault past the first one leaves the sequential reader mid-stream.
FACETS = "".join(facet_text(*t) for t in TRIANGLES) * 22000
LONG_ASCII = "solid long\n" + FACETS + facet_text(*TRIANGLES[0]).replace("outer loop", "outer lop") + FACETS
PIPED = {
    # Valid UTF-8 up to the last record: detection keeps all of it before it can decide.
    "binary-invalid-late": binary_stl(TEXT_LIKE * 639 + grid_records(2), header=b"solid " + b"h" * 74),
    "binary-short": binary_stl(grid_records(8) * 300, count=2401),
    # Short past the first 65,536 records: the read fails while they are being merged.
    "binary-short-late": binary_stl(grid_records(8) * 8750, count=70001),
    "latin-1-first-line": b"solid caf\xe9\n" + ASCII_BODY.encode().split(b"\n", 1)[1],
    "empty": b"",
    "ascii-bad-end": ASCII_BODY.encode()[:-30],
    "ascii-bad-utf8": ASCII_BODY.encode().replace(b"endloop", b"endl\xffoop", 1),
    "ascii-bad-middle": (LONG_ASCII + "endsolid\n").encode(),
    "ascii-cut-late": ("solid long\n" + FACETS * 2)[:-40].encode(),
}

READABLE = {"binary-invalid-late"}


@pytest.mark.parametrize("name", PIPED)
def test_pipes_give_what_the_same_bytes_give_from_a_file(tmp_path, name):
    data = PIPED[name]
    path = write(tmp_path, "file.stl", data)
    try:
        positions, normals = quarvex.reduce_stl_points(path, 1000)
        expected = summary({"kind": "ok", "positions": positions, "normals": normals})
    except OSError as exc:
        expected = ("OSError", str(exc))
    assert (expected[0] == "ok") == (name in READABLE), expected[:2]
    assert summary(through_fifo(tmp_path, [data], clusters=1000)) == expected
    (from_stdin,) = call_in_child([("/dev/stdin", 1000)], timeout=60, stdin=data)
    assert summary(from_stdin) == expected


@pytest.mark.parametrize("data", [ASCII_BODY, "solid long\n" + FACETS * 2 + "endsolid\n"], ids=["short", "long"])
def test_a_stream_is_answered_at_endsolid_while_its_writer_waits(data):
    """A writer may wait for the answer before it closes the stream: nothing past "endsolid"
    is waited for."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, json.dumps([["/dev/stdin", 100]]), ""],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    writer = threading.Thread(target=lambda: (child.stdin.write(data.encode()), child.stdin.flush()))
    writer.start()
    try:
        answered, _, _ = select.select([child.stdout], [], [], 60)
        assert answered, "no answer while the stream stayed open"
        assert json.loads(child.stdout.readline())["kind"] == "ok"
    finally:
        writer.join(timeout=60)
        child.stdin.close()
        child.kill()
        child.wait()


def test_a_pipe_read_is_widened_never_narrowed():
    data = binary_stl(grid_records(8))
    sizes = []
    for wanted in (None, 4 << 20):
        read_end, write_end = os.pipe()
        try:
            if wanted is not None:
                try:
                    fcntl.fcntl(read_end, fcntl.F_SETPIPE_SZ, wanted)
                except PermissionError:
                    continue  # above the unprivileged limit: nothing to narrow
            os.write(write_end, data)
            os.close(write_end)
            write_end = None
            assert len(quarvex.reduce_stl_points(f"/proc/self/fd/{read_end}", 20)[0]) == 20
            sizes.append((wanted, fcntl.fcntl(read_end, fcntl.F_GETPIPE_SZ)))
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)
    assert sizes[0] == (None, 1 << 20)
    assert all(size == wanted for wanted, size in sizes[1:])


# A signal handler that returns lets a call go on: opens and reads it interrupted are
# repeated (Python installs its handlers without SA_RESTART).
TIMER = """
import signal
signal.signal(signal.SIGALRM, lambda *_: None)
signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
"""


# A handler may itself call the module, in the middle of the call it interrupted.
NESTING_TIMER = """
import os, signal, struct, tempfile, quarvex
inner = os.path.join(tempfile.mkdtemp(), "inner.stl")
with open(inner, "wb") as f:
    f.write(bytes(80) + struct.pack("<I", 1) + struct.pack("<12fH", 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0))
inner_results = []
def nested(*_):
    if len(inner_results) < 5:
        inner_results.append(quarvex.reduce_stl_points(inner, 50))
        assert len(inner_results[-1][0]) == 50
signal.signal(signal.SIGALRM, nested)
signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
"""


@pytest.mark.parametrize("prelude", [TIMER, NESTING_TIMER], ids=["returning", "calling-the-module"])
def test_interrupted_open_and_reads_are_repeated(tmp_path, prelude):
    records = grid_records(300)
    data = binary_stl(records)
    pieces = [data[i:i + 1000] for i in range(0, len(data), 1000)]
    # The writer opens late and sends in pieces, so the reader blocks in open and in reads
    # while the timer keeps firing.
    outcome = through_fifo(tmp_path, pieces, clusters=20, pause=0.03, prelude=prelude)
    check_result(outcome, 20, vertex_bits(records))


def test_reductions_while_a_timer_interrupts(tmp_path):
    records = grid_records(3000)
    path = write(tmp_path, "many.stl", binary_stl(records))
    outcomes = call_in_child([(path, 500)] * 30, prelude=TIMER)
    for outcome in outcomes:
        check_result(outcome, 500, vertex_bits(records))


# A handler that raises ends the call with its exception, whether the call waits in open or
# read, or reads a large file; the file is closed and its memory released. The test sends the
# signal once the call is under way: asleep in a wait, or 16 MiB into the file, with the
# child stopped meanwhile so that what it reads after the signal is known. An alarm handler
# returns twice, which lets the call go on, and raises the third time.
SIGNALLED = r"""
import os, signal, sys
import quarvex

class Alarm(Exception):
    pass

alarms = []

def on_alarm(*_):
    alarms.append(1)
    if len(alarms) == 3:
        raise Alarm()
    # The test sends the next one as soon as this line arrives, so it may land before this
    # handler returns: one write call, as print's buffered writer refuses a reentrant call.
    os.write(1, b"alarm\n")

def state():
    with open("/proc/self/statm") as f:
        resident = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return len(os.listdir("/proc/self/fd")), resident

signal.signal(signal.SIGALRM, on_alarm)
# Python leaves SIGINT ignored when it started so (a test run in a background job).
signal.signal(signal.SIGINT, signal.default_int_handler)
fds, resident = state()
print("calling", flush=True)
try:
    quarvex.reduce_stl_points(sys.argv[1], 100)
    print("returned")
except (Alarm, KeyboardInterrupt) as exc:
    with open("/proc/self/io") as f:
        read = f.read().split()[1]
    fds_after, resident_after = state()
    print(type(exc).__name__, len(alarms), fds_after - fds, (resident_after - resident) >> 20, read)
"""


def sparse(tmp_path, head):
    """`head`, then a hole of zeros: a file of 64 GiB that takes no space."""
    path = tmp_path / "sparse.stl"
    with open(path, "wb") as f:
        f.write(head)
        f.truncate(64 << 30)
    return str(path)


def proc_word(pid, name, index):
    """Word `index` of /proc/PID/NAME, after the command name in `stat`."""
    with open(f"/proc/{pid}/{name}") as f:
        return f.read().rsplit(")", 1)[-1].split()[index]


@pytest.mark.parametrize(
    "case, how",
    [("fifo-without-writer", "alarm"), ("fifo-without-writer", "sigint"), ("fifo-stalled-writer", "alarm"),
     ("sparse-first-line", "alarm"), ("sparse-binary", "sigint"), ("sparse-binary-whole", "alarm"),
     ("ascii-long", "sigint")],
)
def test_a_raising_handler_ends_the_call(tmp_path, case, how):
    writer, waits = None, case.startswith("fifo")
    if waits:
        path = str(tmp_path / "pipe.stl")
        os.mkfifo(path)
        if case == "fifo-stalled-writer":  # a writer from the start, and a part of a file
            writer = os.open(path, os.O_RDWR)
            os.write(writer, binary_stl(grid_records(100))[:3000])
    elif case == "sparse-first-line":
        path = sparse(tmp_path, b"solid ")  # detection scans a first line of zeros
    elif case == "sparse-binary":
        path = sparse(tmp_path, b"\0" * 80 + struct.pack("<I", 0xFFFFFFFF))  # zero records
    elif case == "ascii-long":  # 384 MiB of facets, parsed on the workers a window at a time
        path = str(tmp_path / "long.stl")
        block = facet_text((0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1)).encode() * 1024
        with open(path, "wb") as f:
            f.write(b"solid long\n")
            for _ in range((384 << 20) // len(block)):
                f.write(block)
            f.write(b"endsolid\n")
    else:  # as many records as the file holds: the workers read it in windows
        path = sparse(tmp_path, b"\0" * 80 + struct.pack("<I", ((64 << 30) - 84) // 50))
    child = subprocess.Popen([sys.executable, "-c", SIGNALLED, path], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    hang_guard = threading.Timer(120, child.kill)
    hang_guard.start()
    try:
        assert child.stdout.readline() == "calling\n"
        start = int(proc_word(child.pid, "io", 1))  # rchar: bytes read so far
        for sent in range(3 if how == "alarm" else 1):
            assert sent == 0 or child.stdout.readline() == "alarm\n"
            # Its thread asleep in open or read (not on a lock of the pool's), with the pipe
            # drained, or well into the file.
            while not (proc_word(child.pid, "stat", 0) == "S" and "futex" not in proc_word(child.pid, "wchan", 0)
                       and (writer is None or unread(writer) == 0)
                       if waits else int(proc_word(child.pid, "io", 1)) >= start + (16 << 20)):
                assert child.poll() is None, child.stderr.read()[-3000:]
                time.sleep(0.001)
            if not waits:
                os.kill(child.pid, signal.SIGSTOP)
                os.waitpid(child.pid, os.WUNTRACED)
            sent_at = int(proc_word(child.pid, "io", 1))
            os.kill(child.pid, signal.SIGALRM if how == "alarm" else signal.SIGINT)
            os.kill(child.pid, signal.SIGCONT)
        out, err = child.stdout.read(), child.stderr.read()
    finally:
        hang_guard.cancel()
        child.kill()
        child.wait()
        if writer is not None:
            os.close(writer)
    assert child.returncode == 0, err[-3000:]
    kind, alarms, fds_grown, resident_grown_mib, read = out.split()
    assert kind == ("Alarm" if how == "alarm" else "KeyboardInterrupt") and alarms == ("3" if how == "alarm" else "0")
    # The call ends within a few windows of input: it polls at least every 4 MiB.
    assert int(read) - sent_at < 64 << 20, f"{(int(read) - sent_at) >> 20} MiB read after the signal"
    assert fds_grown == "0"
    if not asan_active():
        assert int(resident_grown_mib) < 32


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
         text[: len(text) // 3].hex()], stderr=subprocess.PIPE, text=True)
    seen = set()
    try:
        for _ in range(1000):
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
        _, rewriter_errors = rewriter.communicate(timeout=60)
    assert rewriter.returncode == 0, rewriter_errors  # the file really kept changing
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
    # Refused by the size check before any work, not by a failed allocation after it.
    for clusters in (2**64 - 1, 2**63, 2**40):
        with pytest.raises(MemoryError) as info:
            quarvex.reduce_stl_points(one, clusters)
        assert type(info.value) is MemoryError and str(info.value).startswith(f"cannot return {clusters} points")


GROWTH = r"""
import resource, sys
import quarvex
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    quarvex.reduce_stl_points(sys.argv[1], 8)
except OSError as exc:
    print(str(exc).split(": ", 1)[1])
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""


@pytest.mark.parametrize("records, route", [(20000, "file"), (200000, "pipe")])
def test_count_far_beyond_the_file_fails_small(tmp_path, records, route):
    # A pipe of several windows sizes its tables ahead from the count only as far as records
    # arrive. The time limit is only a guard against a hang.
    data = binary_stl(grid_records(records), count=0xFFFFFFFF)
    args = [write(tmp_path, "liar.stl", data)] if route == "file" else ["/dev/stdin"]
    result = subprocess.run([sys.executable, "-c", GROWTH, *args], input=data if route == "pipe" else None,
                            capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr
    text, grown_kib = result.stdout.decode().splitlines()
    assert text == SHORT
    if not asan_active():
        assert int(grown_kib) < 64 * 1024  # what the records need, nothing from the count


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
