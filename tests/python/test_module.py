"""The module object: its namespace, re-import, and refusal of a second interpreter."""

import sys

import pytest

import quarvex
from conftest import run_python


def test_namespace_and_function_attributes():
    assert quarvex.__name__ == "quarvex"
    assert quarvex.__doc__ == ""
    assert quarvex.__all__ == ["reduce_stl_points"]
    public = {name for name in vars(quarvex) if not name.startswith("_")}
    assert public == {"reduce_stl_points"}

    f = quarvex.reduce_stl_points
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__name__ == "reduce_stl_points"
    assert f.__module__ == "quarvex"
    assert f.__self__ is quarvex
    assert f.__text_signature__ == "(file_path, clusters)"
    assert f.__doc__ is None
    import inspect

    assert list(inspect.signature(f).parameters) == ["file_path", "clusters"]


def test_reimport_returns_the_cached_module_unchanged():
    first = sys.modules["quarvex"]
    first.marker = "kept"
    try:
        del sys.modules["quarvex"]
        import quarvex as again

        assert again is first
        assert again.__all__ == ["reduce_stl_points"]
        assert again.marker == "kept"
        assert sys.modules["quarvex"] is first
    finally:
        sys.modules["quarvex"] = first
        del first.marker


def test_fresh_process_imports_and_reimports():
    # Import in a clean interpreter, where nothing else has touched the module yet.
    result = run_python(
        "import sys, quarvex as a\n"
        "del sys.modules['quarvex']\n"
        "import quarvex as b\n"
        "assert a is b and b.__all__ == ['reduce_stl_points'], b.__all__\n"
        "print('ok')\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


def _subinterpreter_runner():
    for name in ("_testcapi", "_testinternalcapi"):
        try:
            module = __import__(name)
        except ImportError:
            continue
        if hasattr(module, "run_in_subinterp"):
            return name
    return None


@pytest.mark.skipif(_subinterpreter_runner() is None, reason="no run_in_subinterp in this build")
def test_second_interpreter_is_refused():
    runner = _subinterpreter_runner()
    inner = (
        "import os\n"
        "try:\n"
        "    import quarvex\n"
        "except ImportError as exc:\n"
        "    os.write(1, ('refused: ' + str(exc) + chr(10)).encode())\n"
        "else:\n"
        "    os.write(1, b'imported' + bytes([10]))\n"
    )
    # Twice: the refusal sticks, it is not a one-off of the first attempt.
    code = (
        f"import {runner}, quarvex\n"
        f"{runner}.run_in_subinterp({inner!r})\n"
        f"{runner}.run_in_subinterp({inner!r})\n"
        "assert quarvex.reduce_stl_points.__module__ == 'quarvex'\n"
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 2
    for line in lines:
        assert line.startswith("refused: ")
        assert "modules do not yet support subinterpreters" in line
