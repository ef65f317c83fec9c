"""Results bit for bit against a reference (see reference_results.py): both formats, read
from a file (the parallel reader) and through a pipe (the sequential one), by pools of 1, 2
and 8 workers, where the order of each vertex's additions shows in the last bits. The
reference is the folder QUARVEX_REFERENCE names, as the arm64-python stage of run-tests
fills it with the x86-64 source build's results; without one, this build's own results from
a file with 2 workers, so that every route and worker count must give the same bits."""

import os
from pathlib import Path

import numpy as np
import pytest

import reference_results
from reference_results import WORKERS, run_reads, sorted_results


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    if os.environ.get("QUARVEX_REFERENCE"):
        return Path(os.environ["QUARVEX_REFERENCE"])
    folder = tmp_path_factory.mktemp("reference")
    reference_results.main(folder)
    return folder


@pytest.mark.parametrize("workers", WORKERS)
def test_results_match_the_reference_build(reference, tmp_path, workers):
    run_reads(reference, workers, tmp_path)
    found = sorted_results(tmp_path)
    expected = sorted_results(reference / "reference")
    for key, bits in found.items():
        assert np.array_equal(bits, expected[key[0], "file"]), key
