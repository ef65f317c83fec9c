"""Binding and conversion of reduce_stl_points' arguments: messages and precedence."""

import pathlib

import pytest

from quarvex import reduce_stl_points

F = "reduce_stl_points()"


def reaches_body(*args, **kwargs):
    """Calls with a path that does not exist: whatever fails must not be argument handling."""
    with pytest.raises(Exception) as info:
        reduce_stl_points(*args, **kwargs)
    exc = info.value
    assert type(exc) not in (TypeError, OverflowError), exc
    assert not str(exc).startswith("argument "), exc


def type_error(*args, **kwargs):
    with pytest.raises(TypeError) as info:
        reduce_stl_points(*args, **kwargs)
    assert type(info.value) is TypeError
    return info.value


class Index:
    """An integer-like object that records whether it was asked for its value."""

    def __init__(self, value):
        self.value, self.calls = value, 0

    def __index__(self):
        self.calls += 1
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class PathLike:
    def __init__(self, result):
        self.result = result

    def __fspath__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def test_every_binding_form_gets_through(missing_path):
    reaches_body(missing_path, 8)
    reaches_body(file_path=missing_path, clusters=8)
    reaches_body(clusters=8, file_path=missing_path)
    reaches_body(missing_path, clusters=8)
    reaches_body(pathlib.Path(missing_path), 8)
    reaches_body(PathLike(missing_path), 8)


@pytest.mark.parametrize("clusters", [0, 1, True, False, 2**64 - 1, Index(5), Index(2**64 - 1)])
def test_every_count_from_zero_to_max_is_accepted(missing_path, clusters):
    reaches_body(missing_path, clusters)


def test_int_subclass_is_read_without_index(missing_path):
    class Count(int):
        def __index__(self):
            raise AssertionError("an int subclass is read directly")

    reaches_body(missing_path, Count(7))


def test_binding_errors_and_their_order():
    assert str(type_error("m.stl", 8, 1)) == f"{F} takes 2 positional arguments but 3 were given"
    # The positional count is checked before any keyword.
    exc = type_error("m.stl", 8, 1, 2, foo=1, file_path="x")
    assert str(exc) == f"{F} takes 2 positional arguments but 4 were given"

    assert str(type_error("m.stl", file_path="n.stl")) == (
        f"{F} got multiple values for argument 'file_path'"
    )
    assert str(type_error("m.stl", 8, clusters=3)) == (
        f"{F} got multiple values for argument 'clusters'"
    )
    # Keywords are checked in the order given, before the missing-argument check.
    assert str(type_error(foo=1)) == f"{F} got an unexpected keyword argument 'foo'"
    assert str(type_error("m.stl", 8, foo=1)) == f"{F} got an unexpected keyword argument 'foo'"
    assert str(type_error("m.stl", **{"foo": 1, "file_path": 2})) == (
        f"{F} got an unexpected keyword argument 'foo'"
    )
    assert str(type_error("m.stl", **{"file_path": 2, "foo": 1})) == (
        f"{F} got multiple values for argument 'file_path'"
    )
    # Keyword names are matched byte for byte.
    assert str(type_error("m.stl", Clusters=1)) == (
        f"{F} got an unexpected keyword argument 'Clusters'"
    )
    assert str(type_error("m.stl", **{"\ud800": 1})) == (
        f"{F} got an unexpected keyword argument '\ufffd\ufffd\ufffd'"
    )

    assert str(type_error()) == (
        f"{F} missing 2 required positional arguments: 'file_path' and 'clusters'"
    )
    assert str(type_error("m.stl")) == f"{F} missing 1 required positional argument: 'clusters'"
    assert str(type_error(clusters=3)) == f"{F} missing 1 required positional argument: 'file_path'"
    assert str(type_error(file_path="m.stl")) == (
        f"{F} missing 1 required positional argument: 'clusters'"
    )


