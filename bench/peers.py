"""The pipelines under comparison, and the worker that times one of them.

Each pipeline is a whole step from the STL file to the reduced points, ending in the
same kind of result quarvex returns: two lists of [x, y, z] lists of Python floats.
Imports happen inside the pipelines' loaders so that a worker process carries only
the libraries of the tool it measures (this matters for the peak-memory baseline).

Worker use (one tool, one workload, one process):
    python peers.py time TOOL PATH CLUSTERS RUNS   -> JSON {"times": [...], "cpu": [...], "points": m}
    python peers.py once TOOL PATH CLUSTERS        -> one run; JSON {"rss_before_kib", "call_peak_kib"}
    (in both, PATH "pipe:FILE" is FILE through a pipe that `cat` fills, one per run)
    python peers.py first TOOL PATH CLUSTERS RUNS  -> the process's first call, then RUNS later
                                                      ones; JSON {"first": s, "later": [...]}
    python peers.py baseline TOOL                  -> imports only (memory baseline)
    python peers.py workers                        -> JSON {"workers": n}, quarvex's pool size
    python peers.py rss MODE ARGS...               -> runs "MODE ARGS" in a child; JSON with
                                                      the child's max RSS and its own report
"""

from __future__ import annotations

import contextlib
import gc
import json
import sys
import time


# --- grid selection shared by the numpy-based peers -------------------------------

def grid_select(points, normals, clusters, rng):
    """One uniformly random point per occupied grid cell, then shuffle and cut down
    to `clusters` or top up with random points: the job quarvex does, in numpy."""
    import numpy as np

    # n cells per axis over the bounding box, as quarvex lays its grid.
    n = int(np.ceil(np.float32(clusters) ** np.float32(1.0 / 3.0)))
    lo = points.min(axis=0)
    hi = points.max(axis=0)
    extent = (hi - lo) + np.float32(2.0**-23)
    idx = np.floor((points - lo) / extent * n).astype(np.int64)
    np.clip(idx, 0, max(n - 1, 0), out=idx)
    keys = (idx[:, 2] * n + idx[:, 1]) * n + idx[:, 0]
    # The first occurrence of each key in a random permutation is a uniform pick per cell.
    order = rng.permutation(len(keys))
    _, first = np.unique(keys[order], return_index=True)
    chosen = order[first]
    rng.shuffle(chosen)
    if len(chosen) > clusters:
        chosen = chosen[:clusters]
    elif len(chosen) < clusters and len(points):
        extra = rng.integers(0, len(points), clusters - len(chosen))
        chosen = np.concatenate([chosen, extra])
    return points[chosen].tolist(), normals[chosen].tolist()


def unit_rows(v):
    import numpy as np

    length = np.linalg.norm(v, axis=1, keepdims=True)
    length[length == 0] = 1
    return v / length


# --- pipelines: load() returns a callable run(path, clusters) ------------------------

def load_quarvex():
    import quarvex

    return quarvex.reduce_stl_points


def load_numpy_stl():
    import numpy as np
    from stl import mesh

    def run(path, clusters):
        # Stored normals, as quarvex uses them (no recomputation on load).
        m = mesh.Mesh.from_file(path, calculate_normals=False)
        corners = m.vectors.reshape(-1, 3)
        points, inverse = np.unique(corners, axis=0, return_inverse=True)
        inverse = inverse.reshape(-1)
        summed = np.zeros_like(points)
        np.add.at(summed, inverse, np.repeat(m.normals, 3, axis=0))
        normals = unit_rows(summed)
        return grid_select(points, normals, clusters, np.random.default_rng())

    return run


def load_trimesh():
    import numpy as np
    import trimesh

    def run(path, clusters):
        tm = trimesh.load_mesh(path)  # merges vertices on load
        normals = tm.vertex_normals
        return grid_select(tm.vertices, normals, clusters, np.random.default_rng())

    return run


def load_open3d():
    import numpy as np
    import open3d as o3d

    o3d.utility.set_verbosity_level(o3d.utility.VerbosityLevel.Error)

    def run(path, clusters):
        m = o3d.io.read_triangle_mesh(path)
        # The STL reader keeps one vertex per corner; merge them so normals are shared.
        m.remove_duplicated_vertices()
        m.compute_vertex_normals()
        pcd = o3d.geometry.PointCloud(m.vertices)
        pcd.normals = m.vertex_normals
        lo = pcd.get_min_bound()
        hi = pcd.get_max_bound()
        n = int(np.ceil(np.float32(clusters) ** np.float32(1.0 / 3.0)))
        # A cubic voxel of the same volume as quarvex's (non-cubic) grid cell.
        cell = (hi - lo) / max(n, 1)
        voxel = float(np.prod(np.maximum(cell, 1e-12)) ** (1.0 / 3.0))
        down = pcd.voxel_down_sample(voxel)
        return np.asarray(down.points).tolist(), np.asarray(down.normals).tolist()

    return run


