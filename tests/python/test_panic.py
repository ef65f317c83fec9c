"""Internal faults as pyo3_runtime.PanicException, faults resumed from Python, memory
exhaustion as MemoryError."""

import re
import sys

import pytest

import quarvex
from conftest import run_python
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

