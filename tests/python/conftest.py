"""Shared fixtures of the Python suite."""

import subprocess
import sys

import pytest

from meshes import sphere, write_binary


def run_python(code, *, env=None, timeout=120):
    """Runs `code` in a fresh interpreter that imports the same quarvex as this one."""
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=timeout
    )


@pytest.fixture(scope="session")
def panic_exception():
    """The PanicException type, fetched from a real fault (it is not a module attribute)."""
    import quarvex

    try:
        quarvex.reduce_stl_points("\ud800", 1)
    except BaseException as exc:  # noqa: BLE001 - the type is what we are after
        return type(exc)
    pytest.fail("an unencodable path did not fault")


@pytest.fixture
def missing_path(tmp_path):
    """A path that does not exist: the call gets past argument conversion and fails later."""
    return str(tmp_path / "absent.stl")


@pytest.fixture(scope="module")
def ball(tmp_path_factory):
    """A closed binary sphere of 24 x 12 quads: a small mesh every call can read."""
    normals, tris = sphere(rings=12, segments=24)
    path = tmp_path_factory.mktemp("ball") / "ball.stl"
    write_binary(path, normals, tris)
    return str(path)
