"""The sample meshes and the example programs, run the way the README runs them."""

import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quarvex

ROOT = Path(__file__).resolve().parents[2]
MESSAGE_PREFIX = "Ошибка чтения STL-файла: "
TRIANGLES = {"torus.stl": 4096, "torus-ascii.stl": 4096, "knot.stl": 3840, "pawn-ascii.stl": 5040}


def run(*args, timeout=120):
    return subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True, timeout=timeout)


def read_stl(path):
    """(normals[F, 3], triangles[F, 3, 3]) as float32, read independently of the module."""
    data = path.read_bytes()
    if data.startswith(b"solid "):
        words = data.split()
        normals = [words[i + 2 : i + 5] for i, w in enumerate(words) if w == b"facet"]
        corners = [words[i + 1 : i + 4] for i, w in enumerate(words) if w == b"vertex"]
        return np.array(normals, dtype=np.float32), np.array(corners, dtype=np.float32).reshape(-1, 3, 3)
    (count,) = struct.unpack_from("<I", data, 80)
    assert len(data) == 84 + 50 * count
    records = np.frombuffer(data, dtype=[("n", "<f4", 3), ("v", "<f4", (3, 3)), ("a", "<u2")], offset=84)
    return records["n"].copy(), records["v"].copy()


@pytest.fixture(scope="module")
def samples(tmp_path_factory):
    folder = tmp_path_factory.mktemp("samples")
    done = run(ROOT / "tools" / "make_samples.py", folder)
    assert done.returncode == 0, done.stderr
    assert sorted(p.name for p in folder.glob("*.stl")) == sorted(TRIANGLES)
    return folder


def test_samples_are_closed_outward_meshes_whose_corners_merge(samples):
    for name, count in TRIANGLES.items():
        normals, triangles = read_stl(samples / name)
        assert len(triangles) == count, name
        # Merge corners by their exact bits, as the module does.
        keys = triangles.reshape(-1, 3).view(np.uint32)
        _, index = np.unique(keys, axis=0, return_inverse=True)
        faces = index.reshape(-1, 3)
        # Closed and consistently wound: every directed edge once, and its reverse once.
        edges = {(int(f[i]), int(f[(i + 1) % 3])) for f in faces for i in range(3)}
        assert len(edges) == 3 * count, name
        assert all((b, a) in edges for a, b in edges), name
        # Stored normals are unit, follow the winding, and the enclosed volume is positive.
        a, b, c = (triangles[:, k].astype(np.float64) for k in range(3))
        winding = np.cross(b - a, c - a)
        np.testing.assert_allclose(np.linalg.norm(normals, axis=1), 1.0, atol=1e-6)
        assert (np.einsum("ij,ij->i", winding, normals) > 0).all(), name
        assert np.einsum("ij,ij->i", a, np.cross(b, c)).sum() > 0, name
    # Nine significant digits bring the ASCII torus back to the binary one bit for bit.
    binary, ascii_ = read_stl(samples / "torus.stl"), read_stl(samples / "torus-ascii.stl")
    assert all(np.array_equal(x.view(np.uint32), y.view(np.uint32)) for x, y in zip(binary, ascii_))
    assert not (samples / "torus.stl").read_bytes().startswith(b"solid ")


def test_module_sees_every_sample_vertex_once(samples):
    # Far more points than vertices: the top-up draws every vertex with overwhelming odds.
    for name, vertex_count in [("torus.stl", 2048), ("torus-ascii.stl", 2048), ("pawn-ascii.stl", 2522)]:
        positions, normals = quarvex.reduce_stl_points(samples / name, 60_000)
        _, triangles = read_stl(samples / name)
        expected = {tuple(v) for v in triangles.reshape(-1, 3).astype(np.float64).tolist()}
        assert len(expected) == vertex_count
        assert {tuple(p) for p in positions} == expected, name
        np.testing.assert_allclose(np.linalg.norm(np.array(normals), axis=1), 1.0, atol=1e-6)