def load_meshlib():
    import numpy as np
    from meshlib import mrmeshnumpy as mn
    from meshlib import mrmeshpy as mm

    def run(path, clusters):
        mesh = mm.loadMesh(path)  # merges vertices on load
        normals = mn.toNumpyArray(mm.computePerVertNormals(mesh))
        points = mn.getNumpyVerts(mesh)
        box = mesh.computeBoundingBox()
        extent = np.array([box.max.x - box.min.x, box.max.y - box.min.y, box.max.z - box.min.z])
        n = int(np.ceil(np.float32(clusters) ** np.float32(1.0 / 3.0)))
        # A cubic voxel of the same volume as quarvex's (non-cubic) grid cell.
        voxel = float(np.prod(np.maximum(extent / max(n, 1), 1e-12)) ** (1.0 / 3.0))
        chosen = mn.getNumpyBitSet(mm.verticesGridSampling(mm.MeshPart(mesh), voxel))
        keep = np.zeros(len(points), dtype=bool)
        keep[: len(chosen)] = chosen
        return points[keep].tolist(), normals[keep].tolist()

    return run


def load_vtk():
    import numpy as np
    from vtkmodules.util.numpy_support import vtk_to_numpy
    from vtkmodules.vtkFiltersCore import vtkPolyDataNormals
    from vtkmodules.vtkIOGeometry import vtkSTLReader

    def run(path, clusters):
        reader = vtkSTLReader()
        reader.SetFileName(str(path))
        reader.MergingOn()  # one point per distinct vertex
        normals = vtkPolyDataNormals()
        normals.SetInputConnection(reader.GetOutputPort())
        normals.ComputePointNormalsOn()
        normals.ComputeCellNormalsOff()
        normals.SplittingOff()  # keep one point per vertex, as quarvex does
        normals.ConsistencyOff()
        normals.Update()
        out = normals.GetOutput()
        points = vtk_to_numpy(out.GetPoints().GetData())
        point_normals = vtk_to_numpy(out.GetPointData().GetNormals())
        return grid_select(points, point_normals, clusters, np.random.default_rng())

    return run


def load_floor_read():
    import numpy as np

    def run(path, clusters):
        return np.fromfile(path, dtype=np.uint8)

    return run


def load_floor_lists():
    import numpy as np

    cache = {}

    def run(path, clusters):
        # The arrays are ready before the clock starts; only the lists are timed.
        if clusters not in cache:
            rng = np.random.default_rng(1)
            cache.clear()
            cache[clusters] = (
                rng.random((clusters, 3), dtype=np.float32) * 20 - 10,
                unit_rows(rng.random((clusters, 3), dtype=np.float32) - 0.5).astype(np.float32),
            )
        positions, normals = cache[clusters]
        return positions.tolist(), normals.tolist()

    def prepare(clusters):
        run(None, clusters)
        return None

    run.prepare = prepare
    return run


def load_floor_pipe():
    import os

    buffer = memoryview(bytearray(1 << 20))

    def run(path, clusters):
        # The bytes alone, through one reused buffer: what `cat` and the pipe cost a reader
        # that does nothing with them.
        fd = os.open(path, os.O_RDONLY)
        try:
            while os.readv(fd, [buffer]):
                pass
        finally:
            os.close(fd)
        return [], []

    return run


LOADERS = {
    "quarvex": load_quarvex,
    "numpy-stl": load_numpy_stl,
    "trimesh": load_trimesh,
    "open3d": load_open3d,
    "meshlib": load_meshlib,
    "vtk": load_vtk,
    "floor-read": load_floor_read,
    "floor-lists": load_floor_lists,
    "floor-pipe": load_floor_pipe,
}


def result_size(result) -> int:
    if isinstance(result, tuple):
        return len(result[0])
    return len(result)


# The streaming floors are native (bench/stream_floor, built by run.sh) and time themselves
# in the same way: one untimed run, then the timed ones. "floor-stream" streams on 1 thread,
# "floor-stream-N" on N threads.
def stream_floor_threads(tool: str) -> int | None:
    if tool == "floor-stream":
        return 1
    prefix = "floor-stream-"
    if tool.startswith(prefix) and tool[len(prefix):].isdigit() and int(tool[len(prefix):]) >= 1:
        return int(tool[len(prefix):])
    return None


