"""Per-call cost on small files, in a warm process: the fixed cost a folder of small parts pays.

    python bench/small_calls.py [--modules NAME=DIR,...] [--triangles 200,...] [--clusters 100]
                                [--threads 1,2] [--rounds 3] [--calls 2000] [--strace] [--json FILE]

Each measurement is a fresh interpreter with RAYON_NUM_THREADS set: it makes 200 untimed
calls (the pool and every lazily made table exist afterwards), then times --calls calls in
five batches and reports the median batch's time per call. The same process times two
floors a caller pays anyway: opening and reading the file in Python, and (with numpy) making
and freeing result lists of the same size from two ready arrays. Modules, worker counts and
file sizes take turns within each round, so drift of a shared machine hits them alike.
--modules names built modules to compare (each DIR, e.g. build/py3.12, goes first on the
import path); without it the installed module is measured. --strace also counts the system
calls per call (strace -f -c over 200 calls, minus a run without them).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

from workloads import write_band

CHILD = r"""
import json, sys, time
import quarvex
path, clusters, calls, warm = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
for _ in range(warm):
    quarvex.reduce_stl_points(path, clusters)
if calls == 0:
    sys.exit(0)

def per_call(fn):
    batches = []
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(calls // 5):
            fn()
        batches.append((time.perf_counter() - start) / (calls // 5))
    return sorted(batches)[2]

def read():
    with open(path, "rb") as f:
        f.read()

out = {"call": per_call(lambda: quarvex.reduce_stl_points(path, clusters)), "read": per_call(read)}
try:
    import numpy
    arrays = [numpy.zeros((clusters, 3), numpy.float32) + 0.5 for _ in range(2)]
    out["lists"] = per_call(lambda: [a.tolist() for a in arrays])
except ImportError:
    pass
print(json.dumps(out))
"""

WARM_CALLS = 200


def child_env(threads: int, module_dir: str) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    if module_dir:
        env["PYTHONPATH"] = module_dir + os.pathsep + env.get("PYTHONPATH", "")
    return env


def measure(path: str, clusters: int, threads: int, module_dir: str, calls: int) -> dict:
    done = subprocess.run([sys.executable, "-c", CHILD, path, str(clusters), str(calls), str(WARM_CALLS)],
                          env=child_env(threads, module_dir), capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        return {"error": f"exit {done.returncode}: {done.stderr.strip()[-200:]}"}
    return json.loads(done.stdout)


def syscalls(path: str, clusters: int, threads: int, module_dir: str, calls: int = 200) -> dict:
    """System calls per call by name: strace -c of a process with `calls` calls after the
    warm-up, minus one with the warm-up alone."""
    def counts(n):
        with tempfile.NamedTemporaryFile("r", suffix=".strace") as out:
            subprocess.run(["strace", "-f", "-c", "-o", out.name, sys.executable, "-c", CHILD, path,
                            str(clusters), "0", str(WARM_CALLS + n)],
                           env=child_env(threads, module_dir), capture_output=True, timeout=600)
            table = {}
            for line in out.read().splitlines():
                m = re.match(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)$", line)
                if m and m.group(2) != "total":
                    table[m.group(2)] = int(m.group(1))
            return table

    base, more = counts(0), counts(calls)
    return {name: (more.get(name, 0) - base.get(name, 0)) / calls for name in set(base) | set(more)
            if more.get(name, 0) > base.get(name, 0)}


def run(modules: dict, triangles: list[int], clusters: int, threads: list[int], rounds: int, calls: int,
        trace: bool = False, log=print) -> dict:
    """The measurements as {"rows": [...], "strace": {...}}; every row has the medians over
    the rounds of the per-call seconds of the call and of the read floor."""
    samples: dict = {}
    traced: dict = {}
    with tempfile.TemporaryDirectory() as tmp:
        paths = {}
        for n in triangles:
            paths[n] = os.path.join(tmp, f"band{n}.stl")
            write_band(paths[n], 10, max(1, n // 20))
        for r in range(rounds):
            for n in triangles:
                for t in threads:
                    for name, module_dir in modules.items():
                        got = measure(paths[n], clusters, t, module_dir, calls)
                        samples.setdefault((name, n, t), []).append(got)
                        log(f"  round {r + 1} {name} {n} triangles T={t}: " + (
                            got["error"] if "error" in got else
                            f"{got['call'] * 1e6:.1f} us a call (reading the file {got['read'] * 1e6:.1f} us)"))
        if trace and shutil.which("strace"):
            for name, module_dir in modules.items():
                for t in threads:
                    traced[f"{name} T={t}"] = syscalls(paths[triangles[0]], clusters, t, module_dir)
    rows = []
    for (name, n, t), got in samples.items():
        ok = [g for g in got if "error" not in g]
        row = {"module": name, "triangles": n, "file_bytes": 84 + 50 * 2 * 10 * max(1, n // 20),
               "clusters": clusters, "threads": t, "rounds": len(ok)}
        if ok:
            row["call"] = statistics.median(g["call"] for g in ok)
            row["read"] = statistics.median(g["read"] for g in ok)
            if all("lists" in g for g in ok):
                row["lists"] = statistics.median(g["lists"] for g in ok)
        else:
            row["error"] = got[0]["error"]
        rows.append(row)
    return {"rows": rows, "strace": traced}


def table(result: dict) -> list[str]:
    """Markdown: per-call microseconds, the read floor, and each module against the first."""
    rows = result["rows"]
    names = list(dict.fromkeys(r["module"] for r in rows))
    lines = ["| triangles | workers | " + " | ".join(f"{m} us/call" for m in names)
             + " | read the file us | result lists us |" + "".join(f" {m} / {names[0]} |" for m in names[1:]),
             "|---|---|" + "---|" * (len(names) + 2 + len(names) - 1)]
    keys = list(dict.fromkeys((r["triangles"], r["threads"]) for r in rows))
    for n, t in keys:
        by = {r["module"]: r for r in rows if r["triangles"] == n and r["threads"] == t}
        cells = [f"{by[m]['call'] * 1e6:.1f}" if "call" in by.get(m, {}) else "failed" for m in names]
        reads = [by[m]["read"] for m in names if "read" in by.get(m, {})]
        lists = [by[m]["lists"] for m in names if "lists" in by.get(m, {})]
        ratios = [f"{by[m]['call'] / by[names[0]]['call']:.2f}" if "call" in by.get(m, {}) and "call" in by.get(
            names[0], {}) else "—" for m in names[1:]]
        lines.append(f"| {n:,} | {t} | " + " | ".join(cells)
                     + (f" | {statistics.median(reads) * 1e6:.1f} |" if reads else " | — |")
                     + (f" {statistics.median(lists) * 1e6:.1f} |" if lists else " — |"))
        lines[-1] += "".join(f" {x} |" for x in ratios)
    for label, counts in result.get("strace", {}).items():
        top = sorted(counts.items(), key=lambda kv: -kv[1])[:8]
        lines.append("")
        lines.append(f"System calls per call, {label}: " + (", ".join(f"{k} {v:.1f}" for k, v in top) or "none"))
    return lines


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--modules", default="installed=", help="NAME=DIR,... (default: the installed module)")
    ap.add_argument("--triangles", default="200", help="file sizes, comma-separated (default 200)")
    ap.add_argument("--clusters", type=int, default=100)
    ap.add_argument("--threads", default="1,2")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--calls", type=int, default=2000, help="timed calls per measurement (default 2000)")
    ap.add_argument("--strace", action="store_true", help="also count system calls per call")
    ap.add_argument("--json", help="write the measurements to this file")
    args = ap.parse_args()
    modules = dict(m.split("=", 1) for m in args.modules.split(","))
    result = run(modules, [int(n) for n in args.triangles.split(",")], args.clusters,
                 [int(t) for t in args.threads.split(",")], args.rounds, args.calls, args.strace,
                 log=lambda s: print(s, file=sys.stderr, flush=True))
    print("\n".join(table(result)))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