def test_reduce_example_summarises_and_draws(samples, tmp_path):
    pytest.importorskip("matplotlib", reason="the picture needs matplotlib")
    picture = tmp_path / "reduced.png"
    done = run(ROOT / "examples" / "reduce.py", samples / "torus.stl", 500, "--png", picture)
    assert done.returncode == 0, done.stderr
    assert "returned   500 points" in done.stdout
    assert "500 of unit length, 0 zero" in done.stdout
    # Beside the distinct count, a note on the random top-up exactly when there are repeats.
    returned = next(line for line in done.stdout.splitlines() if line.startswith("returned"))
    distinct = int(returned.split(", ")[1].split()[0])
    assert ("random top-up" in returned) == (distinct < 500), returned
    assert f"picture    {picture}" in done.stdout
    header = picture.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    assert struct.unpack(">II", header[16:24]) == (1200, 600)

    # The summary alone, from an ASCII file, and an empty request.
    done = run(ROOT / "examples" / "reduce.py", samples / "pawn-ascii.stl", 0)
    assert done.returncode == 0, done.stderr
    assert "returned   0 points, 0 distinct" in done.stdout


def test_reduce_example_reports_failures_in_one_line(samples, tmp_path):
    reduce_py = ROOT / "examples" / "reduce.py"
    missing = run(reduce_py, tmp_path / "missing.stl", 10)
    assert missing.returncode == 1
    assert missing.stderr == f"{tmp_path / 'missing.stl'}: {MESSAGE_PREFIX}No such file or directory (os error 2)\n"
    broken = tmp_path / "broken.stl"
    broken.write_text("solid x\nfacet normal 0 0 1\n")
    done = run(reduce_py, broken, 10)
    assert done.returncode == 1
    assert done.stderr.startswith(f"{broken}: {MESSAGE_PREFIX}") and done.stderr.count("\n") == 1
    # --png where matplotlib cannot be imported.
    blocked = (
        "import runpy, sys; sys.modules['matplotlib'] = None;"
        f"sys.argv = [{str(reduce_py)!r}, {str(samples / 'torus.stl')!r}, '10', '--png', {str(tmp_path / 'x.png')!r}];"
        f"runpy.run_path({str(reduce_py)!r}, run_name='__main__')"
    )
    done = run("-c", blocked)
    assert done.returncode == 3
    assert done.stderr == "reduce.py: --png needs matplotlib, which is not installed (pip install matplotlib)\n"
    assert not (tmp_path / "x.png").exists()


def test_dask_example_on_two_local_worker_processes(samples, tmp_path):
    pytest.importorskip("distributed", reason="the Dask example needs dask[distributed]")
    folder = tmp_path / "in"
    folder.mkdir()
    for name in ["torus.stl", "knot.stl", "pawn-ascii.stl"]:
        (folder / name).write_bytes((samples / name).read_bytes())
    (folder / "broken.stl").write_text("solid x\nfacet normal 0 0 1\n")
    out = tmp_path / "out"
    done = run(ROOT / "examples" / "dask_folder.py", folder, 300, "--workers", 2, "--out", out, timeout=180)
    # One unreadable file fails the run but not the other files.
    assert done.returncode == 1, done.stderr
    assert "broken.stl" in done.stdout and MESSAGE_PREFIX in done.stdout
    assert "3 of 4 files reduced, 900 points in all" in done.stdout
    for name in ["torus", "knot", "pawn-ascii"]:
        table = np.loadtxt(out / f"{name}.csv", delimiter=",", skiprows=1, dtype=np.float32)
        assert table.shape == (300, 6)
        vertices = {tuple(v) for v in read_stl(folder / f"{name}.stl")[1].reshape(-1, 3).tolist()}
        assert {tuple(p) for p in table[:, :3].tolist()} <= vertices, name
