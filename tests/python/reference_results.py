"""Results of one build, kept to compare another build's with, bit for bit.

    python tests/python/reference_results.py DIR

writes into DIR a lattice mesh as binary and as ASCII STL (the same triangles), and into
DIR/reference the results that the quarvex this interpreter imports returns for both, read
from the file and through a pipe. test_reference_results.py then checks that another build
(the aarch64 wheel, run under emulation) returns the same bits. The draw is random, but not
here: each of the vertices lies in a grid cell of its own and as many points are asked for,
so every vertex comes back once, and the rows sorted by their bits are the same for every
correct build.
"""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np

SIDE = 24  # vertices per axis: N = 13824, and the grid has 25 cells per axis for that N
CLUSTERS = SIDE**3
COPIES = 3  # each triangle three times, with other normals: 76176 triangles, two binary windows
NAMES = ("lattice-binary.stl", "lattice-ascii.stl")
WORKERS = (1, 2, 8)

# Writes each result's floats, positions then normals, raw into the output folder as
# NAME.file and NAME.pipe. numpy stays out: under emulation, importing it takes longer than
# the calls. The pipe is fed by another process, as the call keeps the interpreter lock.
CHILD = r"""
import array, itertools, os, subprocess, sys
import quarvex

source, out, clusters = sys.argv[1], sys.argv[2], int(sys.argv[3])
for name in sys.argv[4:]:
    path = os.path.join(source, name)
    for how in ("file", "pipe"):
        if how == "pipe":
            with subprocess.Popen(["cat", path], stdout=subprocess.PIPE) as cat:
                positions, normals = quarvex.reduce_stl_points(f"/dev/fd/{cat.stdout.fileno()}", clusters)
        else:
            positions, normals = quarvex.reduce_stl_points(path, clusters)
        floats = array.array("f", itertools.chain.from_iterable(positions + normals))
        with open(os.path.join(out, f"{name}.{how}"), "wb") as f:
            floats.tofile(f)
"""


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


def run_reads(folder, workers, out):
    """Runs CHILD in this interpreter with a pool of `workers` on the meshes in `folder`,
    its results into `out`."""
    out.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    result = subprocess.run([sys.executable, "-c", CHILD, str(folder), str(out), str(CLUSTERS), *NAMES],
                            capture_output=True, text=True, env=env, timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]


def sorted_results(out):
    """The results in `out`, sorted, by (name, how)."""
    found = {}
    for name in NAMES:
        for how in ("file", "pipe"):
            floats = np.fromfile(Path(out) / f"{name}.{how}", np.float32).reshape(2, -1, 3)
            found[name, how] = sorted_bits(floats[0], floats[1])
    return found


def main(folder):
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    write_meshes(folder)
    run_reads(folder, 2, folder / "reference")
    found = sorted_results(folder / "reference")
    # The premise: every vertex once, and both formats give the same mesh.
    files = found[NAMES[0], "file"]
    assert len(np.unique(files[:, :3], axis=0)) == CLUSTERS
    assert np.array_equal(files, found[NAMES[1], "file"])


if __name__ == "__main__":
    main(sys.argv[1])
