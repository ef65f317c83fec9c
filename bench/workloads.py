"""Generates the benchmark meshes into bench/work/.

Every mesh is a closed, bumpy torus tessellated on a regular (u, v) grid: each grid
vertex is computed once in float32 and shared by the six triangles around it, so a
reader that merges vertices by bit pattern finds exactly u_steps * v_steps vertices.
Files are written once and reused; the file name carries the grid so a changed size
never reuses a stale file.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np

# QUARVEX_BENCH_WORK moves the meshes (about 2.2 GB with the size sweep) elsewhere.
WORK_DIR = Path(os.environ.get("QUARVEX_BENCH_WORK") or Path(__file__).resolve().parent / "work")

# Torus: ring radius 10, tube radius 3 with a ripple, so normals vary everywhere and
# the bounding box is not a cube.
RING_RADIUS = 10.0
TUBE_RADIUS = 3.0
RIPPLE = 0.4


@dataclass(frozen=True)
class Workload:
    name: str
    kind: str  # "binary", "ascii", or "soup" (binary triangles that share no vertex)
    u_steps: int
    v_steps: int
    shuffled: bool = False  # triangles in a fixed random order instead of strip order
    number_format: str = "%e"  # how an ASCII file writes its numbers

    @property
    def triangles(self) -> int:
        return 2 * self.u_steps * self.v_steps

    @property
    def vertices(self) -> int:
        return 3 * self.triangles if self.kind == "soup" else self.u_steps * self.v_steps

    @property
    def path(self) -> Path:
        if self.kind == "soup":
            return WORK_DIR / f"soup_{self.triangles}.stl"
        ext = "stl" if self.kind == "binary" else "ascii.stl"
        if self.number_format != "%e":
            ext = self.number_format.strip("%").replace(".", "") + "." + ext
        order = ".shuffled" if self.shuffled else ""
        return WORK_DIR / f"torus_{self.u_steps}x{self.v_steps}{order}.{ext}"


# Size sweep, exact triangle counts 125k .. 2M; the largest is also the main binary case.
SWEEP = [
    Workload("bin-125k", "binary", 500, 125),
    Workload("bin-250k", "binary", 1000, 125),
    Workload("bin-500k", "binary", 1000, 250),
    Workload("bin-1M", "binary", 2000, 250),
    Workload("bin-2M", "binary", 2000, 500),
]
BINARY_MAIN = SWEEP[-1]
# The same triangles as BINARY_MAIN in a fixed random order, as scanners and mesh-processing
# tools write them: no triangle shares a vertex with the one before it.
BINARY_SHUFFLED = Workload("bin-2M-shuffled", "binary", 2000, 500, shuffled=True)
ASCII_MAIN = Workload("ascii-300k", "ascii", 1000, 150)
# The same facets with every float written back exactly (9 significant digits), as tools that
# keep full precision write them.
ASCII_EXACT = Workload("ascii-300k-9g", "ascii", 1000, 150, number_format="%.9g")
ALL = SWEEP + [BINARY_SHUFFLED, ASCII_MAIN, ASCII_EXACT]
# The size sweep past the last-level cache, in random triangle order (run.py's default; --small
# leaves it out): 2M, 5M, 10M and 20M triangles, the last a 1 GB file.
BIG_SWEEP = [
    BINARY_SHUFFLED,
    Workload("bin-5M-shuffled", "binary", 2500, 1000, shuffled=True),
    Workload("bin-10M-shuffled", "binary", 5000, 1000, shuffled=True),
    Workload("bin-20M-shuffled", "binary", 5000, 2000, shuffled=True),
]
BIG_MAIN = BIG_SWEEP[-1]
# Memory only: 1M triangles of which no two share a vertex (3M vertices, six times what a
# closed surface of as many triangles has), read from the file and through a pipe.
SOUP = Workload("soup-1M", "soup", 1000, 500)
SHUFFLE_SEED = 16


def by_name(name: str) -> Workload:
    for w in ALL + BIG_SWEEP + [SOUP]:
        if w.name == name:
            return w
    raise KeyError(name)


def torus_mesh(u_steps: int, v_steps: int) -> tuple[np.ndarray, np.ndarray]:
    """Returns (vertices float32 (V,3), faces int64 (F,3)) of the bumpy torus."""
    u = np.arange(u_steps, dtype=np.float64) * (2.0 * np.pi / u_steps)
    v = np.arange(v_steps, dtype=np.float64) * (2.0 * np.pi / v_steps)
    uu, vv = np.meshgrid(u, v, indexing="ij")
    tube = TUBE_RADIUS + RIPPLE * np.sin(7.0 * uu) * np.cos(5.0 * vv)
    ring = RING_RADIUS + tube * np.cos(vv)
    verts = np.empty((u_steps, v_steps, 3), dtype=np.float32)
    verts[..., 0] = ring * np.cos(uu)
    verts[..., 1] = ring * np.sin(uu)
    verts[..., 2] = tube * np.sin(vv)

    i = np.arange(u_steps)
    j = np.arange(v_steps)
    ii, jj = np.meshgrid(i, j, indexing="ij")
    a = ii * v_steps + jj
    b = ((ii + 1) % u_steps) * v_steps + jj
    c = ((ii + 1) % u_steps) * v_steps + (jj + 1) % v_steps
    d = ii * v_steps + (jj + 1) % v_steps
    faces = np.empty((u_steps * v_steps, 2, 3), dtype=np.int64)
    faces[:, 0] = np.stack([a.ravel(), b.ravel(), c.ravel()], axis=1)
    faces[:, 1] = np.stack([a.ravel(), c.ravel(), d.ravel()], axis=1)
    return verts.reshape(-1, 3), faces.reshape(-1, 3)


def face_normals(tri: np.ndarray) -> np.ndarray:
    """Unit normals of (F,3,3) float32 triangles, as an exporter would store them."""
    n = np.cross(tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0]).astype(np.float64)
    length = np.linalg.norm(n, axis=1, keepdims=True)
    length[length == 0] = 1.0
    return (n / length).astype(np.float32)


BINARY_RECORD = np.dtype(
    [("normal", "<f4", (3,)), ("v", "<f4", (3, 3)), ("attr", "<u2")]
)
assert BINARY_RECORD.itemsize == 50


def write_binary(path: Path, verts: np.ndarray, faces: np.ndarray, chunk: int = 1 << 20) -> None:
    """The faces as binary records, a million at a time (a 20M mesh would need gigabytes at once)."""
    # The header must not begin with "solid", or readers would take it for ASCII.
    header = b"binary STL, bumpy torus, written by the quarvex benchmark".ljust(80, b" ")
    with open(path, "wb") as f:
        f.write(header)
        f.write(np.uint32(len(faces)).tobytes())
        for start in range(0, len(faces), chunk):
            tri = verts[faces[start : start + chunk]]
            records = np.zeros(len(tri), dtype=BINARY_RECORD)
            records["normal"] = face_normals(tri)
            records["v"] = tri
            records.tofile(f)


ASCII_FACET = (
    "  facet normal %e %e %e\n"
    "    outer loop\n"
    "      vertex %e %e %e\n"
    "      vertex %e %e %e\n"
    "      vertex %e %e %e\n"
    "    endloop\n"
    "  endfacet\n"
)


def write_ascii(path: Path, tri: np.ndarray, normals: np.ndarray, number_format: str = "%e") -> None:
    # "%e" (7 significant digits) is what common exporters write; a shared vertex
    # prints the same text every time, so it still merges after parsing.
    facet = ASCII_FACET.replace("%e", number_format)
    rows = np.concatenate([normals, tri.reshape(-1, 9)], axis=1).astype(np.float64)
    chunk = 20000
    with open(path, "w", encoding="ascii") as f:
        f.write("solid bumpy_torus\n")
        for start in range(0, len(rows), chunk):
            part = rows[start : start + chunk]
            f.write((facet * len(part)) % tuple(part.ravel().tolist()))
        f.write("endsolid bumpy_torus\n")


def write_band(path, rings: int = 10, segments: int = 10) -> None:
    """A sphere band of rings * segments * 2 triangles, corners shared, stored normals zero:
    the small file of the per-call and pool start-up measurements."""
    theta = np.pi * (np.arange(rings + 1) + 1) / (rings + 2)
    phi = 2 * np.pi * np.arange(segments + 1) / segments
    grid = np.stack([np.sin(theta)[:, None] * np.cos(phi), np.sin(theta)[:, None] * np.sin(phi),
                     np.broadcast_to(np.cos(theta)[:, None], (rings + 1, segments + 1))], -1).astype(np.float32)
    a, b, c, d = grid[:-1, :-1], grid[:-1, 1:], grid[1:, :-1], grid[1:, 1:]
    tri = np.stack([np.stack([a, c, b], 2), np.stack([b, c, d], 2)], 2).reshape(-1, 3, 3)
    records = np.zeros(len(tri), dtype=BINARY_RECORD)
    records["v"] = tri
    with open(path, "wb") as f:
        f.write(b"small band".ljust(80, b" "))
        f.write(np.uint32(len(tri)).tobytes())
        records.tofile(f)


def write_soup(path: Path, triangles: int) -> None:
    """Triangles with random corners in a 100-unit cube (fixed seed) and random stored normals:
    with 2^69 possible corners, no two coincide."""
    rng = np.random.default_rng(SHUFFLE_SEED)
    records = np.zeros(triangles, dtype=BINARY_RECORD)
    records["v"] = rng.random((triangles, 3, 3), dtype=np.float32) * 100
    records["normal"] = rng.standard_normal((triangles, 3)).astype(np.float32)
    with open(path, "wb") as f:
        f.write(b"binary STL, triangles sharing no vertex".ljust(80, b" "))
        f.write(np.uint32(triangles).tobytes())
        records.tofile(f)


def ensure(w: Workload) -> Path:
    """Writes the workload's file unless it is already there."""
    if w.path.exists():
        return w.path
    WORK_DIR.mkdir(parents=True, exist_ok=True)
    tmp = w.path.with_suffix(w.path.suffix + ".tmp")
    if w.kind == "soup":
        write_soup(tmp, w.triangles)
        os.replace(tmp, w.path)
        return w.path
    verts, faces = torus_mesh(w.u_steps, w.v_steps)
    if w.shuffled:
        faces = faces[np.random.default_rng(SHUFFLE_SEED).permutation(len(faces))]
    if w.kind == "binary":
        write_binary(tmp, verts, faces)
    else:
        tri = verts[faces]
        write_ascii(tmp, tri, face_normals(tri), w.number_format)
    os.replace(tmp, w.path)
    return w.path


def ensure_all() -> None:
    for w in ALL + BIG_SWEEP + [SOUP]:
        ensure(w)


if __name__ == "__main__":
    ensure_all()
    for w in ALL + BIG_SWEEP + [SOUP]:
        print(f"{w.name:12s} {w.triangles:>9,d} triangles  {w.path.stat().st_size:>12,d} bytes  {w.path}")
