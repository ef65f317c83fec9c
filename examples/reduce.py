#!/usr/bin/env python3
"""Reduce one STL mesh to a few points with normals, summarise them, and draw them.

    python examples/reduce.py PATH CLUSTERS [--png OUT]

Calls quarvex.reduce_stl_points(PATH, CLUSTERS) and prints what came back: how many
points (and how many of them distinct), their bounding box, how many normals are of unit
length, and how long the call took. With --png it also renders the mesh (translucent),
the chosen points and their normals into OUT, two views side by side. Rendering needs
matplotlib and runs headless (the Agg backend); the summary alone needs only quarvex.

Exit status: 0 on success, 1 when the file cannot be read as STL, 2 for bad arguments.
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
    lines = [
        f"mesh       {path} ({path.stat().st_size} bytes)",
        f"requested  {clusters} points",
        f"returned   {len(positions)} points, {len({tuple(p) for p in positions})} distinct,"
        f" in {seconds * 1000:.1f} ms",
    ]
    if positions:
        axes = []
        for k, name in enumerate("xyz"):
            values = [p[k] for p in positions]
            axes.append(f"{name} [{min(values):.4g}, {max(values):.4g}]")
        lines.append("bounds     " + "  ".join(axes))
        unit = sum(1 for n in normals if abs(math.hypot(*n) - 1.0) < 1e-5)
        zero = sum(1 for n in normals if n == [0.0, 0.0, 0.0])
        lines.append(f"normals    {unit} of unit length, {zero} zero (facet normals that cancel)")
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


def render(path: Path, positions: Points, normals: Points, out: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np
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

    figure = plt.figure(figsize=(12, 6), dpi=100)
    for column, (elevation, azimuth) in enumerate([(25, -60), (65, 30)]):
        ax = figure.add_subplot(1, 2, column + 1, projection="3d")
        if triangles is not None and len(triangles):
            ax.add_collection3d(
                Poly3DCollection(triangles, facecolor=(0.6, 0.65, 0.75, 0.18), edgecolor=(0.4, 0.45, 0.55, 0.08), linewidth=0.2)
            )
        if len(points):
            shown = slice(None, None, max(1, math.ceil(len(points) / 4000)))
            ax.quiver(
                *points[shown].T, *arrows[shown].T, length=arrow_length, color="tab:orange", linewidth=0.6, arrow_length_ratio=0.3
            )
            ax.scatter(*points.T, s=4, color="tab:blue", depthshade=False)
        ax.set_xlim(low[0], high[0])
        ax.set_ylim(low[1], high[1])
        ax.set_zlim(low[2], high[2])
        ax.set_box_aspect(span)
        ax.view_init(elev=elevation, azim=azimuth)
        ax.set_axis_off()
    figure.suptitle(f"{path.name}: {len(points)} points with their normals")
    figure.tight_layout()
    figure.savefig(out)
    plt.close(figure)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Reduce an STL mesh to a few points with normals.")
    parser.add_argument("path", type=Path, help="ASCII or binary STL file")
    parser.add_argument("clusters", type=int, help="number of points to return")
    parser.add_argument("--png", type=Path, metavar="OUT", help="also draw the mesh and the points into this PNG file")
    args = parser.parse_args(argv)

    start = time.perf_counter()
    try:
        positions, normals = quarvex.reduce_stl_points(args.path, args.clusters)
    except OSError as error:  # the message says what was wrong with the file
        print(error, file=sys.stderr)
        return 1
    except OverflowError:
        parser.error("clusters must be between 0 and 2**64 - 1")
    seconds = time.perf_counter() - start

    print(summarise(args.path, args.clusters, positions, normals, seconds))
    if args.png:
        render(args.path, positions, normals, args.png)
        print(f"picture    {args.png}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
