#!/usr/bin/env python3
"""Writes the seed corpus of every fuzzing harness: small valid and malformed STL files.

    make_seeds.py OUTDIR    ->  OUTDIR/<harness>/ for every harness

Only the standard library is used. The stl_ascii_fuzzer seeds lack the first line (the
harness puts "solid fuzz" in front); the reduce_fuzzer seeds start with three bytes that
choose the point count.
"""

import math
import os
import struct
import sys

INF, NAN = math.inf, math.nan


def binary(tris, count=None, header=b"fuzz seed"):
    out = bytearray(header[:80].ljust(80, b"\0"))
    out += struct.pack("<I", len(tris) if count is None else count)
    for normal, *vs in tris:
        out += struct.pack("<12fH", *normal, *(c for v in vs for c in v), 0)
    return bytes(out)


def facet(normal, *vs, indent="  ", sep=" ", eol="\n"):
    words = lambda xs: sep.join(str(x) for x in xs)  # noqa: E731
    return (f"{indent}facet{sep}normal{sep}{words(normal)}{eol}{indent}outer{sep}loop{eol}"
            + "".join(f"{indent}vertex{sep}{words(v)}{eol}" for v in vs)
            + f"{indent}endloop{eol}{indent}endfacet{eol}")


def ascii_body(tris, **kw):
    return "".join(facet(*t, **kw) for t in tris) + "endsolid fuzz\n"


def sphere(rings, segments):
    pts = []
    for i in range(rings + 1):
        t = math.pi * i / rings
        pts.append([(math.sin(t) * math.cos(2 * math.pi * j / segments),
                     math.sin(t) * math.sin(2 * math.pi * j / segments), math.cos(t))
                    for j in range(segments)])
    tris = []
    for i in range(rings):
        for j in range(segments):
            a, b = pts[i][j], pts[i][(j + 1) % segments]
            c, d = pts[i + 1][j], pts[i + 1][(j + 1) % segments]
            tris.append((a, a, c, b))  # the first corner doubles as a rough normal
            tris.append((d, b, c, d))
    return tris


ONE = [((0, 0, 1), (0, 0, 0), (1, 0, 0), (0, 1, 0))]
TWO = ONE + [((0, 0, -1), (1, 0, 0), (0, 1, 0), (1, 1, 0))]
ODD = [((NAN, 0, INF), (NAN, 1, 2), (-INF, 0, 0), (0.0, -0.0, 1e-45)),
       ((1e38, 1e38, 1e38), (3e38, -3e38, 3e38), (1, 1, 1), (-0.0, 0.0, 0.0))]
SAME = [((0, 0, 1), (5, 5, 5), (5, 5, 5), (5, 5, 5))] * 3
FLAT = [((0, 0, 1), (0, 0, 0), (x, 1, 0), (x, 2, 0)) for x in range(10)]
BALL = sphere(4, 8)
MANY = sphere(8, 11)  # 176 records: a record crosses the 8192-byte buffer boundary


def read_seeds():
    body = ascii_body(TWO)
    long_name = "solid " + "n" * 9000 + "\n"
    return {
        "empty": b"",
        "header-only": b"\0" * 83,
        "zero-count": binary([]),
        "one": binary(ONE),
        "two-extra": binary(TWO, count=1) + b"trailing",
        "count-too-big": binary(ONE, count=5),
        "huge-count": binary(ONE, count=0xFFFFFFFF),
        "short-record": binary(TWO)[:-1],
        "odd-floats": binary(ODD),
        "crosses-buffer": binary(MANY),
        "solid-header-latin1": binary(ONE, header=b"solid caf\xe9\n"),
        "solid-header-no-newline": binary(ONE, header=b"solid no newline here"),
        "ascii": ("solid a\n" + body).encode(),
        "ascii-crlf": ("solid a\r\n" + ascii_body(TWO, eol="\r\n")).encode(),
        "ascii-tabs-blank-lines": ("solid a\n\n" + ascii_body(ONE, indent="\t", sep=" \t ")).encode(),
        "ascii-no-endsolid": ("solid a\n" + facet(*ONE[0])).encode(),
        "ascii-long-name": (long_name + body).encode(),
        "solid-no-blank": ("solid\n" + body).encode(),
        "bom": ("\ufeffsolid a\n" + body).encode(),
        "capitals": ("SOLID a\n" + body).encode(),
        "latin1-name": b"solid caf\xe9\n" + body.encode(),
    }


