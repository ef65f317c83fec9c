#!/usr/bin/env python3
"""Write a few small sample meshes for the examples and the README's demo.

    python tools/make_samples.py OUTDIR

Writes, into OUTDIR (created if needed):

    torus.stl        binary, a ring torus            4096 triangles
    torus-ascii.stl  ASCII, the same torus           4096 triangles
    knot.stl         binary, a trefoil-knot tube     3840 triangles
    pawn-ascii.stl   ASCII, a chess pawn             5040 triangles

Every mesh is closed and consistently wound, its facet normals point outwards, and
neighbouring triangles share their corners bit for bit, so the corners merge into one
vertex each when the file is read. The output is deterministic; only the standard
library is needed.
"""

from __future__ import annotations

import argparse
import math
import struct
import sys
from pathlib import Path

Vec = tuple[float, float, float]
Mesh = tuple[list[Vec], list[tuple[int, int, int]]]


def to_f32(value: float) -> float:
    """The nearest single-precision value, as a Python float; never negative zero."""
    return struct.unpack("<f", struct.pack("<f", value))[0] + 0.0


def f32_vec(x: float, y: float, z: float) -> Vec:
    return (to_f32(x), to_f32(y), to_f32(z))


def sub(a: Vec, b: Vec) -> Vec:
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def cross(a: Vec, b: Vec) -> Vec:
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def normalised(a: Vec) -> Vec:
    length = math.sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2])
    return (a[0] / length, a[1] / length, a[2] / length)


def grid_faces(rows: int, cols: int) -> list[tuple[int, int, int]]:
    """Two triangles per cell of a grid that wraps around in both directions.

    Vertex (i, j) has index i * cols + j; with i running along the surface's first
    parameter and j along the second, the winding follows d/du x d/dv.
    """
    faces = []
    for i in range(rows):
        for j in range(cols):
            a = i * cols + j
            b = ((i + 1) % rows) * cols + j
            c = ((i + 1) % rows) * cols + (j + 1) % cols
            d = i * cols + (j + 1) % cols
            faces.append((a, b, c))
            faces.append((a, c, d))
    return faces


def torus(major: float = 1.0, minor: float = 0.35, rings: int = 64, sides: int = 32) -> Mesh:
    vertices = []
    for i in range(rings):
        u = 2.0 * math.pi * i / rings
        for j in range(sides):
            v = 2.0 * math.pi * j / sides
            w = major + minor * math.cos(v)
            vertices.append(f32_vec(w * math.cos(u), w * math.sin(u), minor * math.sin(v)))
    return vertices, grid_faces(rings, sides)


def trefoil(radius: float = 0.45, steps: int = 160, sides: int = 12) -> Mesh:
    """A tube around the trefoil knot (sin t + 2 sin 2t, cos t - 2 cos 2t, -sin 3t)."""
    vertices = []
    for i in range(steps):
        t = 2.0 * math.pi * i / steps
        centre = (math.sin(t) + 2 * math.sin(2 * t), math.cos(t) - 2 * math.cos(2 * t), -math.sin(3 * t))
        tangent = normalised(
            (math.cos(t) + 4 * math.cos(2 * t), -math.sin(t) + 4 * math.sin(2 * t), -3 * math.cos(3 * t))
        )
        # The tangent is never vertical on this curve, so the frame is defined everywhere and
        # is a function of t alone: the tube closes without a seam.
        side = normalised(cross(tangent, (0.0, 0.0, 1.0)))
        up = cross(side, tangent)
        for j in range(sides):
            a = 2.0 * math.pi * j / sides
            # Ordered so that d/dt x d/da points away from the curve.
            ca, sa = math.cos(a), math.sin(a)
            offset = tuple(radius * (ca * up[k] - sa * side[k]) for k in range(3))
            vertices.append(f32_vec(*(centre[k] + offset[k] for k in range(3))))
    return vertices, grid_faces(steps, sides)


