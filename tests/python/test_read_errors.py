"""Opening, format detection and binary reading, as a caller sees them."""

import errno
import os

import pytest

import quarvex
from stl_files import PREFIX, ascii_stl, binary_stl, binary_triangle, write

TRIANGLE = binary_triangle((0, 0, 0), (1, 0, 0), (0, 1, 0))
SHORT = "failed to fill whole buffer"


def read_error(path):
    """The reader's own text of the OSError that the call raises."""
    with pytest.raises(OSError) as info:
        quarvex.reduce_stl_points(path, 8)
    exc = info.value
    assert type(exc) is OSError
    assert exc.errno is None
    assert str(exc).startswith(PREFIX)
    return str(exc)[len(PREFIX):]


def test_opening_failures_carry_the_os_description(tmp_path):
    assert read_error(str(tmp_path / "absent.stl")) == "No such file or directory (os error 2)"
    assert read_error(str(tmp_path)) == "Is a directory (os error 21)"
    plain = write(tmp_path, "plain", b"x")
    assert read_error(plain + "/inside.stl") == "Not a directory (os error 20)"
    assert read_error(str(tmp_path / "a\0b.stl")) == "file name contained an unexpected NUL byte"
    assert read_error("\0") == "file name contained an unexpected NUL byte"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files regardless of permissions")
def test_unreadable_file(tmp_path):
    path = write(tmp_path, "locked.stl", binary_stl([TRIANGLE]))
    os.chmod(path, 0)
    assert read_error(path) == f"{os.strerror(errno.EACCES)} (os error {errno.EACCES})"


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"\0" * 79,
        b"\0" * 83,
        binary_stl([TRIANGLE], count=2),
        binary_stl([TRIANGLE, TRIANGLE])[:-1],  # the last record short by one byte
        binary_stl([TRIANGLE])[:84 + 48],  # within the attribute word
        binary_stl([TRIANGLE], count=0xFFFFFFFF),  # a huge count costs nothing up front
    ],
    ids=["empty", "in-header", "in-count", "missing-record", "short-record", "no-attribute", "huge-count"],
)
def test_short_binary_files(tmp_path, data):
    assert read_error(write(tmp_path, "short.stl", data)) == SHORT


def test_binary_counts_are_obeyed(tmp_path):
    empty = write(tmp_path, "zero.stl", binary_stl([]))
    assert os.path.getsize(empty) == 84
    assert quarvex.reduce_stl_points(empty, 0) == ([], [])
    # Records past the declared count are never looked at.
    far = binary_triangle((100, 100, 100), (200, 100, 100), (100, 200, 100))
    path = write(tmp_path, "extra.stl", binary_stl([TRIANGLE, far], count=1) + b"trailing")
    positions, normals = quarvex.reduce_stl_points(path, 8)
    assert len(positions) == len(normals) == 8
    assert {tuple(p) for p in positions} <= {(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0)}
    assert all(n == [0.0, 0.0, 1.0] for n in normals)


def test_solid_header_sends_a_binary_file_by_its_first_line(tmp_path):
    # Not UTF-8 before the first line end: binary, whatever the header says.
    latin = write(tmp_path, "latin.stl", binary_stl([TRIANGLE], header=b"solid caf\xe9\n"))
    assert len(quarvex.reduce_stl_points(latin, 4)[0]) == 4
    # Valid UTF-8 and no line end at all: the whole file is taken as text, and the text
    # reader's failure stands since the file is not of the binary size for its count.
    text = binary_stl([], header=b"solid exported by some tool") + b"\0"
    assert read_error(write(tmp_path, "solid.stl", text)) == "EOF while expecting facet or endsolid."


@pytest.mark.parametrize("count", [0, 9, 10, 11])
def test_binary_file_with_a_text_header(tmp_path, count):
    # With no records or 10 of them (the count's low byte 0x0A ends the first line) the first
    # line is valid UTF-8: the text reading fails, and the file, exactly of the binary size
    # for its count, is read as binary after all.
    records = [binary_triangle((i, 0, 0), (i, 1, 0), (i, 0, 1)) for i in range(count)]
    path = write(tmp_path, "cad.stl", binary_stl(records, header=b"solid exported by a CAD tool"))
    positions, _ = quarvex.reduce_stl_points(path, 10000)
    assert {tuple(p) for p in positions} == {(i, y, z) for i in range(count) for y, z in ((0, 0), (1, 0), (0, 1))}


@pytest.mark.parametrize(
    "first_line",
    [b"solid\n", b"solid\r\n", b"SOLID x\n", b" solid x\n", b"\tsolid x\n", b"\xef\xbb\xbfsolid x\n",
     b"solid caf\xe9\n"],
    ids=["no-blank", "crlf", "capitals", "blank-before", "tab-before", "bom", "latin-1"],
)
def test_text_that_does_not_start_right_is_read_as_binary(tmp_path, first_line):
    # Read as binary, four bytes of text become a count of millions of records.
    data = first_line + ascii_stl([((0, 0, 0), (1, 0, 0), (0, 1, 0))]).encode().split(b"\n", 1)[1]
    assert read_error(write(tmp_path, "text.stl", data)) == SHORT
