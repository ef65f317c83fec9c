"""Results of one build, kept to compare another build's with, bit for bit.

    python tests/python/reference_results.py DIR

writes into DIR a lattice mesh as binary and as ASCII STL (the same triangles) and
`reference.npy`, the result that the quarvex this interpreter imports returns for it.
test_reference_results.py then checks that another build (the aarch64 wheel, run under
emulation) returns the same bits. The draw is random, but not here: each of the N vertices
lies in a grid cell of its own and N points are asked for, so every vertex comes back once,
and the rows sorted by their bits are the same for every correct build.
"""

import sys
from pathlib import Path

import numpy as np

SIDE = 24  # vertices per axis: N = 13824, and the grid has 25 cells per axis for that N
CLUSTERS = SIDE**3
COPIES = 3  # each triangle three times, with other normals: 76176 triangles, two binary windows
NAMES = ("lattice-binary.stl", "lattice-ascii.stl")


def sorted_bits(positions, normals):
    """The result's rows (x, y, z, nx, ny, nz) as float32 bits, sorted."""
    rows = np.concatenate([np.asarray(positions, np.float32).reshape(-1, 3),
                           np.asarray(normals, np.float32).reshape(-1, 3)], axis=1).view(np.uint32)
    return rows[np.lexsort(rows.T[::-1])]


def lattice_triangles():
    """Corners (T, 3, 3) and stored normals (T, 3), float32: two triangles per lattice square
    in every z layer, so every lattice point is a corner, each triangle COPIES times."""
    coordinate = (np.arange(SIDE) * 0.1).astype(np.float32)
    i, j, k = np.meshgrid(np.arange(SIDE - 1), np.arange(SIDE - 1), np.arange(SIDE), indexing="ij")
    i, j, k = i.ravel(), j.ravel(), k.ravel()

    def point(di, dj):
        return np.stack([coordinate[i + di], coordinate[j + dj], coordinate[k]], axis=1)

    corners = np.concatenate([np.stack([point(0, 0), point(1, 0), point(0, 1)], axis=1),
                              np.stack([point(1, 1), point(0, 1), point(1, 0)], axis=1)])
    corners = np.tile(corners, (COPIES, 1, 1))
    normals = np.random.default_rng(7).uniform(-1, 1, (len(corners), 3)).astype(np.float32)
    return corners, normals


def write_meshes(folder):
    corners, normals = lattice_triangles()
    records = np.zeros(len(corners), [("normal", "<f4", 3), ("corners", "<f4", (3, 3)), ("attribute", "<u2")])
    records["normal"], records["corners"] = normals, corners
    with open(folder / NAMES[0], "wb") as f:
        f.write(b"\0" * 80 + np.uint32(len(records)).astype("<u4").tobytes())
        records.tofile(f)
    # Nine significant digits give back every float32 exactly.
    lines = ["solid lattice"]
    for n, (a, b, c) in zip(normals.tolist(), corners.tolist()):
        lines.append("facet normal %.9g %.9g %.9g\n outer loop" % tuple(n))
        lines.extend("  vertex %.9g %.9g %.9g" % tuple(v) for v in (a, b, c))
        lines.append(" endloop\nendfacet")
    lines.append("endsolid lattice\n")
    (folder / NAMES[1]).write_text("\n".join(lines))


def main(folder):
    import quarvex

    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    write_meshes(folder)
    results = [sorted_bits(*quarvex.reduce_stl_points(str(folder / name), CLUSTERS)) for name in NAMES]
    # The premise: every vertex once, and both formats give the same mesh.
    assert len(np.unique(results[0][:, :3], axis=0)) == CLUSTERS
    assert np.array_equal(results[0], results[1])
    np.save(folder / "reference.npy", results[0])


if __name__ == "__main__":
    main(sys.argv[1])
