"""The installed type stub: found by mypy, strict-clean, true to the runtime module, and
installed with nothing outside quarvex*."""

import importlib.metadata
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="the typing checks need mypy")

ROOT = Path(__file__).resolve().parents[2]

GOOD = """
    import os
    import pathlib
    from typing import assert_type

    import quarvex

    Points = list[list[float]]

    result = quarvex.reduce_stl_points("mesh.stl", 100)
    assert_type(result, tuple[Points, Points])
    positions, normals = quarvex.reduce_stl_points(pathlib.Path("mesh.stl"), clusters=8)
    x: float = positions[0][0] + normals[0][2]
    quarvex.reduce_stl_points(file_path=os.path.join("a", "b.stl"), clusters=True)
    print(x, quarvex.__all__)
"""

BAD = """
    import quarvex

    quarvex.reduce_stl_points(b"mesh.stl", 100)
    quarvex.reduce_stl_points("mesh.stl", 2.5)
    quarvex.reduce_stl_points("mesh.stl", "100")
    quarvex.reduce_stl_points("mesh.stl")
    quarvex.reduce_stl_points("mesh.stl", 1, points=2)
    positions: list[tuple[float, float, float]] = quarvex.reduce_stl_points("mesh.stl", 1)[0]
"""


def mypy(*args, cwd):
    # Run outside the source tree, so that only the installed stub can be found.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(cwd / ".mypy"), *args],
        capture_output=True, text=True, cwd=cwd, timeout=300,
    )


def test_installed_stub_types_calls_and_results(tmp_path):
    # Only the module, its stub and quarvex-stubs: no loose py.typed in site-packages, which
    # mypy needs not (the stub-only package serves it) and which belongs to no package.
    files = importlib.metadata.files("quarvex")
    assert [str(f) for f in files if not f.parts[0].startswith("quarvex")] == []
    assert {"quarvex.pyi", "quarvex-stubs/__init__.pyi"} <= {f.as_posix() for f in files}
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD))
    (tmp_path / "bad.py").write_text(textwrap.dedent(BAD))
    good = mypy("good.py", cwd=tmp_path)
    assert good.returncode == 0, good.stdout + good.stderr
    bad = mypy("bad.py", cwd=tmp_path)
    assert bad.returncode == 1, bad.stdout + bad.stderr
    flagged = sorted({int(n) for n in re.findall(r"^bad\.py:(\d+): error", bad.stdout, re.M)})
    assert flagged == [4, 5, 6, 7, 8, 9], bad.stdout


def test_stub_is_strict_clean_and_matches_the_runtime_module(tmp_path):
    own = mypy(ROOT / "src" / "quarvex.pyi", cwd=tmp_path)
    assert own.returncode == 0, own.stdout + own.stderr
    # stubtest imports the installed module and compares names and signatures with the stub.
    runtime = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quarvex"], capture_output=True, text=True, cwd=tmp_path, timeout=300
    )
    assert runtime.returncode == 0, runtime.stdout + runtime.stderr
