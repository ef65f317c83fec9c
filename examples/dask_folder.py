#!/usr/bin/env python3
"""Reduce every STL file of a folder in parallel with Dask's distributed scheduler.

    python examples/dask_folder.py FOLDER CLUSTERS [--workers N] [--scheduler ADDRESS] [--out DIR]

Each file becomes one task that calls quarvex.reduce_stl_points(file, CLUSTERS) on a Dask
worker. Without --scheduler the script starts a LocalCluster of N worker processes on this
machine; with --scheduler tcp://host:8786 the very same tasks go to a running multi-node
cluster instead, whose workers must have quarvex installed and see FOLDER under the same
path (a shared file system).

Why processes and one thread per worker: quarvex keeps the interpreter lock for the whole
call and spreads the work over its own native threads, so one call per process at a time is
the useful unit. On a LocalCluster the native threads are split between the processes by
setting RAYON_NUM_THREADS (unless it is already set).

Prints one line per file as it finishes and a total; with --out DIR also writes
DIR/<name>.csv with the columns x, y, z, nx, ny, nz. A file that cannot be read is reported
with quarvex's message and does not stop the others. Exit status: 0 if every file was
reduced, 1 if any failed, 2 for bad arguments. Needs quarvex and dask[distributed] only.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from array import array
from itertools import chain
from pathlib import Path
from typing import Any


def reduce_file(path: str, clusters: int) -> dict[str, Any]:
    """One task, run on a worker: the points of one file, or the reason it could not be read."""
    import quarvex
    from distributed import get_worker

    start = time.perf_counter()
    try:
        positions, normals = quarvex.reduce_stl_points(path, clusters)
    except OSError as error:
        return {"path": path, "error": str(error)}
    # x, y, z, nx, ny, nz of each point in turn, as 32-bit floats (exactly the module's
    # values): a compact payload back to the client.
    points = array("f", chain.from_iterable(p + n for p, n in zip(positions, normals)))
    return {
        "path": path,
        "points": points,
        "seconds": time.perf_counter() - start,
        "worker": get_worker().address,
    }


def stl_files(folder: Path) -> list[Path]:
    return sorted(p.resolve() for p in folder.iterdir() if p.is_file() and p.suffix.lower() == ".stl")


def write_csv(path: Path, points: array) -> None:
    """One line per point; nine significant digits bring every 32-bit float back exactly."""
    with path.open("w") as csv:
        csv.write("x,y,z,nx,ny,nz\n")
        for i in range(0, len(points), 6):
            csv.write(",".join(f"{v:.9g}" for v in points[i : i + 6]) + "\n")


def run(client: Any, files: list[Path], clusters: int, out: Path | None) -> int:
    from distributed import as_completed

    # pure=False: the results are random, so equal arguments must not share one cached result.
    futures = client.map(reduce_file, [str(p) for p in files], clusters=clusters, pure=False)
    failed = total = 0
    for future in as_completed(futures):
        result = future.result()
        name = Path(result["path"]).name
        if "error" in result:
            failed += 1
            print(f"{name:30} FAILED  {result['error']}", flush=True)
            continue
        points = result["points"]
        count = len(points) // 6
        total += count
        print(f"{name:30} {count:8d} points  {result['seconds'] * 1000:8.1f} ms  on {result['worker']}",
              flush=True)
        if out is not None:
            write_csv(out / (Path(name).stem + ".csv"), points)
    print(f"{len(files) - failed} of {len(files)} files reduced, {total} points in all")
    return 1 if failed else 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Reduce every STL file of a folder with Dask.")
    parser.add_argument("folder", type=Path, help="folder whose *.stl files are reduced")
    parser.add_argument("clusters", type=int, help="number of points per file")
    parser.add_argument("--workers", type=int, default=2, metavar="N",
                        help="worker processes of the local cluster (default 2)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="use a running Dask cluster at this address instead of a local one")
    parser.add_argument("--out", type=Path, metavar="DIR", help="write one CSV of points per file here")
    args = parser.parse_args(argv)
    if not args.folder.is_dir():
        parser.error(f"{args.folder} is not a folder")
    if args.workers < 1:
        parser.error("--workers must be at least 1")
    files = stl_files(args.folder)
    if not files:
        parser.error(f"no .stl files in {args.folder}")
    if args.out is not None:
        args.out.mkdir(parents=True, exist_ok=True)

    from distributed import Client, LocalCluster

    if args.scheduler:
        with Client(args.scheduler) as client:
            return run(client, files, args.clusters, args.out)
    # Worker processes inherit the environment: give each an equal share of the CPUs.
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    os.environ.setdefault("RAYON_NUM_THREADS", str(max(1, cpus // args.workers)))
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        return run(client, files, args.clusters, args.out)


if __name__ == "__main__":
    sys.exit(main())
