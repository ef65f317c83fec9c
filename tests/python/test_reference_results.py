"""This build's results against a reference build's, bit for bit (see reference_results.py):
both formats, read from a file (the parallel reader) and through a pipe (the sequential
one), by pools of 1, 2 and 8 workers. Runs where QUARVEX_REFERENCE names a folder that
reference_results.py filled, as the aarch64 stage of run-tests does with the x86-64 build's
results; skipped elsewhere."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from reference_results import CLUSTERS, NAMES, sorted_bits

REFERENCE = os.environ.get("QUARVEX_REFERENCE")
pytestmark = pytest.mark.skipif(not REFERENCE, reason="no reference results (QUARVEX_REFERENCE)")

# Writes each result's floats, positions then normals, raw into the output folder. numpy
# stays out of the child: under emulation, importing it takes longer than the calls.
CHILD = r"""
import array, itertools, os, sys, threading
import quarvex

def fed_pipe(path):
    read_end, write_end = os.pipe()
    def feed():
        with open(path, "rb") as src, os.fdopen(write_end, "wb") as dst:
            dst.write(src.read())
    threading.Thread(target=feed).start()
    return read_end

source, out, clusters = sys.argv[1], sys.argv[2], int(sys.argv[3])
for name in sys.argv[4:]:
    path = os.path.join(source, name)
    for how in ("file", "pipe"):
        if how == "pipe":
            fd = fed_pipe(path)
            positions, normals = quarvex.reduce_stl_points(f"/dev/fd/{fd}", clusters)
            os.close(fd)
        else:
            positions, normals = quarvex.reduce_stl_points(path, clusters)
        floats = array.array("f", itertools.chain.from_iterable(positions + normals))
        with open(os.path.join(out, f"{name}.{how}"), "wb") as f:
            floats.tofile(f)
"""


@pytest.mark.parametrize("workers", [1, 2, 8])
def test_results_match_the_reference_build(tmp_path, workers):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    result = subprocess.run([sys.executable, "-c", CHILD, REFERENCE, str(tmp_path), str(CLUSTERS), *NAMES],
                            capture_output=True, text=True, env=env, timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    expected = np.load(Path(REFERENCE) / "reference.npy")
    for name in NAMES:
        for how in ("file", "pipe"):
            floats = np.fromfile(tmp_path / f"{name}.{how}", np.float32).reshape(2, -1, 3)
            assert np.array_equal(sorted_bits(floats[0], floats[1]), expected), (name, how)
