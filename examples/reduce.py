#!/usr/bin/env python3
"""Reduce one STL mesh to a few points with normals, summarise them, and draw them.

    python examples/reduce.py PATH CLUSTERS [--png OUT]

Calls quarvex.reduce_stl_points(PATH, CLUSTERS) and prints what came back: how many
points (and how many of them distinct, with a note when repeats show that a random top-up
filled the count), their bounding box, how many normals are of unit
length (and how many are zero), and how long the call took. With --png it also draws the
mesh, the chosen points and their normals into OUT: a side view and a three-quarter view
from above, side by side. Drawing needs matplotlib and runs headless (the Agg backend); the
summary alone needs only quarvex.

Exit status: 0 on success, 1 when the file cannot be read as STL or the picture cannot be
written, 2 for bad arguments, 3 when --png is given but matplotlib is not installed.
Every failure is reported on one line of standard error.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from pathlib import Path

import quarvex

Points = list[list[float]]


def summarise(path: Path, clusters: int, positions: Points, normals: Points, seconds: float) -> str:
    distinct = len({tuple(p) for p in positions})
    # Repeats come only from the random top-up that fills the count when fewer grid cells
    # are occupied than points were asked for; at usual counts that top-up is most points.
    top_up = ""
    if distinct < len(positions):
        top_up = (f" (fewer grid cells occupied than points asked for: at least {len(positions) - distinct}"
                  " are the random top-up of vertices, usually most; see What the result is in the README)")
    lines = [
        f"mesh       {path} ({path.stat().st_size} bytes)",
        f"requested  {clusters} points",
        f"returned   {len(positions)} points, {distinct} distinct{top_up}, in {seconds * 1000:.1f} ms",
    ]
    if positions:
        axes = []
        for k, name in enumerate("xyz"):
            values = [p[k] for p in positions]
            axes.append(f"{name} [{min(values):.4g}, {max(values):.4g}]")
        lines.append("bounds     " + "  ".join(axes))
        unit = sum(1 for n in normals if abs(math.hypot(*n) - 1.0) < 1e-5)
        zero = sum(1 for n in normals if n == [0.0, 0.0, 0.0])
        why = "their stored facet normals are zero or cancel"
        if zero == len(normals):
            why += "; recompute the file's facet normals, see Zero normals in the README"
        lines.append(f"normals    {unit} of unit length, {zero} zero" + (f" ({why})" if zero else ""))
    return "\n".join(lines)


def load_triangles(path: Path):
    """The triangles of an STL file as a float32 array (F, 3, 3), or None if unreadable.

    Only for the picture: quarvex reads the file on its own. A file is taken as binary
    when its size matches the triangle count in its header, else as ASCII.
    """
    import numpy as np

    data = path.read_bytes()
    if len(data) >= 84:
        count = int.from_bytes(data[80:84], "little")
        if len(data) == 84 + 50 * count:
            records = np.frombuffer(
                data, dtype=[("normal", "<f4", 3), ("vertices", "<f4", (3, 3)), ("attribute", "<u2")],
                count=count, offset=84,
            )
            return records["vertices"].astype(np.float32)
    words = data.split()
    try:
        coordinates = [
            float(w) for i, word in enumerate(words) if word == b"vertex" for w in words[i + 1 : i + 4]
        ]
    except ValueError:
        return None
    if not coordinates or len(coordinates) % 9:
        return None
    return np.array(coordinates, dtype=np.float32).reshape(-1, 3, 3)


VIEWS = [("side view", 8, -60), ("three-quarter view from above", 35, 30)]  # title, elevation, azimuth


def render(path: Path, positions: Points, normals: Points, out: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch
    from mpl_toolkits.mplot3d.art3d import Poly3DCollection

    triangles = load_triangles(path)
    if triangles is not None and len(triangles) > 40_000:
        triangles = triangles[:: math.ceil(len(triangles) / 40_000)]  # keep drawing time bounded
    points = np.array(positions, dtype=np.float64).reshape(-1, 3)
    arrows = np.array(normals, dtype=np.float64).reshape(-1, 3)

    extent_source = triangles.reshape(-1, 3) if triangles is not None and len(triangles) else points
    finite = extent_source[np.isfinite(extent_source).all(axis=1)]
    low, high = (finite.min(axis=0), finite.max(axis=0)) if len(finite) else (np.zeros(3), np.ones(3))
    span = np.maximum(high - low, 1e-9)
    # Shorter arrows as the points get denser, so that neighbours' arrows do not cover each other.
    arrow_length = 0.05 * float(np.linalg.norm(span)) * min(1.0, math.sqrt(500 / max(len(points), 1)))
    if triangles is not None and len(triangles):
        # Shade the mesh by its own corners' winding, lit from the upper left front.
        a, b, c = (triangles[:, k].astype(np.float64) for k in range(3))
        facing = np.cross(b - a, c - a)
        facing /= np.maximum(np.linalg.norm(facing, axis=1, keepdims=True), 1e-30)
        light = np.array([-0.4, -0.6, 0.7]) / np.linalg.norm([-0.4, -0.6, 0.7])
        brightness = 0.7 + 0.3 * np.clip(facing @ light, 0.0, 1.0)
        shades = np.column_stack([0.62 * brightness, 0.68 * brightness, 0.80 * brightness, np.full(len(a), 0.4)])

    figure = plt.figure(figsize=(12, 6), dpi=100)
    for column, (title, elevation, azimuth) in enumerate(VIEWS):
        ax = figure.add_subplot(1, 2, column + 1, projection="3d")
        if triangles is not None and len(triangles):
            ax.add_collection3d(Poly3DCollection(triangles, facecolors=shades, edgecolor="none"))
        if len(points):
            # Points on the far side would show through the mesh: draw them faint and
            # without arrows. Points with a zero normal count as facing the viewer.
            toward_viewer = np.array([
                math.cos(math.radians(elevation)) * math.cos(math.radians(azimuth)),
                math.cos(math.radians(elevation)) * math.sin(math.radians(azimuth)),
                math.sin(math.radians(elevation)),
            ])
            front = arrows @ toward_viewer >= 0
            shown = np.flatnonzero(front)[:: max(1, math.ceil(front.sum() / 4000))]
            ax.scatter(*points[~front].T, s=2, color="tab:blue", alpha=0.15, depthshade=False)
            ax.quiver(
                *points[shown].T, *arrows[shown].T, length=arrow_length, color="tab:orange", linewidth=0.7,
                arrow_length_ratio=0.3,
            )
            ax.scatter(*points[front].T, s=5, color="tab:blue", depthshade=False)
        ax.set_xlim(low[0], high[0])
        ax.set_ylim(low[1], high[1])
        ax.set_zlim(low[2], high[2])
        ax.set_box_aspect(span, zoom=1.1)
        ax.set_proj_type("persp", focal_length=0.4)
        ax.view_init(elev=elevation, azim=azimuth)
        ax.set_axis_off()
        ax.set_title(title)
    distinct = len({tuple(p) for p in positions})
    figure.suptitle(f"{path.name}: {len(points)} points ({distinct} distinct) chosen among the mesh's vertices")
    figure.legend(
        handles=[
            Patch(facecolor=(0.55, 0.6, 0.72), label="mesh"),
            Line2D([], [], linestyle="none", marker="o", markersize=4, color="tab:blue", label="chosen points"),
            Line2D([], [], linestyle="none", marker="o", markersize=3, color="tab:blue", alpha=0.25,
                   label="chosen points on the far side"),
            Line2D([], [], color="tab:orange", label="their normals"),
        ],
        loc="lower center", ncol=4, frameon=False,
    )
    figure.subplots_adjust(left=0.0, right=1.0, bottom=0.07, top=0.9, wspace=0.0)
    figure.savefig(out)
    plt.close(figure)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Reduce an STL mesh to a few points with normals.")
    parser.add_argument("path", type=Path, help="ASCII or binary STL file")
    parser.add_argument("clusters", type=int, help="number of points to return")
    parser.add_argument("--png", type=Path, metavar="OUT", help="also draw the mesh and the points into this PNG file")
    args = parser.parse_args(argv)
    program = Path(sys.argv[0]).name
    if args.png:
        try:
            import matplotlib  # noqa: F401 - only whether it is there
        except ImportError:
            print(f"{program}: --png needs matplotlib, which is not installed (pip install matplotlib)", file=sys.stderr)
            return 3

    start = time.perf_counter()
    try:
        positions, normals = quarvex.reduce_stl_points(args.path, args.clusters)
    except OSError as error:  # the message says what was wrong with the file, but not which file
        print(f"{args.path}: {error}", file=sys.stderr)
        return 1
    except OverflowError:
        parser.error("clusters must be between 0 and 2**64 - 1")
    seconds = time.perf_counter() - start

    print(summarise(args.path, args.clusters, positions, normals, seconds))
    if args.png:
        try:
            render(args.path, positions, normals, args.png)
        except OSError as error:
            print(f"{args.png}: cannot write the picture: {error.strerror or error}", file=sys.stderr)
            return 1
        print(f"picture    {args.png}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