def test_path_conversion_errors():
    bytes_message = "argument 'file_path': 'bytes' object cannot be converted to 'PyString'"
    assert str(type_error(b"m.stl", 8)) == bytes_message
    assert str(type_error(PathLike(b"m.stl"), 8)) == bytes_message
    assert str(type_error(bytearray(b"m.stl"), 8)).startswith("argument 'file_path': ")

    exc = type_error(5, 8)
    assert str(exc) == (
        "argument 'file_path': expected str, bytes or os.PathLike object, not int"
    )
    assert exc.__cause__ is None
    assert exc.__suppress_context__

    exc = type_error(PathLike(42), 8)
    assert str(exc).startswith("argument 'file_path': ")


def test_a_plain_type_error_is_prefixed_keeping_its_cause_but_not_itself():
    root = KeyError("root")
    inner = TypeError("bad path")
    inner.__cause__ = root
    exc = type_error(PathLike(inner), 8)
    assert exc is not inner
    assert str(exc) == "argument 'file_path': bad path"
    assert exc.__cause__ is root
    assert exc.__suppress_context__
    assert exc.__context__ is not inner


def test_other_errors_pass_unchanged():
    for raised in (ValueError("nope"), type("SubTypeError", (TypeError,), {})("sub"), KeyError(1)):
        with pytest.raises(BaseException) as info:
            reduce_stl_points(PathLike(raised), 8)
        assert info.value is raised

        with pytest.raises(BaseException) as info:
            reduce_stl_points("m.stl", Index(raised))
        assert info.value is raised


def test_an_unprintable_type_error_is_reported_and_named(monkeypatch):
    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    seen = []
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    exc = type_error(PathLike(TypeError(Unprintable())), 8)
    assert str(exc) == "argument 'file_path': <unprintable TypeError object>"
    assert len(seen) == 1 and type(seen[0].exc_value) is RuntimeError


def test_count_conversion_errors():
    assert str(type_error("m.stl", 2.0)) == (
        "argument 'clusters': 'float' object cannot be interpreted as an integer"
    )
    for bad in ("3", None, [3]):
        assert str(type_error("m.stl", bad)).startswith("argument 'clusters': ")
    assert str(type_error("m.stl", Index(TypeError("inner")))) == "argument 'clusters': inner"
    # __index__ must return an int; the interpreter's TypeError gets the prefix too.
    assert str(type_error("m.stl", Index(1.5))).startswith("argument 'clusters': ")

    for out_of_range in (-1, 2**64, -(2**70), Index(-1), Index(2**64)):
        with pytest.raises(OverflowError) as info:
            reduce_stl_points("m.stl", out_of_range)
        assert type(info.value) is OverflowError
        assert not str(info.value).startswith("argument")


def test_a_bad_path_is_reported_before_the_count_is_looked_at():
    count = Index(8)
    assert str(type_error(5, count)).startswith("argument 'file_path': ")
    assert count.calls == 0
    assert str(type_error(5, "x")).startswith("argument 'file_path': ")
    with pytest.raises(ValueError):
        reduce_stl_points(PathLike(ValueError()), count)
    assert count.calls == 0


def test_failing_calls_leak_nothing(missing_path):
    import gc
    import tracemalloc

    def fresh_type_error():
        raise TypeError("t") from KeyError("k")

    calls = [
        lambda: reduce_stl_points(missing_path, Index(3)),
        lambda: reduce_stl_points(PathLike(None), 1),
        lambda: reduce_stl_points(PathLike(ValueError("v")), 1),
        lambda: reduce_stl_points(missing_path, -1),
        lambda: reduce_stl_points(missing_path, 2.0),
        lambda: reduce_stl_points(b"x", 1),
        lambda: reduce_stl_points(missing_path, 1, foo=2),
        lambda: reduce_stl_points(missing_path, 1, file_path=2),
        lambda: reduce_stl_points(file_path=pathlib.Path(missing_path), clusters=2**64 - 1),
    ]

    def round_of_calls():
        for call in calls:
            try:
                call()
            except BaseException:  # noqa: BLE001
                pass

    class Raising:
        def __fspath__(self):
            fresh_type_error()

    calls.append(lambda: reduce_stl_points(Raising(), 1))
    tracemalloc.start()
    try:
        for _ in range(200):
            round_of_calls()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(3000):
            round_of_calls()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024, grown
