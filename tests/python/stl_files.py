"""Byte-level writers for STL test files, binary and ASCII, valid or deliberately broken."""

import struct

PREFIX = "Ошибка чтения STL-файла: "


def binary_stl(records, count=None, header=b"quarvex test file"):
    """Binary STL bytes. `records` holds 12 floats each (normal, then three vertices);
    `count` is the declared number of records (default: how many there are)."""
    out = bytearray(header[:80].ljust(80, b"\0"))
    out += struct.pack("<I", len(records) if count is None else count)
    for r in records:
        out += struct.pack("<12fH", *r, 0)
    return bytes(out)


def binary_triangle(v1, v2, v3, normal=(0.0, 0.0, 1.0)):
    """One binary record's 12 floats."""
    return (*normal, *v1, *v2, *v3)


def facet_text(v1, v2, v3, normal=(0, 0, 1), indent="  "):
    """One ASCII facet; coordinates are written with str(), so strings pass unchanged."""
    def words(values):
        return " ".join(str(x) for x in values)

    return (
        f"{indent}facet normal {words(normal)}\n"
        f"{indent}{indent}outer loop\n"
        + "".join(f"{indent * 3}vertex {words(v)}\n" for v in (v1, v2, v3))
        + f"{indent}{indent}endloop\n{indent}endfacet\n"
    )


def ascii_stl(facets, name="test"):
    """ASCII STL text from (v1, v2, v3) or (v1, v2, v3, normal) tuples."""
    return f"solid {name}\n" + "".join(facet_text(*f) for f in facets) + f"endsolid {name}\n"


def write(directory, name, data):
    """Writes `data` (bytes, or text encoded as UTF-8) to directory/name; returns the path."""
    path = directory / name
    path.write_bytes(data.encode("utf-8") if isinstance(data, str) else data)
    return str(path)
