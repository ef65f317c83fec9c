"""Reduce the vertices of an STL triangle mesh to a few representative points with unit normals."""

import os

__all__ = ["reduce_stl_points"]

def reduce_stl_points(
    file_path: str | os.PathLike[str], clusters: int
) -> tuple[list[list[float]], list[list[float]]]:
    """Read an STL mesh and return about ``clusters`` of its vertices with unit normals.

    ``file_path`` names an ASCII or binary STL file (a ``str`` or a path-like object whose
    ``__fspath__`` returns ``str``; ``bytes`` paths are refused). ``clusters`` is the number of
    points to return, from 0 to 2**64 - 1.

    Vertices that are equal bit for bit are merged; each gets the normalised sum of the
    stored normals of the facets around it (0, 0, 0 when they cancel). A grid of n x n x n
    cells, n = ceil(clusters ** (1/3)) in single precision, is laid over the bounding box,
    and one vertex per occupied cell is picked at random. Those are shuffled and cut to
    ``clusters``, or topped up with randomly drawn vertices (repeats possible) until there
    are exactly ``clusters``. A mesh without facets gives two empty lists.

    Returns ``(positions, normals)``: two lists of equal length whose items are
    ``[x, y, z]`` and ``[nx, ny, nz]`` lists of floats (single-precision values), item i of
    both describing the same vertex. The result is random: two calls on the same file as a
    rule give different points in a different order.

    Raises:
        TypeError: arguments missing, repeated or unknown, or of the wrong type; conversion
            errors carry the prefix "argument 'file_path': " or "argument 'clusters': ".
        OverflowError: ``clusters`` negative or 2**64 or more.
        OSError: the file cannot be opened or is not valid STL; the message is
            "Ошибка чтения STL-файла: " followed by the reader's description, e.g.
            "No such file or directory (os error 2)". Never a subclass such as
            FileNotFoundError, and ``errno`` is None.
        MemoryError: ``clusters`` so large that the result could not be held in memory.
        pyo3_runtime.PanicException: an internal fault (a ``BaseException``, not an
            ``Exception``); a report is written to standard error.

    The interpreter lock is held for the whole call, while the work runs on a pool of
    native threads sized by RAYON_NUM_THREADS or RAYON_RS_NUM_CPUS, or the CPU count.
    """
    ...
