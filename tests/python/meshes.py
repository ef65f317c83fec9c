"""Meshes for end-to-end tests, and a float32 model of what the module computes from them."""

import struct

import numpy as np

THIRD = np.frombuffer(struct.pack("<I", 0x3EAAAAAB), dtype=np.float32)[0]
EPSILON = np.float32(2.0**-23)


def sphere(rings=24, segments=48, radius=1.0):
    """A closed UV sphere: (normals[F, 3], triangles[F, 3, 3]) in float32, corners shared."""
    theta = np.linspace(0.0, np.pi, rings + 1)
    phi = np.linspace(0.0, 2.0 * np.pi, segments, endpoint=False)
    grid = np.stack(
        [
            np.outer(np.sin(theta), np.cos(phi)),
            np.outer(np.sin(theta), np.sin(phi)),
            np.outer(np.cos(theta), np.ones_like(phi)),
        ],
        axis=-1,
    ).astype(np.float32) * np.float32(radius)
    grid[0, :] = grid[0, 0]  # one pole vertex, bit for bit
    grid[-1, :] = grid[-1, 0]
    tris = []
    for i in range(rings):
        for j in range(segments):
            a, b = grid[i, j], grid[i, (j + 1) % segments]
            c, d = grid[i + 1, j], grid[i + 1, (j + 1) % segments]
            if i != 0:
                tris.append((a, c, b))
            if i != rings - 1:
                tris.append((b, c, d))
    tris = np.array(tris, dtype=np.float32)
    normals = np.cross(tris[:, 1] - tris[:, 0], tris[:, 2] - tris[:, 0])
    normals /= np.linalg.norm(normals, axis=1, keepdims=True)
    return normals.astype(np.float32), tris


def write_binary(path, normals, tris, header=b"quarvex test mesh"):
    records = np.zeros(len(tris), dtype=[("n", "<f4", 3), ("v", "<f4", (3, 3)), ("a", "<u2")])
    records["n"] = normals
    records["v"] = tris
    with open(path, "wb") as f:
        f.write(header.ljust(80, b"\0"))
        f.write(struct.pack("<I", len(tris)))
        f.write(records.tobytes())


def write_ascii(path, normals, tris, name="model"):
    lines = [f"solid {name}"]
    for n, t in zip(normals, tris):
        lines.append("facet normal %r %r %r" % tuple(float(x) for x in n))
        lines.append("  outer loop")
        for v in t:
            lines.append("    vertex %r %r %r" % tuple(float(x) for x in v))
        lines.append("  endloop")
        lines.append("endfacet")
    lines.append(f"endsolid {name}")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


class Model:
    """The reduction's deterministic parts, recomputed in float32 with numpy."""

    def __init__(self, normals, tris):
        flat = np.ascontiguousarray(tris.reshape(-1, 3))
        keys = flat.view(np.uint32)
        unique, first, inverse = np.unique(keys, axis=0, return_index=True, return_inverse=True)
        inverse = inverse.reshape(-1)
        self.vertices = flat[first]  # bit-exact positions
        sums = np.zeros((len(unique), 3), dtype=np.float32)
        np.add.at(sums, inverse, np.repeat(normals, 3, axis=0))
        xx, yy, zz = sums[:, 0] * sums[:, 0], sums[:, 1] * sums[:, 1], sums[:, 2] * sums[:, 2]
        length = np.sqrt((xx + yy) + zz)
        with np.errstate(invalid="ignore", divide="ignore"):
            unit = sums / length[:, None]
        unit[length == 0] = 0.0
        self.normals = unit
        self.index = {bytes(v.view(np.uint32).tobytes()): i for i, v in enumerate(self.vertices)}
        v = self.vertices
        self.box = (v.min(axis=0), v.max(axis=0))

    @staticmethod
    def cells_per_axis(clusters):
        r = np.power(np.float32(clusters), THIRD, dtype=np.float32)
        return int(np.ceil(r)) if r > 0 else 0

    def cell_keys(self, points, clusters):
        n = self.cells_per_axis(clusters)
        lo, hi = self.box
        pts = np.asarray(points, dtype=np.float32)
        d = pts - lo
        e = (hi - lo) + EPSILON
        t = (d / e) * np.float32(n)
        f = np.floor(t)
        idx = np.where(np.isnan(f) | (f < 0), 0, f).astype(np.uint64)
        idx = np.minimum(idx, np.uint64(max(n - 1, 0)) if n else np.uint64(2**64 - 1))
        n64 = np.uint64(n)
        return (idx[:, 2] * n64 + idx[:, 1]) * n64 + idx[:, 0]

    def vertex_of(self, position):
        return self.index.get(np.asarray(position, dtype=np.float32).view(np.uint32).tobytes())
