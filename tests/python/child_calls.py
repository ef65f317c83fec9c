"""Calls that might hang or crash, made in a child interpreter with a time limit, so that a
hang fails the test instead of blocking the suite and a crash shows up as a bad exit."""

import json
import os
import subprocess
import sys

from stl_files import PREFIX

CHILD = r"""
import json, signal, sys
import quarvex
exec(sys.argv[2])
for path, clusters in json.loads(sys.argv[1]):
    try:
        positions, normals = quarvex.reduce_stl_points(path, clusters)
        out = {"kind": "ok", "positions": positions, "normals": normals}
    except BaseException as exc:
        out = {"kind": type(exc).__name__, "message": str(exc)}
    # A prelude's timer must not interrupt the report itself: under a fast timer, writes to
    # the pipe were seen losing data, with or without the module loaded.
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})
    print(json.dumps(out), flush=True)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGALRM})
signal.setitimer(signal.ITIMER_REAL, 0)  # a timer from the prelude must not outlive its handler
"""

# The reader's texts that a file changing under it may produce, exact or by their start.
READ_ERROR_TEXTS = {
    "failed to fill whole buffer",
    "empty file?",
    'ascii STL does not start with "solid "',
    "stream did not contain valid UTF-8",
    "EOF while expecting facet or endsolid.",
    "EOF while expecting vertex",
    "invalid float literal",
}
READ_ERROR_STARTS = (
    "invalid facet header: [",
    "vertex f32 f32 f32, got [",
    "expected [",
    "EOF while expecting [",
    "expected finite f32, got ",
)


def is_read_error_text(text):
    return text in READ_ERROR_TEXTS or text.startswith(READ_ERROR_STARTS)


def asan_active():
    """Whether AddressSanitizer runs in this process (it reserves terabytes of address space
    and keeps freed memory in quarantine, so address-space limits and RSS figures mean
    nothing under it)."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read() or "libclang_rt.asan" in os.environ.get("LD_PRELOAD", "")


def call_in_child(calls, timeout=120, env=None, prelude="", stdin=b""):
    """Runs reduce_stl_points(path, clusters) for each pair in a fresh interpreter, after the
    code `prelude`, with the bytes `stdin` on a pipe as its standard input; returns one
    outcome per call: {"kind": "ok", "positions", "normals"} or {"kind": <exception type
    name>, "message"}. A crash or a hang fails the calling test."""
    result = subprocess.run(
        [sys.executable, "-c", CHILD, json.dumps([[str(p), c] for p, c in calls]), prelude],
        capture_output=True, input=stdin, timeout=timeout, env=env,
    )
    stdout, stderr = result.stdout.decode(), result.stderr.decode(errors="replace")
    assert result.returncode == 0, f"child exited with {result.returncode}: {stderr[-3000:]}"
    outcomes = [json.loads(line) for line in stdout.splitlines()]
    assert len(outcomes) == len(calls), stderr[-3000:]
    return outcomes


def read_error_of(outcome):
    """The reader's own text of an OSError outcome."""
    assert outcome["kind"] == "OSError", outcome
    assert outcome["message"].startswith(PREFIX), outcome["message"]
    return outcome["message"][len(PREFIX):]
