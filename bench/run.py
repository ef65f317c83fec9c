"""Runs the whole benchmark: workloads, timings, thread sweep, peak memory, results.

Every measurement runs in a fresh worker process (peers.py) that loads one tool, makes
one untimed warm-up run and then times RUNS runs in-process; the median is reported.
The same procedure applies to quarvex, the peers and the floors, so the ratios compare
like with like. Results go to bench/results/ (Markdown, JSON, PNG).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

import small_calls
import workloads as wl

BENCH = Path(__file__).resolve().parent
RESULTS = BENCH / "results"
PEERS = BENCH / "peers.py"

REDUCED = 10_000
OUTPUT_HEAVY = 1_000_000
PEER_TOOLS = ["numpy-stl", "trimesh", "open3d", "meshlib", "vtk"]
# floor-read: np.fromfile into a fresh array; floor-stream: the bytes through one reused 1 MiB
# buffer, every byte summed (bench/stream_floor), on 1 thread; STREAM_FLOOR, the floor every
# "× floor" ratio and target uses: the same on as many threads as quarvex has workers
# ("floor-stream-N"), since quarvex reads the file on all of them. set_stream_floor() fixes N
# once the worker count is known; 2 until then.
STREAM_FLOOR_1 = "floor-stream"


def set_stream_floor(workers: int) -> None:
    global STREAM_FLOOR, FLOORS, TIMED_TOOLS, CHEAP_TOOLS, BIG_SWEEP_TOOLS
    STREAM_FLOOR = STREAM_FLOOR_1 if workers == 1 else f"floor-stream-{workers}"
    FLOORS = ["floor-read"] + list(dict.fromkeys([STREAM_FLOOR_1, STREAM_FLOOR]))
    TIMED_TOOLS = ["quarvex"] + PEER_TOOLS + FLOORS
    # Tools whose runs take well under a second get more runs: a steadier median for free.
    CHEAP_TOOLS = {"quarvex", "floor-lists"} | set(FLOORS)
    # The size sweep in random order: quarvex, the streaming floors, and of the peers only
    # meshlib (the others take minutes per run at 20M triangles).
    BIG_SWEEP_TOOLS = ["quarvex", "meshlib"] + FLOORS[1:]


set_stream_floor(2)
# The per-call cost on a small file: 200 triangles to 100 points, warm process.
SMALL_CALL_TRIANGLES = 200
SMALL_CALL_CLUSTERS = 100
SMALL_CALL_ROUNDS = 7
# A worker that hangs must not stall the whole suite; the slowest peer needs ~2 min.
WORKER_TIMEOUT_S = 900
CHEAP_RUNS = 15
SWEEP_ROUNDS = 3
# Workloads also timed through a pipe, under this key of their timings.
PIPED = [wl.BINARY_MAIN, wl.BINARY_SHUFFLED, wl.ASCII_MAIN]
# Of those, the ones with a target against their file call.
PIPE_TARGETS = [wl.BINARY_MAIN, wl.BINARY_SHUFFLED]
PIPE_KEY = "quarvex (through a pipe)"
# The same pipe read and dropped by a reader that does nothing else, beside them.
PIPE_FLOOR_KEY = "floor-pipe (through a pipe)"
FIRST_CALL_PROCESSES = 10


def log(msg: str) -> None:
    print(msg, flush=True)


def clean_env(threads: int | None = None) -> dict:
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    env.pop("RAYON_RS_NUM_CPUS", None)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    return env


def time_tool(tool: str, path: Path | str, clusters: int, runs: int, threads: int | None = None,
              exact_runs: int | None = None) -> dict:
    if exact_runs is not None:
        runs = exact_runs
    elif tool in CHEAP_TOOLS:
        runs = max(runs, CHEAP_RUNS)
    cmd = [sys.executable, str(PEERS), "time", tool, str(path), str(clusters), str(runs)]
    start = time.perf_counter()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, env=clean_env(threads),
                              timeout=WORKER_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        log(f"    {tool}: TIMED OUT after {WORKER_TIMEOUT_S} s")
        return {"error": f"timed out after {WORKER_TIMEOUT_S} s"}
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        reason = (proc.stderr.strip().splitlines() or ["exit %d" % proc.returncode])[-1]
        log(f"    {tool}: FAILED ({reason})")
        return {"error": reason}
    data = json.loads(proc.stdout.strip().splitlines()[-1])
    data["median"] = statistics.median(data["times"])
    if data.get("cpu"):
        data["cpu_per_wall"] = statistics.median(c / t for c, t in zip(data["cpu"], data["times"]) if t > 0)
    data["load_after"] = os.getloadavg()[0]
    log(f"    {tool:12s} median {data['median']:9.4f} s  ({data['points']} points, worker {wall:.1f} s)")
    return data


def quarvex_workers() -> int:
    """The worker count quarvex runs with in the benchmark's workers (RAYON_* unset): the
    threads its pool starts in a fresh process (peers.py workers). Without a working module,
    the usable CPUs, which is what the pool takes when no cgroup quota is lower."""
    proc = subprocess.run([sys.executable, str(PEERS), "workers"], capture_output=True, text=True,
                          env=clean_env(), timeout=WORKER_TIMEOUT_S)
    if proc.returncode == 0 and proc.stdout.strip():
        n = json.loads(proc.stdout.strip().splitlines()[-1])["workers"]
        if n >= 1:
            return n
    n = len(os.sched_getaffinity(0))
    log(f"warning: could not count quarvex's workers ({(proc.stderr.strip().splitlines() or ['no output'])[-1]});"
        f" taking the {n} usable CPUs")
    return n


def pool_into(timings: dict, tool: str, data: dict) -> None:
    """Adds one round's runs of `tool` to its pooled entry in `timings` (a failure sticks)."""
    pooled = timings.setdefault(tool, {"times": [], "cpu": []})
    if "error" in data or "error" in pooled:
        timings[tool] = data if "error" in data else pooled
        return
    pooled["times"] += data["times"]
    pooled["cpu"] += data.get("cpu", [])
    pooled["points"] = data["points"]
    pooled["median"] = statistics.median(pooled["times"])
    if pooled["cpu"]:
        pooled["cpu_per_wall"] = statistics.median(
            c / t for c, t in zip(pooled["cpu"], pooled["times"]) if t > 0)