def lathe(profile: list[tuple[float, float]], samples: int, segments: int) -> Mesh:
    """A closed surface of revolution about the z axis.

    `profile` is a polyline of (height, radius) from the bottom pole (radius 0) to the top
    pole (radius 0); it is resampled to `samples` points evenly spaced along its length.
    """
    lengths = [0.0]
    for (h0, r0), (h1, r1) in zip(profile, profile[1:]):
        lengths.append(lengths[-1] + math.hypot(h1 - h0, r1 - r0))
    rings = []
    for k in range(samples):
        s = lengths[-1] * k / (samples - 1)
        i = max(i for i in range(len(lengths) - 1) if lengths[i] <= s or i == 0)
        f = (s - lengths[i]) / (lengths[i + 1] - lengths[i])
        (h0, r0), (h1, r1) = profile[i], profile[i + 1]
        rings.append((h0 + f * (h1 - h0), r0 + f * (r1 - r0)))

    bottom, top = rings[0], rings[-1]
    vertices = [f32_vec(0.0, 0.0, bottom[0])]
    for h, r in rings[1:-1]:
        for j in range(segments):
            u = 2.0 * math.pi * j / segments
            vertices.append(f32_vec(r * math.cos(u), r * math.sin(u), h))
    vertices.append(f32_vec(0.0, 0.0, top[0]))

    def ring(k: int, j: int) -> int:  # k counts the rings between the poles from 0
        return 1 + k * segments + j % segments

    last = len(rings) - 3
    faces = []
    for j in range(segments):
        faces.append((0, ring(0, j + 1), ring(0, j)))
        for k in range(last):
            a, b, c, d = ring(k, j), ring(k, j + 1), ring(k + 1, j + 1), ring(k + 1, j)
            faces += [(a, b, c), (a, c, d)]
        faces.append((len(vertices) - 1, ring(last, j), ring(last, j + 1)))
    return vertices, faces


def pawn() -> Mesh:
    """A chess pawn: base, tapering body, collar and round head."""
    profile = [(0.0, 0.0), (0.0, 0.9), (0.12, 0.9), (0.2, 0.8), (0.3, 0.78), (0.38, 0.62),
               (0.45, 0.55), (1.3, 0.32), (1.4, 0.3), (1.45, 0.5), (1.55, 0.52), (1.62, 0.32),
               (1.7, 0.3)]
    profile += [(2.05 - 0.42 * math.cos(a), 0.42 * math.sin(a))
                for a in (0.8 + (math.pi - 0.8) * i / 12 for i in range(13))]
    profile[-1] = (profile[-1][0], 0.0)
    return lathe(profile, samples=65, segments=40)


def facets(mesh: Mesh):
    """(normal, a, b, c) per triangle; the normal follows the winding and is single precision."""
    vertices, faces = mesh
    for i, j, k in faces:
        a, b, c = vertices[i], vertices[j], vertices[k]
        yield f32_vec(*normalised(cross(sub(b, a), sub(c, a)))), a, b, c


def write_binary(path: Path, mesh: Mesh, name: str) -> None:
    header = f"quarvex sample mesh: {name}".encode("ascii").ljust(80, b" ")
    chunks = [header, struct.pack("<I", len(mesh[1]))]
    for normal, a, b, c in facets(mesh):
        chunks.append(struct.pack("<12fH", *normal, *a, *b, *c, 0))
    path.write_bytes(b"".join(chunks))


def write_ascii(path: Path, mesh: Mesh, name: str) -> None:
    # Nine significant digits bring every single-precision value back exactly.
    def text(v: Vec) -> str:
        return " ".join(f"{x:.9g}" for x in v)

    lines = [f"solid {name}"]
    for normal, a, b, c in facets(mesh):
        lines += [
            f"  facet normal {text(normal)}",
            "    outer loop",
            f"      vertex {text(a)}",
            f"      vertex {text(b)}",
            f"      vertex {text(c)}",
            "    endloop",
            "  endfacet",
        ]
    lines.append(f"endsolid {name}")
    path.write_text("\n".join(lines) + "\n", encoding="ascii")


SAMPLES = [
    ("torus.stl", torus, write_binary),
    ("torus-ascii.stl", torus, write_ascii),
    ("knot.stl", trefoil, write_binary),
    ("pawn-ascii.stl", pawn, write_ascii),
]


def make_samples(outdir: Path) -> list[Path]:
    outdir.mkdir(parents=True, exist_ok=True)
    # Generated data stays out of version control when written inside the repository.
    repository = Path(__file__).resolve().parent.parent
    if outdir.resolve().is_relative_to(repository) and not (outdir / ".gitignore").exists():
        (outdir / ".gitignore").write_text("*\n")
    written = []
    for file_name, shape, write in SAMPLES:
        path = outdir / file_name
        write(path, shape(), file_name.removesuffix(".stl"))
        written.append(path)
    return written


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Write small sample STL meshes (ASCII and binary).")
    parser.add_argument("outdir", type=Path, help="folder to write the meshes into")
    args = parser.parse_args(argv)
    for path in make_samples(args.outdir):
        print(f"{path}  ({path.stat().st_size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
