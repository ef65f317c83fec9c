"""End-to-end results of reduce_stl_points against an independent float32 model."""

import os
import subprocess
import sys

import numpy as np
import pytest

import quarvex
from meshes import Model, sphere, write_ascii, write_binary


@pytest.fixture(scope="module")
def mesh(tmp_path_factory):
    normals, tris = sphere(rings=30, segments=60)
    path = tmp_path_factory.mktemp("mesh") / "sphere.stl"
    write_binary(path, normals, tris)
    return path, Model(normals, tris)


def check_points(model, positions, normals):
    """Every position is a mesh vertex and carries that vertex's normalised normal sum."""
    for p, n in zip(positions, normals):
        i = model.vertex_of(p)
        assert i is not None, p
        # The grouping of the single-precision sums may differ from the model's.
        np.testing.assert_allclose(n, model.normals[i], rtol=0, atol=4e-7)


@pytest.mark.parametrize("clusters", [1, 8, 64, 500, 3000])
def test_points_are_vertices_with_their_normals_and_cover_the_cells(mesh, clusters):
    path, model = mesh
    positions, normals = quarvex.reduce_stl_points(str(path), clusters)
    assert type(positions) is list and type(normals) is list
    assert len(positions) == len(normals) == clusters
    assert all(type(p) is list and len(p) == 3 and all(type(c) is float for c in p) for p in positions)
    check_points(model, positions, normals)

    occupied = set(model.cell_keys(model.vertices, clusters).tolist())
    keys = model.cell_keys(positions, clusters).tolist()
    r = len(occupied)
    if clusters >= r:
        # The representatives come first: one per occupied cell, every cell covered.
        assert len(set(keys[:r])) == r
        assert set(keys[:r]) == occupied
    else:
        # Trimmed: distinct representatives of distinct cells.
        assert len(set(keys)) == clusters
        assert len({tuple(p) for p in positions}) == clusters


def test_ascii_and_binary_give_the_same_point_set(tmp_path):
    normals, tris = sphere(rings=8, segments=12)
    model = Model(normals, tris)
    write_binary(tmp_path / "b.stl", normals, tris)
    write_ascii(tmp_path / "a.stl", normals, tris)
    # Many more clusters than vertices: every vertex is a representative of its own cell.
    count = len(model.vertices)
    big = 100 * count
    for name in ("a.stl", "b.stl"):
        positions, normals_out = quarvex.reduce_stl_points(tmp_path / name, big)
        assert len(positions) == big
        check_points(model, positions, normals_out)


def test_calls_differ_in_order(mesh):
    path, _ = mesh
    results = {tuple(map(tuple, quarvex.reduce_stl_points(path, 200)[0])) for _ in range(5)}
    assert len(results) > 1


def test_small_counts_and_bool(mesh):
    path, model = mesh
    assert quarvex.reduce_stl_points(path, 0) == ([], [])
    positions, normals = quarvex.reduce_stl_points(path, True)
    assert len(positions) == 1
    check_points(model, positions, normals)


def test_empty_meshes_give_empty_lists(tmp_path):
    empty_binary = tmp_path / "empty.stl"
    empty_binary.write_bytes(b"\0" * 80 + b"\0\0\0\0")
    empty_ascii = tmp_path / "empty_ascii.stl"
    empty_ascii.write_text("solid nothing\nendsolid nothing\n")
    for path in (empty_binary, empty_ascii):
        for clusters in (0, 1, 1000):
            assert quarvex.reduce_stl_points(path, clusters) == ([], [])


def test_exact_float_widening_and_zero_normals(tmp_path):
    # A lone triangle whose stored normal is zero: normals come back as positive zeros, and
    # each corner (one per cell) keeps the sign of its zeros beside the other corners' +0.0.
    tris = np.array([[[0.1, 0.2, 0.3], [1, -0.0, 0], [-0.0, 1, 0]]], dtype=np.float32)
    write_binary(tmp_path / "t.stl", np.zeros((1, 3), np.float32), tris)
    positions, normals = quarvex.reduce_stl_points(tmp_path / "t.stl", 27)
    assert normals[0] == [0.0, 0.0, 0.0]
    assert all(str(c) != "-0.0" for n in normals for c in n)
    assert {repr(p) for p in positions} == {
        "[0.10000000149011612, 0.20000000298023224, 0.30000001192092896]", "[1.0, -0.0, 0.0]", "[-0.0, 1.0, 0.0]"}


@pytest.mark.parametrize(
    "normal, unit",
    [
        ((3, 4, 0), (0.6000000238418579, 0.800000011920929, 0.0)),  # in range: as always
        ((2e19, 0, 0), (1.0, 0.0, 0.0)),  # the squared length overflows
        ((1e-30, 0, 0), (1.0, 0.0, 0.0)),  # ... underflows to zero
        ((3e-23, 0, 0), (1.0, 0.0, 0.0)),  # ... is subnormal
        ((3e19, -4e19, 0), (0.6, -0.8, 0.0)),
        ((np.inf, 1e-30, 0), (np.nan, 0.0, 0.0)),  # not finite: taken as it is
    ],
)
def test_normals_whose_squared_length_leaves_the_float_range(tmp_path, normal, unit):
    tris = np.array([[[0, 0, 0], [1, 0, 0], [0, 1, 0]]], dtype=np.float32)
    write_binary(tmp_path / "n.stl", np.array([normal], np.float32), tris)
    _, normals = quarvex.reduce_stl_points(tmp_path / "n.stl", 3)
    np.testing.assert_allclose(normals, [unit] * 3, rtol=0, atol=1e-7)
    if normal == (3, 4, 0):
        assert normals == [list(unit)] * 3


def test_inner_lists_are_fresh_objects(tmp_path):
    tris = np.array([[[0, 0, 0], [0, 0, 0], [0, 0, 0]]], dtype=np.float32)
    write_binary(tmp_path / "p.stl", np.array([[0, 0, 1]], np.float32), tris)
    positions, normals = quarvex.reduce_stl_points(tmp_path / "p.stl", 5)
    assert positions == [[0.0, 0.0, 0.0]] * 5
    assert normals == [[0.0, 0.0, 1.0]] * 5
    assert len({id(p) for p in positions}) == 5


CELLS_SCRIPT = """
import sys
sys.path.insert(0, {testdir!r})
import quarvex
from meshes import Model, sphere
normals, tris = sphere(rings=30, segments=60)
model = Model(normals, tris)
positions, _ = quarvex.reduce_stl_points({path!r}, 100000)
r = len(set(model.cell_keys(model.vertices, 100000).tolist()))
print(sorted(set(model.cell_keys(positions[:r], 100000).tolist())))
"""


def test_same_cells_with_one_and_two_threads(mesh):
    path, _ = mesh
    outputs = []
    for threads in ("1", "2"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        script = CELLS_SCRIPT.format(testdir=os.path.dirname(__file__), path=str(path))
        out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                             text=True, timeout=120, check=True)
        outputs.append(out.stdout)
    assert outputs[0] == outputs[1] and outputs[0].startswith("[")


def test_collector_state_is_left_as_found(mesh):
    import gc

    path, _ = mesh
    assert gc.isenabled()
    quarvex.reduce_stl_points(path, 50)
    assert gc.isenabled()
    gc.disable()
    try:
        quarvex.reduce_stl_points(path, 50)
        assert not gc.isenabled()
    finally:
        gc.enable()