def ascii_seeds():
    return {
        "empty": b"",
        "endsolid": b"endsolid\n",
        "one": ascii_body(ONE).encode(),
        "ball": ascii_body(BALL).encode(),
        "crlf": ascii_body(TWO, eol="\r\n").encode(),
        "spacing": ascii_body(ONE, indent="\t \t", sep="\u3000\u0085 ").encode(),
        "numbers": ascii_body([((0, 0, 1), ("+3.", ".25", "1e-3"), ("1E+04", "00.5", "-0"),
                                 ("1e-50", "340282356779733661637539395458142568447", "7"))]).encode(),
        "bad-number": facet((0, 0, 1), (0, 0, "1,5"), (1, 0, 0), (0, 1, 0)).encode(),
        "nan": facet((0, 0, 1), ("nan", 0, 0), (1, 0, 0), (0, 1, 0)).encode(),
        "inf": facet(("-Infinity", 0, 1), (0, 0, 0), (1, 0, 0), (0, 1, 0)).encode(),
        "overflow": facet((0, 0, 1), ("1e39", 0, 0), (1, 0, 0), (0, 1, 0)).encode(),
        "header-words": b"facet normal 0 0 1 outer loop\n",
        "outer-split": b"facet normal 0 0 1\nouter\nloop\n",
        "vertex-count": b"facet normal 0 0 1\nouter loop\nvertex 1 2\n",
        "misspelt": b"facet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nendlop\n",
        "escapes": "facet \"q\\\x00\x01\t\u0301\ue000\u00a0x\ud7ff\U0010ffff normal 0 0 1\n".encode(
            "utf-8", "surrogatepass"),
        "invalid-utf8": b"facet normal 0 0 1\n\xff\xfe\n",
        "long-line": ("facet normal 0 0 " + "1" * 12000 + "\n").encode(),
        "after-endsolid": ascii_body(ONE).encode() + b"\xff\x00solid again\n",
    }


def float_seeds():
    words = ["0", "-0", "+3.", ".25", "1e-3", "1E+04", "00.5", "1.234567e+01", "16777217", "1e-45",
             "7.0e-46", "3.4028235e38", "3.4028236e38", "1e39", "Infinity", "-nan", "1,5", "0x10",
             "1e", "-", "1.2.3", "0." + "0" * 60 + "1e61", "9" * 40, "1.5\u00a0x", "2\u3000", "7\n"]
    return {f"word-{i}": w.encode() for i, w in enumerate(words)}


def number_words_seeds():
    # Words at the edges of each way a number is read: the short and the double path, their
    # limits in digits and scale, overflow from 8 to 40 digits, and words that are no number.
    lines = ["1 2 3 4 5 6 7 8 9 10 11 12",
             "9.223372036854777233e+38 -7.3688899037562705E+38 3.402823567797336617e38",
             "9.223372036854777233e+38", "1 -7.3688899037562705E+38 2.5",
             "3.4028235e38 3.4028236e38 1e39 -1e39 340282356779733661637539395458142568448",
             "1.17549435e-38 1.4e-45 7.0e-46 1e-50 -0 0.000000000000000000000001",
             "%s %s 16777217 9007199254740993e-10 8886849828153040e22" % ("9" * 19, "1" * 20),
             "inf -Infinity nan +NaN 1,5 0x10 1e 1.2.3 \u00a0 \udcff",
             "1.000000000000000000e+00 -2.500000000000000000e-01 3.14159265358979311600e+00"]
    return {f"words-{i}": line.encode("utf-8", "surrogateescape") for i, line in enumerate(lines)}


def reduce_seeds():
    def with_count(n, data):
        return struct.pack("<I", n if n < 1024 else 0x800000 | n)[:3] + data

    return {
        "ball-8": with_count(8, binary(BALL)),
        "ball-1000": with_count(1000, binary(BALL)),
        "ball-zero": with_count(0, binary(BALL)),
        "ball-ascii-27": with_count(27, ("solid b\n" + ascii_body(BALL)).encode()),
        "odd-floats": with_count(64, binary(ODD)),
        "same-point": with_count(5, binary(SAME)),
        "flat": with_count(100, binary(FLAT)),
        "empty-mesh": with_count(10, binary([])),
        "max": with_count(100000, binary(MANY)),
    }


def main():
    out = sys.argv[1]
    for harness, seeds in (("stl_read_fuzzer", read_seeds()), ("stl_ascii_fuzzer", ascii_seeds()),
                           ("reduce_fuzzer", reduce_seeds()), ("float_syntax_fuzzer", float_seeds()),
                           ("number_words_fuzzer", number_words_seeds())):
        folder = os.path.join(out, harness)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
