"""Cost of the worker pool at large worker counts: the first call on a small file (which
starts the pool), later calls, and what the idle workers cost afterwards.

    python bench/pool_startup.py [--modules NAME=DIR,...] [--threads 2,1024,4096] [--rounds 3]

Every measurement runs in a fresh interpreter with RAYON_NUM_THREADS set; the modules and
worker counts take turns within each round, so drift of a shared machine hits them alike.
Prints the median of each figure and the ratio of each first call to the first worker
count's. --modules names built modules to compare (each DIR, e.g. build/py3.12, goes first
on the import path); without it the installed module is measured. A child that does not
finish within --timeout seconds is killed and reported as such. Each round also times the
bare start of the same number of threads (bench/thread_start.cpp, built with the system's
C++ compiler if there is one), the floor under any first call.
"""

import argparse
import json
import math
import os
import signal
import statistics
import subprocess
import sys
import tempfile

from workloads import write_band

CHILD = r"""
import glob, json, os, sys, time
import quarvex

def voluntary_switches():
    total = 0
    for status in glob.glob("/proc/self/task/*/status"):
        try:
            with open(status) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total

path = sys.argv[1]
start = time.perf_counter()
try:
    quarvex.reduce_stl_points(path, 50)
except BaseException as exc:
    print(json.dumps({"error": type(exc).__name__ + ": " + str(exc)[:80],
                      "first": time.perf_counter() - start}))
    sys.exit(0)
first = time.perf_counter() - start
later = []
for _ in range(9):
    start = time.perf_counter()
    quarvex.reduce_stl_points(path, 50)
    later.append(time.perf_counter() - start)
time.sleep(0.2)  # the last call's wind-down
switches0 = voluntary_switches()  # reading thousands of status files takes CPU time itself
cpu0 = sum(os.times()[:2])
time.sleep(1.0)
cpu1 = sum(os.times()[:2])
switches1 = voluntary_switches()
print(json.dumps({"first": first, "later": sorted(later)[len(later) // 2],
                  "idle_cpu": cpu1 - cpu0, "idle_switches": switches1 - switches0,
                  "threads": len(os.listdir("/proc/self/task"))}))
"""


def measure(path, threads, module_dir, timeout):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    if module_dir:
        env["PYTHONPATH"] = module_dir + os.pathsep + env.get("PYTHONPATH", "")
    child = subprocess.Popen([sys.executable, "-c", CHILD, path], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        out, err = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.communicate()
        return {"error": f"killed after {timeout} s"}
    if child.returncode != 0:
        return {"error": f"exit {child.returncode}: {err.strip()[-200:]}"}
    return json.loads(out)


def build_baseline(tmp):
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "thread_start.cpp")
    binary = os.path.join(tmp, "thread_start")
    try:
        subprocess.run(["c++", "-O2", "-pthread", "-o", binary, source], check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    return binary


def bare_start(binary, threads):
    done = subprocess.run([binary, str(threads)], capture_output=True, text=True)
    return float(done.stdout) / 1e3 if done.returncode == 0 else math.nan


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--modules", default="installed=")
    parser.add_argument("--threads", default="2,1024,4096")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=120)
    args = parser.parse_args()
    counts = [int(t) for t in args.threads.split(",")]
    modules = dict(m.split("=", 1) for m in args.modules.split(","))
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "band.stl")
        write_band(path)
        baseline = build_baseline(tmp)
        runs = {(m, t): [] for m in modules for t in counts}
        bare = {t: [] for t in counts}
        for r in range(args.rounds):
            for t in counts:
                if baseline:
                    bare[t].append(bare_start(baseline, t))
                for m, module_dir in modules.items():
                    runs[m, t].append(measure(path, t, module_dir, args.timeout))
                    print(f"round {r + 1} {m} T={t}: {json.dumps(runs[m, t][-1])}", file=sys.stderr)
    if baseline:
        print("bare thread start, ms: " + ", ".join(
            f"T={t} {statistics.median(bare[t]) * 1e3:.2f}" for t in counts))
    print(f"{'module':>10} {'T':>6} {'first ms':>10} {'later ms':>10} {'idle cpu %':>11}"
          f" {'idle switches/s':>16} {'threads':>8} {'first / first(T0)':>18}")
    for m in modules:
        base = None
        for t in counts:
            ok = [x for x in runs[m, t] if "error" not in x]
            if not ok:
                print(f"{m:>10} {t:>6} {runs[m, t][0]['error']}")
                continue
            med = {k: statistics.median(x[k] for x in ok)
                   for k in ("first", "later", "idle_cpu", "idle_switches", "threads")}
            base = base or med["first"]
            failed = len(runs[m, t]) - len(ok)
            print(f"{m:>10} {t:>6} {med['first'] * 1e3:>10.2f} {med['later'] * 1e3:>10.3f}"
                  f" {med['idle_cpu'] * 100:>11.1f} {med['idle_switches']:>16.0f} {med['threads']:>8.0f}"
                  f" {med['first'] / base:>18.1f}" + (f"  ({failed} failed)" if failed else ""))


if __name__ == "__main__":
    main()
