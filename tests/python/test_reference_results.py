"""This build's results against a reference build's, bit for bit (see reference_results.py):
both formats, read from a file (the parallel reader) and through a pipe (the sequential
one), by pools of 1, 2 and 8 workers. Runs where QUARVEX_REFERENCE names a folder that
reference_results.py filled, as the arm64-python stage of run-tests does with the x86-64
source build's results; skipped elsewhere."""

import os
from pathlib import Path

import numpy as np
import pytest

from reference_results import WORKERS, run_reads, sorted_results

REFERENCE = os.environ.get("QUARVEX_REFERENCE")
pytestmark = pytest.mark.skipif(not REFERENCE, reason="no reference results (QUARVEX_REFERENCE)")


@pytest.mark.parametrize("workers", WORKERS)
def test_results_match_the_reference_build(tmp_path, workers):
    run_reads(REFERENCE, workers, tmp_path)
    found = sorted_results(tmp_path)
    expected = sorted_results(Path(REFERENCE) / "reference")
    for key, bits in found.items():
        assert np.array_equal(bits, expected[key[0], "file"]), key