def time_stream_floor(tool: str, path: str, runs: int) -> dict:
    import os
    import subprocess

    exe = os.environ.get("QUARVEX_STREAM_FLOOR", "")
    if not os.path.exists(exe):
        raise SystemExit("floor-stream needs QUARVEX_STREAM_FLOOR (bench/run.sh builds it)")
    done = subprocess.run([exe, path, str(runs), str(stream_floor_threads(tool))], capture_output=True, text=True,
                          check=True)
    return json.loads(done.stdout)


def quarvex_workers() -> int:
    """The worker threads quarvex's pool starts in this process: threads after a first call on
    a small file minus threads before it (numpy's, imported with workloads, come before)."""
    import os
    import tempfile

    import quarvex
    from workloads import write_band

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "band.stl")
        write_band(path, 10, 10)
        before = len(os.listdir("/proc/self/task"))
        quarvex.reduce_stl_points(path, 100)
        return len(os.listdir("/proc/self/task")) - before


def time_runs(tool: str, path: str, clusters: int, runs: int) -> dict:
    """Wall seconds of each run, and the CPU seconds of the whole process (all its threads)."""
    if stream_floor_threads(tool) is not None:
        return time_stream_floor(tool, path, runs)
    run = LOADERS[tool]()
    if hasattr(run, "prepare"):
        run.prepare(clusters)
    # One untimed run first: pages the file in and lets every tool start its
    # threads and caches, so the timed runs measure the steady state.
    with piped(path) as name:
        result = run(name, clusters)
    points = result_size(result)
    del result
    times, cpu = [], []
    for _ in range(runs):
        gc.collect()
        with piped(path) as name:
            # The clock starts once `cat` runs; its CPU is not this process's.
            cpu_start = time.process_time()  # every thread of the process
            start = time.perf_counter()
            result = run(name, clusters)
            elapsed = time.perf_counter() - start
            cpu.append(time.process_time() - cpu_start)
        # The result is freed after the clock stops, for every tool alike.
        del result
        times.append(elapsed)
    return {"times": times, "cpu": cpu, "points": points}


@contextlib.contextmanager
def piped(path: str):
    """`path` itself, or for "pipe:FILE" the name of a pipe that `cat` fills with FILE."""
    if not path.startswith("pipe:"):
        yield path
        return
    import subprocess

    feeder = subprocess.Popen(["cat", path[len("pipe:"):]], stdout=subprocess.PIPE)
    try:
        yield f"/dev/fd/{feeder.stdout.fileno()}"
    finally:
        feeder.stdout.close()
        feeder.wait()


def status_kib(field: str) -> int | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def reset_peak_rss() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def child_max_rss(args: list[str]) -> dict:
    """Runs this script with `args` in a child and returns its peak RSS from wait4.
    The launcher is this small process rather than the suite's runner: a child's
    maximum RSS starts from its parent's size at fork, so a big parent would raise it."""
    import os
    import subprocess
    import tempfile

    with tempfile.TemporaryFile() as out:
        proc = subprocess.Popen([sys.executable, __file__] + args, stdout=out)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        text = out.read().decode(errors="replace").strip()
    result = {"exit": proc.returncode, "max_rss_kib": usage.ru_maxrss}
    if proc.returncode == 0 and text:
        result.update(json.loads(text.splitlines()[-1]))
    return result


def main(argv: list[str]) -> int:
    mode = argv[1]
    if mode == "time":
        tool, path, clusters, runs = argv[2], argv[3], int(argv[4]), int(argv[5])
        print(json.dumps(time_runs(tool, path, clusters, runs)))
    elif mode == "first":
        tool, path, clusters, runs = argv[2], argv[3], int(argv[4]), int(argv[5])
        run = LOADERS[tool]()
        times = []
        for _ in range(runs + 1):
            gc.collect()
            start = time.perf_counter()
            result = run(path, clusters)
            times.append(time.perf_counter() - start)
            del result
        print(json.dumps({"first": times[0], "later": times[1:]}))
    elif mode == "once":
        tool, path, clusters = argv[2], argv[3], int(argv[4])
        run = LOADERS[tool]()
        if hasattr(run, "prepare"):
            run.prepare(clusters)
        with piped(path) as name:
            before = status_kib("VmRSS")
            # Resetting the high-water mark makes VmHWM the peak of the call alone, which the
            # process-wide maximum hides when start-up peaked higher than a small call.
            reset = reset_peak_rss()
            run(name, clusters)
            peak = status_kib("VmHWM") if reset else None
        print(json.dumps({"rss_before_kib": before, "call_peak_kib": peak}))
    elif mode == "baseline":
        LOADERS[argv[2]]()
    elif mode == "workers":
        print(json.dumps({"workers": quarvex_workers()}))
    elif mode == "rss":
        print(json.dumps(child_max_rss(argv[2:])))
    else:
        print(f"unknown mode {mode!r}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