def big_sweep(tools: list[str], runs: int) -> dict:
    """quarvex and the floors over BIG_SWEEP in rounds (every size sees the same drift of the
    machine), meshlib on the largest file only, and quarvex's peak memory on each file."""
    out: dict = {w.name: {} for w in wl.BIG_SWEEP}
    cheap = [t for t in BIG_SWEEP_TOOLS if t in tools and t in CHEAP_TOOLS]
    for _ in range(SWEEP_ROUNDS):
        for w in wl.BIG_SWEEP:
            for tool in cheap:
                pool_into(out[w.name], tool, time_tool(tool, w.path, REDUCED, 1,
                                                      exact_runs=max(1, -(-CHEAP_RUNS // SWEEP_ROUNDS))))
    if "meshlib" in tools:
        out[wl.BIG_MAIN.name]["meshlib"] = time_tool("meshlib", wl.BIG_MAIN.path, REDUCED, runs)
    if "quarvex" in tools:
        baselines: dict = {}
        for w in wl.BIG_SWEEP:
            out[w.name]["memory"] = peak_memory("quarvex", w.path, REDUCED, baselines)
    return out


def thread_sweep(path: Path, runs: int, rounds: int = 3) -> dict:
    """quarvex with 1 and with 2 threads, in alternating rounds of fresh workers.

    The machine's speed drifts over minutes (it is shared); alternating the two settings
    lets both see the same drift, so their medians compare the settings, not the moments.
    """
    per_round = max(1, -(-max(runs, CHEAP_RUNS) // rounds))
    out: dict = {}
    for _ in range(rounds):
        for n in (1, 2):
            data = time_tool("quarvex", path, REDUCED, 1, threads=n, exact_runs=per_round)
            if "error" in data:
                return {str(k): data for k in (1, 2)}
            entry = out.setdefault(str(n), {"times": [], "points": data["points"]})
            entry["times"] += data["times"]
    for entry in out.values():
        entry["median"] = statistics.median(entry["times"])
    return out


def first_calls(path: Path, processes: int = FIRST_CALL_PROCESSES, later: int = 3) -> dict:
    """quarvex's first call in each of `processes` fresh processes, and the calls after it.

    The file is already in the page cache (every earlier measurement read it), so the first
    call differs from the later ones only by what the process does once: the worker pool, the
    lazily made keys and tables, and memory the process has not touched before."""
    firsts, laters = [], []
    for _ in range(processes):
        cmd = [sys.executable, str(PEERS), "first", "quarvex", str(path), str(REDUCED), str(later)]
        proc = subprocess.run(cmd, capture_output=True, text=True, env=clean_env(), timeout=WORKER_TIMEOUT_S)
        if proc.returncode != 0:
            return {"error": (proc.stderr.strip().splitlines() or ["failed"])[-1]}
        data = json.loads(proc.stdout.strip().splitlines()[-1])
        firsts.append(data["first"])
        laters.append(statistics.median(data["later"]))
    out = {"first": firsts, "later": laters, "first_median": statistics.median(firsts),
           "later_median": statistics.median(laters)}
    log(f"    first call median {out['first_median']:.4f} s (from {min(firsts):.4f} to {max(firsts):.4f}),"
        f" later calls {out['later_median']:.4f} s")
    return out


def max_rss_kib(args: list[str], env: dict) -> tuple[int | None, dict]:
    """Peak RSS of one child (KiB), measured by a small launcher process, and the
    child's own JSON report, if it printed one."""
    proc = subprocess.run([sys.executable, str(PEERS), "rss"] + args, env=env,
                          capture_output=True, text=True, timeout=WORKER_TIMEOUT_S)
    if proc.returncode != 0 or not proc.stdout.strip():
        log(f"    memory run {args} failed: {proc.stderr.strip().splitlines()[-1:]}")
        return None, {}
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    if report.get("exit") != 0:
        log(f"    memory run {args} failed with exit {report.get('exit')}: {proc.stderr.strip().splitlines()[-1:]}")
        return None, {}
    return report["max_rss_kib"], report


def peak_memory(tool: str, path: Path, clusters: int, baselines: dict, pipe: bool = False) -> dict:
    env = clean_env()
    if tool not in baselines:
        baselines[tool] = max_rss_kib(["baseline", tool], env)[0]
    peak, report = max_rss_kib(["once", tool, ("pipe:" if pipe else "") + str(path), str(clusters)], env)
    base = baselines[tool]
    if peak is None or base is None:
        return {"error": "run failed"}
    above = (peak - base) * 1024
    size = path.stat().st_size
    entry = {"peak_kib": peak, "baseline_kib": base, "above_bytes": above, "file_bytes": size}
    extra = ""
    if report.get("call_peak_kib") is not None and report.get("rss_before_kib") is not None:
        entry["call_above_bytes"] = (report["call_peak_kib"] - report["rss_before_kib"]) * 1024
        extra = f"; the call alone {entry['call_above_bytes'] / 2**20:.1f} MiB"
    log(f"    {tool:12s} peak {peak / 1024:8.1f} MiB, above interpreter+import {above / 2**20:8.1f} MiB"
        f" = {above / size:5.2f} x file{extra}")
    return entry


def read_first(path: str, key: str) -> str | None:
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(key):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return None


def package_version(name: str) -> str:
    try:
        from importlib.metadata import version

        return version(name)
    except Exception:
        return "not installed"


def cache_sizes() -> str:
    """'L1d 32K, L2 1024K, L3 32768K' from sysfs (cpu0's view)."""
    parts = []
    for index in sorted(Path("/sys/devices/system/cpu/cpu0/cache").glob("index*")):
        try:
            level = (index / "level").read_text().strip()
            kind = (index / "type").read_text().strip()
            size = (index / "size").read_text().strip()
        except OSError:
            continue
        if kind == "Instruction":
            continue
        parts.append(f"L{level}{'d' if kind == 'Data' else ''} {size}")
    return ", ".join(parts)


def machine_description() -> dict:
    mem_kb = read_first("/proc/meminfo", "MemTotal")
    quota = None
    try:
        quota = Path("/sys/fs/cgroup/cpu.max").read_text().strip()
    except OSError:
        pass
    try:
        commit = subprocess.run(["git", "-C", str(BENCH), "rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True).stdout.strip()
    except OSError:
        commit = ""
    return {
        "cpu": read_first("/proc/cpuinfo", "model name") or platform.processor(),
        "caches": cache_sizes(),
        "logical_cpus": os.cpu_count(),
        "usable_cpus": len(os.sched_getaffinity(0)),
        "cgroup_cpu_max": quota,
        "memory": mem_kb,
        "kernel": platform.release(),
        "python": platform.python_version(),
        "versions": {p: package_version(p) for p in ["quarvex", "numpy", "numpy-stl", "trimesh", "open3d",
                                                      "meshlib", "vtk"]},
        "commit": commit,
        "date": time.strftime("%Y-%m-%d %H:%M:%S %Z"),
        "load_before": os.getloadavg(),
    }


def cpus_in_use(seconds: float = 2.0) -> float | None:
    """CPUs kept busy by all processes over `seconds` (from /proc/stat), or None where unknown."""
    def sample():
        with open("/proc/stat") as f:
            ticks = [int(x) for x in f.readline().split()[1:]]
        return sum(ticks), ticks[3] + ticks[4]  # idle and iowait
    try:
        total0, idle0 = sample()
        time.sleep(seconds)
        total1, idle1 = sample()
    except (OSError, ValueError, IndexError):
        return None
    if total1 == total0:
        return None
    return (1 - (idle1 - idle0) / (total1 - total0)) * (os.cpu_count() or 1)


def median_of(entry: dict | None) -> float | None:
    if not entry or "median" not in entry:
        return None
    return entry["median"]


def evaluate(r: dict) -> list[dict]:
    """The targets, each with its measured ratio and whether it holds."""
    t = r["timings"]
    out = []

    def add(name, value, limit, holds, detail):
        out.append({"target": name, "value": value, "limit": limit, "holds": holds, "detail": detail})

    main = wl.BINARY_MAIN.name
    q = median_of(t[main].get("quarvex"))
    for tool, limit in [("numpy-stl", 0.3), ("trimesh", 0.5), ("open3d", 1.0), ("meshlib", 0.35)]:
        p = median_of(t[main].get(tool))
        if q is None or p is None:
            add(f"binary 2M, 10k points: quarvex / {tool}", None, limit, None, f"{tool} not measured")
            continue
        ratio = q / p
        holds = ratio < limit if tool == "open3d" else ratio <= limit
        cmp = "<" if tool == "open3d" else "<="
        add(f"binary 2M, 10k points: quarvex / {tool} {cmp} {limit}", ratio, limit, holds,
            f"{q:.3f} s vs {p:.3f} s")
    f = median_of(t[main].get("floor-read"))
    if q is not None and f is not None:
        add("binary 2M, 10k points: quarvex / reading the bytes <= 3", q / f, 3.0, q / f <= 3.0,
            f"{q:.3f} s vs {f:.3f} s")

    shuffled = wl.BINARY_SHUFFLED.name
    qs = median_of(t[shuffled].get("quarvex"))
    if q is not None and qs is not None:
        add("binary 2M, random order / strip order <= 1.3", qs / q, 1.3, qs / q <= 1.3,
            f"{qs:.3f} s vs {q:.3f} s")

    asc = wl.ASCII_MAIN.name
    qa = median_of(t[asc].get("quarvex"))
    for tool, limit in [("numpy-stl", 0.3), ("meshlib", 0.5)]:
        pa = median_of(t[asc].get(tool))
        if qa is not None and pa is not None:
            add(f"ASCII 300k, 10k points: quarvex / {tool} <= {limit}", qa / pa, limit, qa / pa <= limit,
                f"{qa:.3f} s vs {pa:.3f} s")
    fa = median_of(t[asc].get("floor-read"))
    if qa is not None and fa is not None:
        add("ASCII 300k, 10k points: quarvex / reading the bytes <= 2.5", qa / fa, 2.5, qa / fa <= 2.5,
            f"{qa:.3f} s vs {fa:.3f} s")

    fc = r.get("first_call") or {}
    if "first_median" in fc:
        ratio = fc["first_median"] / fc["later_median"]
        add(f"bin-2M: first call in a fresh process / a later call <= 1.3 (medians over "
            f"{len(fc['first'])} processes)", ratio, 1.3, ratio <= 1.3,
            f"first {fc['first_median']:.3f} s (from {min(fc['first']):.3f} to {max(fc['first']):.3f}),"
            f" later {fc['later_median']:.3f} s")

    oh = r["output_heavy"]
    q1m, q10k = median_of(oh.get("quarvex_1M")), median_of(oh.get("quarvex_10k"))
    l1m, l10k = median_of(oh.get("floor_lists_1M")), median_of(oh.get("floor_lists_10k"))
    if None not in (q1m, q10k, l1m, l10k):
        share = q1m - q10k + l10k
        add("1M points: quarvex list building / building the same lists <= 1.3", share / l1m, 1.3,
            share / l1m <= 1.3,
            f"(1M call {q1m:.3f} s - 10k call {q10k:.3f} s + 10k lists {l10k:.4f} s) = {share:.3f} s"
            f" vs lists alone {l1m:.3f} s")

    sizes = wl.SWEEP
    for a, b in zip(sizes, sizes[1:]):
        ta, tb = median_of(t[a.name].get("quarvex")), median_of(t[b.name].get("quarvex"))
        if ta is None or tb is None:
            continue
        add(f"scaling {a.name} -> {b.name}: time ratio <= 2.2", tb / ta, 2.2, tb / ta <= 2.2,
            f"{ta:.3f} s -> {tb:.3f} s")

    for name, th in r["threads"].items():
        one, two = median_of(th.get("1")), median_of(th.get("2"))
        if one is None or two is None:
            continue
        add(f"{name}: 2 threads faster than 1", two / one, 1.0, two < one,
            f"1 thread {one:.3f} s, 2 threads {two:.3f} s")

    floor, threads = r["stream_floor"], r["quarvex_workers"]
    for name, w, limit in [("binary 2M strip order", wl.BINARY_MAIN, 5.0),
                           ("binary 2M random order", wl.BINARY_SHUFFLED, 5.5), ("ASCII 300k", wl.ASCII_MAIN, 4.0)]:
        qv, fs = median_of(t[w.name].get("quarvex")), median_of(t[w.name].get(floor))
        if qv is not None and fs is not None:
            add(f"{name}: quarvex / streaming floor on {threads} thread{'s' if threads > 1 else ''} <= {limit}",
                qv / fs, limit, qv / fs <= limit, f"{qv:.3f} s vs {fs:.4f} s ({floor})")

    for w in PIPE_TARGETS:
        qv, qp = median_of(t[w.name].get("quarvex")), median_of(t[w.name].get(PIPE_KEY))
        if qv is not None and qp is not None:
            add(f"{w.name} through a pipe / from the file <= 1.25", qp / qv, 1.25, qp / qv <= 1.25,
                f"{qp:.3f} s vs {qv:.3f} s")

    big = r.get("big_sweep") or {}
    b2, b20 = big.get(wl.BINARY_SHUFFLED.name, {}), big.get(wl.BIG_MAIN.name, {})
    q2, q20 = median_of(b2.get("quarvex")), median_of(b20.get("quarvex"))
    if q2 is not None and q20 is not None:
        scale = wl.BIG_MAIN.triangles / wl.BINARY_SHUFFLED.triangles
        ratio = q20 / (scale * q2)
        add(f"20M random order: time / ({scale:.0f} x the 2M random-order time) <= 1.15", ratio, 1.15,
            ratio <= 1.15, f"{q20:.3f} s vs {q2:.3f} s")
    f20 = median_of(b20.get(floor))
    if q20 is not None and f20 is not None:
        add(f"20M random order: quarvex / streaming floor on {threads} thread{'s' if threads > 1 else ''} <= 8",
            q20 / f20, 8.0, q20 / f20 <= 8.0, f"{q20:.3f} s vs {f20:.4f} s ({floor})")
    m20 = b20.get("memory") or {}
    if "above_bytes" in m20:
        ratio = m20["above_bytes"] / m20["file_bytes"]
        for limit in (1.0, 0.8):
            add(f"20M random order: peak RSS above the interpreter / file size <= {limit}", ratio, limit,
                ratio <= limit, f"{m20['above_bytes'] / 2**20:.0f} MiB above, file {m20['file_bytes'] / 2**20:.0f} MiB")
    busy = (b20.get("quarvex") or {}).get("cpu_per_wall")
    if busy is not None:
        add("20M random order: CPU seconds / wall seconds >= 1.75", busy, 1.75, busy >= 1.75,
            f"median over the runs, {r['machine']['usable_cpus']} CPUs")

    for row in (r.get("small_calls") or {}).get("rows", []):
        if row.get("threads") == 2 and "call" in row:
            us = row["call"] * 1e6
            for limit in (40.0, 30.0):
                add(f"{row['triangles']}-triangle file to {row['clusters']} points, per call, 2 workers <= {limit:.0f} us",
                    us, limit, us <= limit, f"{us:.1f} us a call; opening and reading the file "
                    f"{row['read'] * 1e6:.1f} us" + (f"; the result lists {row['lists'] * 1e6:.1f} us" if "lists" in row else ""))

    soup = r["memory"].get(f"{wl.SOUP.name}/quarvex") or {}
    soup_pipe = r["memory"].get(f"{wl.SOUP.name}/quarvex (through a pipe)") or {}
    if "above_bytes" in soup:
        ratio = soup["above_bytes"] / soup["file_bytes"]
        piped = (f"; through a pipe {soup_pipe['above_bytes'] / soup_pipe['file_bytes']:.2f} x"
                 if "above_bytes" in soup_pipe else "")
        for limit in (3.0, 2.5):
            add(f"1M triangles sharing no vertex, from the file: peak RSS above the interpreter / file size <= {limit}",
                ratio, limit, ratio <= limit, f"{soup['above_bytes'] / 2**20:.0f} MiB above, file "
                f"{soup['file_bytes'] / 2**20:.0f} MiB{piped}")

    for name, limit in [(main, 2.5), (shuffled, 1.6)]:
        m = r["memory"].get(f"{name}/quarvex")
        if m and "above_bytes" in m:
            ratio = m["above_bytes"] / m["file_bytes"]
            add(f"{name}: peak RSS above the interpreter <= {limit} x file size", ratio, limit, ratio <= limit,
                f"{m['above_bytes'] / 2**20:.1f} MiB above, file {m['file_bytes'] / 2**20:.1f} MiB")
    return out


def native_stages(path: Path, runs: int, threads: int | None = None) -> list[dict]:
    """Per-stage medians of bench/stages (built by run.sh) on one file, or [] without it."""
    exe = os.environ.get("QUARVEX_STAGES")
    if not exe or not Path(exe).exists():
        return []
    proc = subprocess.run([exe, str(path), str(REDUCED), str(runs)], capture_output=True, text=True,
                          env=clean_env(threads), timeout=1800)
    if proc.returncode != 0:
        log(f"stages failed: {proc.stderr.strip()}")
        return []
    rows = []
    for line in proc.stdout.splitlines():
        m = re.match(r"^(.*?)\s+([0-9.]+) s\s", line)
        if m:
            rows.append({"stage": m.group(1).strip(), "seconds": float(m.group(2))})
    return rows


INGEST_ALONE_ROUNDS = 3
# The workloads of the targets against the streaming floor, each with its target for the whole call.
INGEST_ALONE_TARGETS = [(wl.BINARY_MAIN, 5.0), (wl.BINARY_SHUFFLED, 5.5), (wl.ASCII_MAIN, 4.0),
                        (wl.ASCII_EXACT, 4.0), (wl.BIG_MAIN, 8.0)]


def ingest_alone(runs: int, small: bool) -> dict:
    """The ingest without its reads (bench/stages: a binary file's vertex merge, an ASCII
    file's facet parse, of the file in memory) and the streaming floor, in alternating rounds."""
    out: dict = {}
    for _ in range(INGEST_ALONE_ROUNDS):
        for w, _target in INGEST_ALONE_TARGETS:
            if small and w is wl.BIG_MAIN:
                continue
            wl.ensure(w)
            entry = out.setdefault(w.name, {"alone": [], "warm": [], "touch": [], "updates": [], "floor": []})
            rows = native_stages(w.path, runs)
            for key, prefix in [("alone", "merge alone"), ("alone", "facet parse alone"), ("warm", "merge again"),
                                ("touch", "fresh memory"), ("updates", "random line updates")]:
                entry[key] += [row["seconds"] for row in rows if row["stage"].startswith(prefix)]
            floor = time_tool(STREAM_FLOOR, w.path, REDUCED, runs)
            if "median" in floor:
                entry["floor"].append(floor["median"])
    return out


def ingest_alone_table(r: dict) -> list[str]:
    data = r.get("ingest_alone") or {}
    floor = r["stream_floor"]
    lines = ["## The ingest alone against the streaming floor (bench/stages)", "",
             "What a call costs beyond reading its file: a binary file's vertex merge, an ASCII file's "
             "facet parse, on the workers, of a copy of the file already in memory (no read in it, "
             f"no later stage), against {floor} on the same file, in {INGEST_ALONE_ROUNDS} alternating "
             "rounds. The call reads its file as well, into a reused buffer on the same cores, which "
             "costs about the floor itself: where the two together pass a target for the whole call, "
             "that target is out of reach for this merge or parse, whatever the later stages cost. "
             "For a binary file, three more columns split the merge (bench/stages): the same merge "
             "again into its tables, now touched and holding every key (the lookups alone); fresh "
             "memory of the tables' size touched once per page (page faults and clearing alone); and "
             "what the hardware allows any merge that keeps its sums in tables of this size: one "
             "update of a random cache line per corner, in memory of the tables' size already "
             "touched, on the same cores.", "",
             f"| workload | ingest alone s | {floor} s | × {floor} | with the read (+ 1) | target for the whole call "
             f"| merge again, warm × {floor} | fresh memory touched × {floor} | random line updates × {floor} |",
             "|---|---|---|---|---|---|---|---|---|"]
    for w, target in INGEST_ALONE_TARGETS:
        entry = data.get(w.name) or {}
        if not entry.get("alone") or not entry.get("floor"):
            continue
        alone, fs = statistics.median(entry["alone"]), statistics.median(entry["floor"])
        split = [f"{statistics.median(entry[k]) / fs:.2f}" if entry.get(k) else "—" for k in ("warm", "touch", "updates")]
        lines.append(f"| {w.name} | {alone:.4f} | {fs:.4f} | {alone / fs:.2f} | {alone / fs + 1:.2f} | <= {target:g} "
                     f"| {' | '.join(split)} |")
    return lines + [""] if len(lines) > 6 else []


def stages_table(r: dict) -> list[str]:
    rows = r.get("stages") or []
    if not rows:
        return []
    main = wl.BINARY_MAIN.name
    floor = median_of(r["timings"][main].get("floor-read"))
    lines = [f"## Where the time goes: {main}, native, per stage (bench/stages)", "",
             "Each stage of one reduction timed on its own, without the interpreter (median of "
             f"{r['runs']} runs of each). Ratios are to the floor-read median above.", "",
             "| stage | median s | × floor-read |", "|---|---|---|"]
    for row in rows:
        ratio = f"{row['seconds'] / floor:.2f}" if floor else "—"
        lines.append(f"| {row['stage']} | {row['seconds']:.4f} | {ratio} |")
    lines.append("")
    by_name = {row["stage"]: row["seconds"] for row in rows}
    later = ["point records and bounds", "cell accumulation"]
    if floor and all(p in by_name for p in later):
        rest = sum(by_name[p] for p in later)
        lines += [
            "The stages after the read and merge (normalising the records, the bounds, the "
            f"cell count) take {rest:.4f} s on both cores, {rest / floor:.2f} × floor-read, on top of "
            "the read and merge, which itself cannot take less than one read of the bytes spread "
            "over the cores.", ""]
    return lines


def ascii_threads_table(r: dict) -> list[str]:
    rounds = r.get("ascii_stages_by_threads") or {}
    if not all(rounds.get(k) and all(rounds[k]) for k in ("1", "2")):
        return []
    def medians(runs: list[list[dict]]) -> dict:
        times: dict = {}
        for rows in runs:
            for row in rows:
                times.setdefault(row["stage"], []).append(row["seconds"])
        return {k: statistics.median(v) for k, v in times.items()}
    one, two = medians(rounds["1"]), medians(rounds["2"])
    shown = ["read + merge (read_mesh_file)", "point records (normalise)", "bounds",
             "cell accumulation", "TOTAL (without lists)"]
    lines = [f"## {wl.ASCII_MAIN.name}: native stages with 1 and 2 threads (bench/stages)", "",
             "Every stage, the text parse and the vertex merge included, runs as parallel loops. "
             "Medians over three alternating rounds of 5 runs per setting.", "",
             "| stage | 1 thread s | 2 threads s |", "|---|---|---|"]
    for name in shown:
        if name in one and name in two:
            lines.append(f"| {name} | {one[name]:.4f} | {two[name]:.4f} |")
    parallel = shown[:4]
    if all(p in one and p in two for p in parallel) and "TOTAL (without lists)" in one:
        p1, p2 = sum(one[p] for p in parallel), sum(two[p] for p in parallel)
        saved = 100 * (p1 - p2) / one["TOTAL (without lists)"]
        text = (f"The parallel stages take {p1:.4f} s with one thread and {p2:.4f} s with two: "
                f"{p1 - p2:.4f} s saved, {saved:.1f}% of the call.")
        calls = (r.get("threads", {}).get(wl.ASCII_MAIN.name, {}).get("1") or {}).get("times") or []
        if len(calls) >= 4:
            q = statistics.quantiles(calls, n=4)
            spread = 100 * (q[2] - q[0]) / statistics.median(calls)
            text += (f" The whole call's runs with one thread spread over {spread:.1f}% "
                     "(interquartile range over the median)")
            text += (", more than that saving, so the call's medians with 1 and 2 threads can "
                     "come out either way on ASCII input." if spread > saved else ".")
        lines += ["", text]
    lines.append("")
    return lines


def fmt_time(v: float | None) -> str:
    return "—" if v is None else f"{v:.3f}"


def ratio_table(r: dict, level: str = "##") -> list[str]:
    t = r["timings"]
    lines = []
    lines.append(f"{level} Reduce to 10,000 points: median seconds, and each peer as a multiple of quarvex")
    lines.append("")
    head = "| workload | triangles | file MiB | quarvex s | " + " | ".join(
        f"{p} s (× quarvex)" for p in PEER_TOOLS + FLOORS) + " |"
    lines.append(head)
    lines.append("|" + "---|" * (4 + len(PEER_TOOLS) + len(FLOORS)))
    for w in wl.ALL:
        row = t.get(w.name, {})
        q = median_of(row.get("quarvex"))
        cells = [w.name, f"{w.triangles:,}", f"{w.path.stat().st_size / 2**20:.1f}", fmt_time(q)]
        for p in PEER_TOOLS + FLOORS:
            v = median_of(row.get(p))
            if v is None:
                err = (row.get(p) or {}).get("error")
                cells.append("not run" + (f" ({err})" if err else ""))
            else:
                cells.append(f"{v:.3f} ({v / q:.2f}×)" if q else f"{v:.3f}")
        lines.append("| " + " | ".join(cells) + " |")
    lines.append("")
    return lines


def pipe_table(r: dict) -> list[str]:
    rows = []
    for w in PIPED:
        row = r["timings"].get(w.name, {})
        qv, qp = median_of(row.get("quarvex")), median_of(row.get(PIPE_KEY))
        floor = median_of(row.get(PIPE_FLOOR_KEY))
        if qv is not None and qp is not None:
            alone = f"{floor:.3f} ({floor / qv:.2f}×)" if floor is not None else "not run"
            rows.append(f"| {w.name} | {qv:.3f} | {qp:.3f} | {qp / qv:.2f}× | {alone} |")
    if not rows:
        return []
    return ["## Through a pipe, 10,000 points", "",
            "quarvex reading the file, and reading it from a pipe that `cat` fills (named as /dev/fd/N), "
            "timed in the same rounds; `cat`'s CPU shares the machine with the call. The last column is "
            "the same pipe read through one reused 1 MiB buffer by a reader that does nothing else "
            "(against the file call): the transfer alone, before any parsing or merging.", "",
            "| workload | from the file s | through a pipe s | pipe / file | the pipe alone s (/ file) |",
            "|---|---|---|---|---|", *rows, ""]


def big_sweep_table(r: dict) -> list[str]:
    big = r.get("big_sweep") or {}
    if not big:
        return []
    floor = r["stream_floor"]
    lines = ["## Size sweep in random triangle order, 10,000 points", "",
             f"quarvex and the streaming floors in {SWEEP_ROUNDS} rounds over the sizes; × {floor} is "
             f"quarvex over the floor on as many threads as quarvex's {r['quarvex_workers']} workers; "
             "CPU / wall is the process's CPU seconds (all threads) over the wall seconds of each run, "
             "median; peak RSS as under Peak memory.", "",
             f"| workload | triangles | file MiB | quarvex s | ns per triangle | × {floor} | "
             f"{STREAM_FLOOR_1} s | {floor} s | CPU / wall | peak RSS above interpreter / file |",
             "|---|---|---|---|---|---|---|---|---|---|"]
    for w in wl.BIG_SWEEP:
        row = big.get(w.name, {})
        q, f1, f2 = (median_of(row.get(k)) for k in ("quarvex", STREAM_FLOOR_1, floor))
        busy = (row.get("quarvex") or {}).get("cpu_per_wall")
        mem = row.get("memory") or {}
        rss = f"{mem['above_bytes'] / mem['file_bytes']:.2f}" if "above_bytes" in mem else "—"
        lines.append(f"| {w.name} | {w.triangles:,} | {w.path.stat().st_size / 2**20:.0f} | {fmt_time(q)} | "
                     + (f"{q / w.triangles * 1e9:.1f}" if q else "—") + " | "
                     + (f"{q / f2:.2f}" if q and f2 else "—") + f" | {fmt_time(f1)} | {fmt_time(f2)} | "
                     + (f"{busy:.2f}" if busy is not None else "—") + f" | {rss} |")
    ml = median_of(big.get(wl.BIG_MAIN.name, {}).get("meshlib"))
    q20 = median_of(big.get(wl.BIG_MAIN.name, {}).get("quarvex"))
    if ml:
        lines += ["", f"meshlib on {wl.BIG_MAIN.name}: {ml:.2f} s" + (f" ({ml / q20:.1f}× quarvex)." if q20 else ".")]
    lines += ["", "![size sweep](size_sweep.png)", ""]
    return lines


def small_calls_table(r: dict) -> list[str]:
    sc = r.get("small_calls")
    if not sc:
        return []
    return [f"## Per call on a small file: {SMALL_CALL_TRIANGLES} triangles to {SMALL_CALL_CLUSTERS} points, "
            "warm process (bench/small_calls.py)", "",
            f"Median over {SMALL_CALL_ROUNDS} rounds of the median of five batches of calls, fresh process per round and "
            "worker count; the floors, timed in the same process: `open` + `read` of the file in Python, "
            "and the result lists made from two ready arrays and freed.", ""] \
        + small_calls.table(sc) + [""]


def targets_table(targets: list[dict]) -> list[str]:
    lines = ["| target | measured | holds | detail |", "|---|---|---|---|"]
    for tg in targets:
        val = "—" if tg["value"] is None else f"{tg['value']:.3f}"
        holds = "—" if tg["holds"] is None else ("yes" if tg["holds"] else "**no**")
        lines.append(f"| {tg['target']} | {val} | {holds} | {tg['detail']} |")
    lines.append("")
    return lines


README_START = "<!-- results:start (written by run.py) -->"
README_END = "<!-- results:end -->"


def update_readme(r: dict, targets: list[dict]) -> None:
    """Copies the ratio and target tables of a full run into bench/README.md."""
    readme = BENCH / "README.md"
    text = readme.read_text()
    if README_START not in text or README_END not in text:
        return
    m = r["machine"]
    block = [README_START, "",
             f"From the run of {m['date']} (commit {m['commit']}) on {m['cpu']}, {m['usable_cpus']} CPUs, "
             f"Python {m['python']}; load average at start {m['load_before'][0]:.2f}."
             + (f" {r['load_warning']}" if r.get("load_warning") else ""), ""]
    block += ratio_table(r, "###")
    block += ["### Targets", ""] + targets_table(targets)
    block.append(README_END)
    head, rest = text.split(README_START, 1)
    tail = rest.split(README_END, 1)[1]
    readme.write_text(head + "\n".join(block) + tail)


def write_markdown(r: dict, targets: list[dict]) -> str:
    m = r["machine"]
    t = r["timings"]
    lines = ["# quarvex benchmark results", ""]
    lines.append(f"Run {m['date']}, commit {m['commit'] or 'unknown'}: medians of {r['runs']} timed runs "
                 f"for the peers and {max(r['runs'], r.get('cheap_runs', 0))} for quarvex and the floors "
                 f"(quarvex and the floors in {SWEEP_ROUNDS} rounds over all workloads), each after one "
                 "untimed warm-up run, every tool in its own fresh process.")
    lines.append("")
    lines.append("## Machine")
    lines.append("")
    lines.append(f"- CPU: {m['cpu']}, {m['logical_cpus']} logical CPUs ({m['usable_cpus']} usable"
                 + (f", cgroup cpu.max `{m['cgroup_cpu_max']}`" if m['cgroup_cpu_max'] else "") + ")"
                 + (f"; caches seen by CPU 0: {m['caches']}" if m.get('caches') else ""))
    lines.append(f"- Memory: {m['memory']}; Linux {m['kernel']}")
    lines.append(f"- Python {m['python']}; " + ", ".join(f"{k} {v}" for k, v in m["versions"].items()))
    lb, la = m["load_before"], r.get("load_after")
    busy = r.get("cpus_in_use_before")
    lines.append(f"- Load average at start {lb[0]:.2f} / {lb[1]:.2f} / {lb[2]:.2f}"
                 + (f", at end {la[0]:.2f} / {la[1]:.2f} / {la[2]:.2f}" if la else "")
                 + (f"; CPUs in use by other work just before the timings: {busy:.2f}" if busy is not None else ""))
    if r.get("load_warning"):
        lines.append(f"- **{r['load_warning']}**")
    lines.append(f"- quarvex's workers: {r['quarvex_workers']}; the streaming floor of every × floor ratio "
                 f"and target is `{r['stream_floor']}`, the file streamed on as many threads")
    lines.append("")

    lines += ratio_table(r)
    lines += pipe_table(r)

    oh = r["output_heavy"]
    lines.append(f"## Output-heavy: {wl.BINARY_MAIN.name} reduced to 1,000,000 points")
    lines.append("")
    lines.append("| measurement | median s |")
    lines.append("|---|---|")
    for key, label in [("quarvex_1M", "quarvex, 1,000,000 points"),
                       ("quarvex_10k", "quarvex, 10,000 points (same file)"),
                       ("floor_lists_1M", "floor: two (1M,3) float32 arrays → lists (`tolist`)"),
                       ("floor_lists_10k", "floor: two (10k,3) float32 arrays → lists")]:
        lines.append(f"| {label} | {fmt_time(median_of(oh.get(key)))} |")
    lines.append("")

    lines.append("## Threads (RAYON_NUM_THREADS), quarvex, 10,000 points")
    lines.append("")
    lines.append("| workload | 1 thread s | 2 threads s | speed-up |")
    lines.append("|---|---|---|---|")
    for name, th in r["threads"].items():
        one, two = median_of(th.get("1")), median_of(th.get("2"))
        sp = f"{one / two:.2f}×" if one and two else "—"
        lines.append(f"| {name} | {fmt_time(one)} | {fmt_time(two)} | {sp} |")
    lines.append("")

    fc = r.get("first_call") or {}
    if "first_median" in fc:
        lines.append(f"## First call in a fresh process: {wl.BINARY_MAIN.name}, 10,000 points")
        lines.append("")
        lines.append(f"Each of {len(fc['first'])} fresh processes times its first call, then 3 more; "
                     "the file is in the page cache.")
        lines.append("")
        lines.append("| | median s | min s | max s |")
        lines.append("|---|---|---|---|")
        for key, label in [("first", "first call"), ("later", "later calls (median per process)")]:
            v = fc[key]
            lines.append(f"| {label} | {statistics.median(v):.4f} | {min(v):.4f} | {max(v):.4f} |")
        lines.append("")

    lines.append("## Peak memory (max RSS of one run, minus the same process that only imports the tool)")
    lines.append("")
    lines.append("| workload / tool | points | peak MiB | above baseline MiB | × file size "
                 "| call's own peak above RSS before it, MiB (× file) |")
    lines.append("|---|---|---|---|---|---|")
    for key, mem in r["memory"].items():
        if "above_bytes" not in mem:
            lines.append(f"| {key} | | failed | | | |")
            continue
        call = mem.get("call_above_bytes")
        call_text = "—" if call is None else f"{call / 2**20:.1f} ({call / mem['file_bytes']:.2f}×)"
        lines.append(f"| {key} | {mem.get('points', REDUCED):,} | {mem['peak_kib'] / 1024:.1f} | "
                     f"{mem['above_bytes'] / 2**20:.1f} | {mem['above_bytes'] / mem['file_bytes']:.2f} | "
                     f"{call_text} |")
    lines.append("")

    lines += big_sweep_table(r)
    lines += small_calls_table(r)
    lines += stages_table(r)
    lines += ascii_threads_table(r)
    lines += ingest_alone_table(r)

    lines.append("## Targets")
    lines.append("")
    lines += targets_table(targets)
    lines.append("![time against mesh size](time_vs_size.png)")
    lines.append("")
    return "\n".join(lines)


def write_plot(r: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 5), dpi=110)
    xs = [w.triangles for w in wl.SWEEP]
    floor, threads = r["stream_floor"], r["quarvex_workers"]
    for tool, style in [("quarvex", "o-"), ("numpy-stl", "s--"), ("trimesh", "^--"),
                        ("open3d", "d--"), ("meshlib", "v--"), ("vtk", "p--"), ("floor-read", "x:"),
                        (floor, "+:")]:
        ys = [median_of(r["timings"][w.name].get(tool)) for w in wl.SWEEP]
        pts = [(x, y) for x, y in zip(xs, ys) if y is not None]
        if pts:
            label = {"floor-read": "read bytes (np.fromfile)",
                     floor: f"stream bytes (reused 1 MiB buffer, {threads} threads)"}.get(tool, tool)
            ax.plot([p[0] for p in pts], [p[1] for p in pts], style, label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("triangles (binary STL)")
    ax.set_ylabel("seconds, file to 10,000 points (median)")
    m = r["machine"]
    ax.set_title(f"STL to 10k points — {m['cpu']}, {m['usable_cpus']} CPUs, Python {m['python']}",
                 fontsize=9)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def write_sweep_plot(r: dict, path: Path) -> None:
    """Time per triangle, peak RSS per file byte and CPU per wall second against the size."""
    big = r.get("big_sweep") or {}
    if not big:
        return
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 3, figsize=(13, 4.2), dpi=110)
    xs = [w.triangles for w in wl.BIG_SWEEP]
    rows = [big.get(w.name, {}) for w in wl.BIG_SWEEP]

    def plot(ax, values, style, label):
        pts = [(x, y) for x, y in zip(xs, values) if y is not None]
        if pts:
            ax.plot([p[0] for p in pts], [p[1] for p in pts], style, label=label)

    for tool, style in {"quarvex": "o-", STREAM_FLOOR_1: "x:", r["stream_floor"]: "+:"}.items():
        plot(axes[0], [median_of(row.get(tool)) and median_of(row.get(tool)) / x * 1e9
                       for row, x in zip(rows, xs)], style, tool)
        plot(axes[2], [(row.get(tool) or {}).get("cpu_per_wall") for row in rows], style, tool)
    plot(axes[1], [row["memory"]["above_bytes"] / row["memory"]["file_bytes"]
                   if "above_bytes" in (row.get("memory") or {}) else None for row in rows], "o-", "quarvex")
    for ax, label in zip(axes, ["ns per triangle (median)", "peak RSS above the interpreter / file size",
                                "CPU seconds / wall seconds"]):
        ax.set_xscale("log")
        ax.set_xticks(xs, [f"{x / 1e6:g}M" for x in xs])
        ax.minorticks_off()
        ax.set_xlabel("triangles (binary STL, random order)")
        ax.set_ylabel(label)
        ax.set_ylim(bottom=0)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    m = r["machine"]
    fig.suptitle(f"Size sweep, 10k points — {m['cpu']}, {m['usable_cpus']} CPUs, Python {m['python']}", fontsize=9)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--runs", type=int, default=5, help="timed runs per measurement (default 5)")
    ap.add_argument("--cheap-runs", type=int, default=15,
                    help="timed runs for quarvex and the floors (default 15, at least --runs)")
    ap.add_argument("--tools", default=None,
                    help="comma-separated tools to time (default: all; the streaming floor on quarvex's "
                         "N workers is floor-stream-N, floor-stream streams on 1 thread)")
    ap.add_argument("--out", default=str(RESULTS), help="results directory")
    ap.add_argument("--small", action="store_true",
                    help="leave out the size sweep in random order (5M to 20M triangles, 1.75 GB of files)")
    args = ap.parse_args()
    workers = quarvex_workers()
    set_stream_floor(workers)
    log(f"quarvex runs on {workers} workers: the streaming floor is {STREAM_FLOOR}")
    tools = [t for t in (args.tools or ",".join(TIMED_TOOLS)).split(",") if t]
    global CHEAP_RUNS
    CHEAP_RUNS = args.cheap_runs
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    began = time.perf_counter()

    r: dict = {"runs": args.runs, "cheap_runs": args.cheap_runs, "machine": machine_description(), "timings": {},
               "output_heavy": {}, "threads": {}, "memory": {}, "quarvex_workers": workers,
               "stream_floor": STREAM_FLOOR}

    log("== workloads")
    for w in wl.ALL + ([] if args.small else wl.BIG_SWEEP[1:]):
        wl.ensure(w)
        log(f"  {w.name:12s} {w.triangles:>10,d} triangles {w.path.stat().st_size / 2**20:8.1f} MiB")

    # Judged by what other work uses now, while this process sleeps: the load average still
    # counts the build and the mesh generation that just ended.
    in_use = cpus_in_use()
    r["cpus_in_use_before"] = in_use
    if in_use is not None and in_use > 0.5 * (r["machine"]["usable_cpus"] or 1):
        r["load_warning"] = (f"The machine was busy at the start (other work used {in_use:.2f} CPUs): "
                             "absolute times and ratios are less reliable.")
        log("warning: " + r["load_warning"])

    log(f"== reduce to {REDUCED:,} points, median of {args.runs}")
    cheap = [t for t in tools if t in CHEAP_TOOLS]
    for w in wl.ALL:
        log(f"  {w.name}")
        r["timings"][w.name] = {tool: time_tool(tool, w.path, REDUCED, args.runs)
                                for tool in tools if tool not in cheap}
    # quarvex and the byte read run in rounds over all workloads, so that every size sees
    # the same drift of a shared machine and the scaling ratios compare sizes, not moments.
    log(f"== quarvex and the floors in {SWEEP_ROUNDS} rounds over the workloads")
    # The binary 2M files and the ASCII one also through a pipe, beside their file calls.
    for _ in range(SWEEP_ROUNDS):
        for w in wl.ALL:
            runs = max(1, -(-CHEAP_RUNS // SWEEP_ROUNDS))
            for tool in cheap:
                pool_into(r["timings"][w.name], tool, time_tool(tool, w.path, REDUCED, 1, exact_runs=runs))
            if "quarvex" in cheap and w in PIPED:
                pool_into(r["timings"][w.name], PIPE_KEY,
                          time_tool("quarvex", f"pipe:{w.path}", REDUCED, 1, exact_runs=runs))
                pool_into(r["timings"][w.name], PIPE_FLOOR_KEY,
                          time_tool("floor-pipe", f"pipe:{w.path}", REDUCED, 1, exact_runs=runs))

    log(f"== output-heavy: {OUTPUT_HEAVY:,} points from {wl.BINARY_MAIN.name}")
    oh = r["output_heavy"]
    if "quarvex" in tools:
        oh["quarvex_1M"] = time_tool("quarvex", wl.BINARY_MAIN.path, OUTPUT_HEAVY, args.runs)
        oh["quarvex_10k"] = r["timings"][wl.BINARY_MAIN.name]["quarvex"]
    oh["floor_lists_1M"] = time_tool("floor-lists", "-", OUTPUT_HEAVY, args.runs)
    oh["floor_lists_10k"] = time_tool("floor-lists", "-", REDUCED, args.runs)

    if "quarvex" in tools:
        log(f"== per call on a {SMALL_CALL_TRIANGLES}-triangle file to {SMALL_CALL_CLUSTERS} points, 1 and 2 workers")
        r["small_calls"] = small_calls.run({"quarvex": ""}, [SMALL_CALL_TRIANGLES], SMALL_CALL_CLUSTERS, [1, 2],
                                           rounds=SMALL_CALL_ROUNDS, calls=2000, log=log)
    if not args.small:
        log("== size sweep in random order: " + ", ".join(w.name for w in wl.BIG_SWEEP))
        r["big_sweep"] = big_sweep(tools, args.runs)

    if "quarvex" in tools:
        log(f"== first call in {FIRST_CALL_PROCESSES} fresh processes, {wl.BINARY_MAIN.name}")
        r["first_call"] = first_calls(wl.BINARY_MAIN.path)
        log("== threads")
        for w in [wl.BINARY_MAIN, wl.ASCII_MAIN]:
            log(f"  {w.name}")
            r["threads"][w.name] = thread_sweep(w.path, args.runs)

    log("== native stages")
    r["stages"] = native_stages(wl.BINARY_MAIN.path, max(args.runs, 7))
    # Where two threads can help on the ASCII workload: the same stages with 1 and 2
    # threads, alternating, so both see the same drift of the machine.
    ascii_rounds: dict = {"1": [], "2": []}
    for _ in range(3):
        for n in (1, 2):
            ascii_rounds[str(n)].append(native_stages(wl.ASCII_MAIN.path, 5, threads=n))
    r["ascii_stages_by_threads"] = ascii_rounds
    log("== the ingest alone, file in memory, against the streaming floor")
    r["ingest_alone"] = ingest_alone(5, args.small)

    log("== peak memory")
    baselines: dict = {}
    mem_cases = []
    if "quarvex" in tools:
        mem_cases += [(w, "quarvex", REDUCED) for w in wl.ALL]
        mem_cases.append((wl.BINARY_MAIN, "quarvex", OUTPUT_HEAVY))
        wl.ensure(wl.SOUP)
        for pipe in (False, True):
            key = f"{wl.SOUP.name}/quarvex" + (" (through a pipe)" if pipe else "")
            log(f"  {key}")
            r["memory"][key] = peak_memory("quarvex", wl.SOUP.path, REDUCED, baselines, pipe=pipe)
            r["memory"][key]["points"] = REDUCED
    mem_cases += [(w, p, REDUCED) for w in (wl.BINARY_MAIN, wl.BINARY_SHUFFLED, wl.ASCII_MAIN)
                  for p in PEER_TOOLS if p in tools]
    for w, tool, clusters in mem_cases:
        key = f"{w.name}/{tool}" + ("" if clusters == REDUCED else f" ({clusters:,} points)")
        log(f"  {key}")
        entry = peak_memory(tool, w.path, clusters, baselines)
        entry["points"] = clusters
        r["memory"][key] = entry

    r["load_after"] = os.getloadavg()
    r["elapsed_s"] = time.perf_counter() - began
    targets = evaluate(r)
    r["targets"] = targets
    (out / "results.json").write_text(json.dumps(r, indent=1, default=str))
    (out / "results.md").write_text(write_markdown(r, targets))
    write_plot(r, out / "time_vs_size.png")
    write_sweep_plot(r, out / "size_sweep.png")
    if out.resolve() == RESULTS.resolve() and set(tools) >= set(TIMED_TOOLS) and not args.small:
        update_readme(r, targets)

    log("== targets")
    for tg in targets:
        state = "n/a " if tg["holds"] is None else ("HOLDS" if tg["holds"] else "FAILS")
        val = "—" if tg["value"] is None else f"{tg['value']:.3f}"
        log(f"  [{state}] {tg['target']}: {val}  ({tg['detail']})")
    log(f"results in {out}/results.md (whole run {r['elapsed_s'] / 60:.1f} min)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
