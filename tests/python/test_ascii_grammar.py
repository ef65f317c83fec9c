"""The ASCII STL grammar as a caller sees it: what is accepted and every failure text."""

import struct

import pytest

import quarvex
from stl_files import PREFIX, ascii_stl, facet_text, write

HEAD = "solid s\n"
FACET_HEAD = HEAD + "facet normal 0 0 1\n"
LOOP = FACET_HEAD + "outer loop\n"
THREE = LOOP + "vertex 0 0 0\nvertex 1 0 0\nvertex 1 1 0\n"
TRIANGLE = {(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (1.0, 1.0, 0.0)}


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def points(tmp_path, text, clusters=8):
    data = text.encode("utf-8") if isinstance(text, str) else text
    return quarvex.reduce_stl_points(write(tmp_path, "m.stl", data), clusters)


def grammar_error(tmp_path, text):
    data = text.encode("utf-8") if isinstance(text, str) else text
    with pytest.raises(OSError) as info:
        quarvex.reduce_stl_points(write(tmp_path, "bad.stl", data), 8)
    assert type(info.value) is OSError and info.value.errno is None
    message = str(info.value)
    assert message.startswith(PREFIX)
    return message[len(PREFIX):]


def test_spacing_blank_lines_and_line_ends_do_not_matter(tmp_path):
    messy = (
        "solid  name with words\r\n\r\n \t \n\tfacet   normal\t0  0\t\t1 \r\n\n"
        "\u3000outer\u00a0loop\r\n   vertex 0 0 0\r\n\n vertex 1.0 0e0 -0.0e-3\r\n"
        " vertex +1. 1 00.0\r\n endloop\r\n\n   endfacet  \r\n\n endsolid"  # no final line end
    )
    positions, normals = points(tmp_path, messy)
    assert {tuple(p) for p in positions} <= TRIANGLE | {(1.0, 0.0, -0.0)}
    assert all(n == [0.0, 0.0, 1.0] for n in normals)


def test_number_forms_round_to_nearest_f32(tmp_path):
    words = ["1", "-2.5", "+3.", ".25", "1e-3", "1E+04", "00.5", "0.1", "1e-50", "123456789"]
    facets = [((w, 0, 0), (0, w, 0), (0, 0, w)) for w in words]
    positions, _ = points(tmp_path, ascii_stl(facets), 1000)
    seen = {c for p in positions for c in p}
    assert seen == {f32(float(w)) for w in words} | {0.0}


def test_endsolid_ends_the_solid_whatever_follows(tmp_path):
    assert points(tmp_path, "solid a\nendsolid\n", 0) == ([], [])
    tail = b"endsolid another name\nsolid b\n\xff\xfe\x00 binary junk"
    data = (HEAD + facet_text((0, 0, 0), (1, 0, 0), (1, 1, 0))).encode() + tail
    positions, _ = points(tmp_path, data)
    assert {tuple(p) for p in positions} <= TRIANGLE


@pytest.mark.parametrize(
    "text, message",
    [
        (HEAD, "EOF while expecting facet or endsolid."),
        (HEAD + facet_text((0, 0, 0), (1, 0, 0), (1, 1, 0)), "EOF while expecting facet or endsolid."),
        (HEAD + "facet normal 0 0 1 outer loop\n",
         'invalid facet header: ["facet", "normal", "0", "0", "1", "outer", "loop"]'),
        (HEAD + "FACET NORMAL 0 0 1\n", 'invalid facet header: ["FACET", "NORMAL", "0", "0", "1"]'),
        (HEAD + "facet normal 0 0 1 1\n", 'invalid facet header: ["facet", "normal", "0", "0", "1", "1"]'),
        (HEAD + "facet normal 0 0\n", 'invalid facet header: ["facet", "normal", "0", "0"]'),
        (HEAD + 'facet normal "it\'s\\ \x01 e\u0301 \u00e9\n',
         'invalid facet header: ["facet", "normal", "\\"it\'s\\\\", "\\u{1}", "e\\u{301}", "\u00e9"]'),
        (FACET_HEAD, 'EOF while expecting ["outer", "loop"]'),
        (FACET_HEAD + "outer\nloop\n", 'expected ["outer", "loop"], got ["outer"]'),
        (FACET_HEAD + "vertex 1 2 3\n", 'expected ["outer", "loop"], got ["vertex", "1", "2", "3"]'),
        (LOOP, "EOF while expecting vertex"),
        (LOOP + "vertex 0 0 0\n", "EOF while expecting vertex"),
        (LOOP + "vertex 1 2\n", 'vertex f32 f32 f32, got ["vertex", "1", "2"]'),
        (LOOP + "vertex 1 2 3 4\n", 'vertex f32 f32 f32, got ["vertex", "1", "2", "3", "4"]'),
        (LOOP + "Vertex 1 2 3\n", 'vertex f32 f32 f32, got ["Vertex", "1", "2", "3"]'),
        (THREE, 'EOF while expecting ["endloop"]'),
        (THREE + "endlop\n", 'expected ["endloop"], got ["endlop"]'),
        (THREE + "endloop\n", 'EOF while expecting ["endfacet"]'),
        (THREE + "endloop\nendfacet extra\n", 'expected ["endfacet"], got ["endfacet", "extra"]'),
    ],
)
def test_structure_failures(tmp_path, text, message):
    assert grammar_error(tmp_path, text) == message


@pytest.mark.parametrize("word", ["1,5", "0x10", "1e", "1.2.3", "-", "+", ".", "e5", "1e+", "infin", "1f", "--1"])
def test_invalid_numbers(tmp_path, word):
    assert grammar_error(tmp_path, LOOP + f"vertex 0 {word} 0\n") == "invalid float literal"
    assert grammar_error(tmp_path, HEAD + f"facet normal {word} 0 0\n") == "invalid float literal"


@pytest.mark.parametrize(
    "word, shown",
    [("inf", "inf which is Infinite"), ("-Infinity", "-inf which is Infinite"),
     ("+INF", "inf which is Infinite"), ("NaN", "NaN which is Nan"), ("-nan", "NaN which is Nan"),
     ("1e39", "inf which is Infinite"), ("-3.4028236e38", "-inf which is Infinite")],
)
def test_non_finite_numbers(tmp_path, word, shown):
    assert grammar_error(tmp_path, LOOP + f"vertex {word} 0 0\n") == "expected finite f32, got " + shown


def test_first_failing_number_decides(tmp_path):
    assert grammar_error(tmp_path, LOOP + "vertex 0 nan x\n") == "expected finite f32, got NaN which is Nan"
    assert grammar_error(tmp_path, LOOP + "vertex 0 x nan\n") == "invalid float literal"


def test_invalid_utf8_lines(tmp_path):
    utf8 = "stream did not contain valid UTF-8"
    assert grammar_error(tmp_path, FACET_HEAD.encode() + b"outer loop \xff\n") == utf8
    # The bad line is reported when it is reached, even where a keyword was due.
    assert grammar_error(tmp_path, HEAD.encode() + b"\xc3\xa9\xc3\n") == utf8
    # A grammar failure on an earlier line comes first.
    assert grammar_error(tmp_path, HEAD.encode() + b"bad\n\xff\n") == 'invalid facet header: ["bad"]'
