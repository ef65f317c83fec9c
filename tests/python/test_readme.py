"""The README's code blocks, so that none of them rots unseen. The python blocks run against the
installed module. No sh block runs whole: they make environments, build and install, minutes
each (the python stage builds the same way; test_examples.py runs the demo's programs). Each
of their commands is checked against what it names instead, and `python3 -c` runs here.
"""

import os
import re
import shlex
import subprocess
import sys
from itertools import groupby, takewhile
from pathlib import Path

import numpy as np

import quarvex
from meshes import sphere, write_binary

ROOT = Path(__file__).resolve().parents[2]
# A fenced block, also one quoted with "> " (the prefix must repeat on its closing line).
BLOCK = re.compile(r"^((?:> )?)```(\w+)\n(.*?)^\1```$", re.M | re.S)
REPO_PATH = re.compile(r"^\./|^(tools|examples|tests|bench|src|docs)/")


def blocks(language):
    found = BLOCK.findall((ROOT / "README.md").read_text())
    return [re.sub(r"^> ?", "", body, flags=re.M) if quote else body for quote, lang, body in found if lang == language]


def commands():
    """Every command of the sh blocks as its words, the variable assignments first."""
    for line in "\n".join(blocks("sh")).splitlines():
        lexer = shlex.shlex(line, posix=True, punctuation_chars=True)
        lexer.whitespace_split = True
        for is_operator, words in groupby(lexer, lambda word: word in ("&&", "||", ";", "|")):
            if not is_operator:
                yield list(words)


def test_shell_commands_name_what_exists():
    def run(*args):
        return subprocess.run(args, capture_output=True, text=True).stdout

    stages = set(re.findall(r"^(\S+)", run(ROOT / "run-tests", "--list"), re.M))
    usage = set(re.findall(r"--[\w-]+", run(ROOT / "run-tests", "--help")))
    options = set(re.findall(r"^option\((\w+) ", (ROOT / "CMakeLists.txt").read_text(), re.M))
    programs = set()
    for command in commands():
        assignments = [w.split("=")[0] for w in takewhile(re.compile(r"[A-Z_][A-Z0-9_]*=").match, command)]
        program, *args = command[len(assignments):]
        programs.add(program)
        assert all((ROOT / word).exists() for word in command if REPO_PATH.match(word)), command
        if REPO_PATH.match(program):
            assert os.access(ROOT / program, os.X_OK), program
            assert all(re.search(rf"\b{name}\b", (ROOT / program).read_text()) for name in assignments), command
        if program == "./run-tests":
            for option, value in [(o, v) for o, v in zip(args, [*args[1:], None]) if o.startswith("-")]:
                assert option in usage and (option != "--stage" or set(value.split(",")) <= stages), command
        if program == "cmake":
            assert {w[2:].split("=")[0] for w in args if w.startswith("-D")} <= options, command
        if program.startswith("python3") and args[:1] == ["-c"]:
            done = subprocess.run([sys.executable, "-c", args[1]], capture_output=True, text=True)
            assert done.returncode == 0, done.stderr
    assert {"./run-tests", "python3", "tools/build_wheels.sh", "cmake"} <= programs, programs


def test_python_blocks_run_against_the_installed_module(tmp_path, monkeypatch):
    normals, tris = sphere(rings=12, segments=24)
    write_binary(tmp_path / "part.stl", normals, tris)
    write_binary(tmp_path / "zero.stl", np.zeros_like(normals), tris)
    monkeypatch.chdir(tmp_path)
    stub = (ROOT / "src" / "quarvex.pyi").read_text()
    namespace, ran = {}, 0
    for body in blocks("python"):
        if body.startswith("def reduce_stl_points("):  # the signature: as the stub has it
            assert body.removesuffix(" ...\n") in stub, body
        else:
            exec(compile(body, "README.md", "exec"), namespace)  # noqa: S102 - the README's own code
            ran += 1
    assert ran == 3 and len(namespace["positions"]) == 2000 and len(namespace["points"]) == len(namespace["vectors"])
    # The zero-normals remedy turns a file of zero stored normals into one of unit normals.
    namespace["recompute_normals"]("zero.stl", "fixed.stl")
    for name, length in [("zero.stl", 0.0), ("fixed.stl", 1.0)]:
        _, got = quarvex.reduce_stl_points(name, 100)
        np.testing.assert_allclose(np.linalg.norm(got, axis=1), length, atol=1e-6)


def test_links_find_their_heading_or_file():
    text = (ROOT / "README.md").read_text()
    headings = {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in re.findall(r"^#+ (.+)$", text, re.M)}
    assert set(re.findall(r"\]\(#([^)]+)\)", text)) <= headings
    assert all((ROOT / path).exists() for path in re.findall(r"\]\(([^)#:]+)[^)]*\)", text))
