"""Internal faults as pyo3_runtime.PanicException, faults resumed from Python, memory
exhaustion as MemoryError."""

import os
import re
import sys

import pytest

import quarvex
from child_calls import asan_active
from conftest import run_python
from meshes import sphere, write_ascii, write_binary
from quarvex import reduce_stl_points


class PathLike:
    def __init__(self, exc):
        self.exc = exc

    def __fspath__(self):
        raise self.exc


class Index:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def test_unencodable_path_is_an_internal_fault(panic_exception, capfd):
    with pytest.raises(BaseException) as info:
        try:
            reduce_stl_points("\ud800", 1)
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("except Exception caught an internal fault")
    exc = info.value
    assert type(exc) is panic_exception
    assert exc.args == ("Python API call failed",)
    err = capfd.readouterr().err
    # The interpreter's own error first, then one fault report.
    assert "UnicodeEncodeError" in err
    assert err.count("Python API call failed") == 1
    # The report names a path relative to the project, never the folder it was built in.
    report = r"^quarvex: internal fault in thread '<unnamed>' at src/\w+/\w+\.cpp:\d+:\d+: Python API"
    assert re.search(report, err, re.M), err


def test_panic_exception_type(panic_exception):
    assert panic_exception.__name__ == "PanicException"
    assert panic_exception.__module__ == "pyo3_runtime"
    assert panic_exception.__qualname__ == "PanicException"
    assert panic_exception.__mro__ == (panic_exception, BaseException, object)
    assert not issubclass(panic_exception, Exception)
    doc = panic_exception.__doc__
    assert len(doc.encode()) == 235
    assert doc.startswith("\n") and doc.split("\n\n")[0].endswith("panics.")
    assert doc.endswith(
        "\n\nLike SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n"
    )
    assert not any(v is panic_exception for v in vars(quarvex).values())
    # One type for the whole process.
    with pytest.raises(BaseException) as info:
        reduce_stl_points("\udcff\ud800", 1)
    assert type(info.value) is panic_exception


BANNER_END = " ---\nPython stack trace below:\n"


@pytest.mark.parametrize("where", ["fspath", "index"])
def test_a_panic_raised_by_python_code_is_resumed(panic_exception, capfd, where):
    raised = panic_exception("deep fault")
    args = (PathLike(raised), 1) if where == "fspath" else ("m.stl", Index(raised))
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        reduce_stl_points(*args)
    exc = info.value
    assert type(exc) is panic_exception
    assert exc is not raised
    assert exc.args == ("deep fault",)
    err = capfd.readouterr().err
    assert err.startswith("---") and BANNER_END in err
    # The traceback of the resumed exception follows, and no second fault report.
    after = err.split(BANNER_END, 1)[1]
    assert "Traceback" in after and "pyo3_runtime.PanicException: deep fault" in after
    assert "panicked at" not in err


def test_a_panic_without_text_and_a_panic_subclass(panic_exception, capfd):
    class Unprintable:
        def __str__(self):
            raise RuntimeError

    with pytest.raises(BaseException) as info:
        reduce_stl_points(PathLike(panic_exception(Unprintable())), 1)
    assert type(info.value) is panic_exception
    assert info.value.args == ("Unwrapped panic from Python code",)

    # Only the exact type is resumed; a subclass is an ordinary error and passes unchanged.
    sub = type("SubPanic", (panic_exception,), {})("mine")
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        reduce_stl_points(PathLike(sub), 1)
    assert info.value is sub
    assert "---" not in capfd.readouterr().err


@pytest.mark.skipif(sys.platform != "linux", reason="needs /proc and RLIMIT_AS")
def test_running_out_of_memory_is_a_memory_error():
    # The path text fits under the address-space limit, its encoded copy fits, but the
    # module's own copy of it does not: a C++ allocation failure inside the call.
    size = 64 << 20
    code = f"""
import resource
from quarvex import reduce_stl_points
path = "a" * {size}
with open("/proc/self/statm") as f:
    pages = int(f.read().split()[0])
used = pages * resource.getpagesize()
limit = used + {size} + (24 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    reduce_stl_points(path, 1)
except MemoryError as exc:
    print("MemoryError", type(exc) is MemoryError)
except BaseException as exc:
    print("other", type(exc).__name__, exc)
"""
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "MemoryError True\n", result.stdout + result.stderr


FIRST_CALLS = r"""
import os, resource, sys
import quarvex

def first_call(path, feed):
    # In a fresh child without a pool, whose address space leaves room for a few of the 200
    # worker stacks, not all; a pipe or FIFO is fed by a grandchild made before the limit.
    read_end, write_end = os.pipe()
    if os.fork() == 0:
        source = path
        if feed:
            if feed == "pipe":
                r, w = os.pipe()
                path = f"/proc/self/fd/{r}"
            else:
                path = path + ".fifo"
                os.mkfifo(path)
            if os.fork() == 0:
                try:
                    if feed == "pipe":
                        os.close(r)  # so that a reader that stops ends the writing
                    fd = w if feed == "pipe" else os.open(path, os.O_WRONLY)
                    with open(source, "rb") as f:
                        os.write(fd, f.read())
                finally:
                    os._exit(0)  # also when the reader stopped reading
            if feed == "pipe":
                os.close(w)
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (48 << 20), resource.RLIM_INFINITY))
        try:
            quarvex.reduce_stl_points(path, 8)
            outcome = "ok"
        except BaseException as exc:
            outcome = type(exc).__name__ + " " + str(exc)[:48]
        os.write(write_end, outcome.encode())
        os._exit(0)
    os.close(write_end)
    _, status = os.wait()
    outcome = os.read(read_end, 200).decode() or f"ended with {os.waitstatus_to_exitcode(status)}"
    print(os.path.basename(path), feed or "file", outcome, flush=True)

for path in sys.argv[1:]:
    for feed in ("", "pipe", "fifo"):
        first_call(path, feed)
"""


@pytest.mark.skipif(asan_active(), reason="AddressSanitizer reserves address space")
def test_a_pool_that_cannot_start_raises_on_every_route(tmp_path):
    # Small files run their loops inline but still ask for the pool; large ones, pipes and
    # FIFOs ask for it before the merge. Each first call raises, none takes the process down.
    normals, tris = sphere(rings=40, segments=80)  # 6,400 triangles: past the small-file size
    paths = []
    for size, (n, t) in (("small", (normals[:40], tris[:40])), ("large", (normals, tris))):
        paths += [tmp_path / f"{size}-binary.stl", tmp_path / f"{size}-ascii.stl"]
        write_binary(paths[-2], n, t)
        write_ascii(paths[-1], n, t)
    result = run_python(FIRST_CALLS + "\n", env=dict(os.environ, RAYON_NUM_THREADS="200"), args=paths)
    lines = result.stdout.splitlines()
    assert len(lines) == 12, result.stdout + result.stderr
    for line in lines:
        assert line.split(" ", 2)[2] == "PanicException The global thread pool has not been initialized.", line
