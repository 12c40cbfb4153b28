"""Command line: ``python3 -m brevant summary <result file> <width> <height>`` prints each
plane's range and mean; ``python3 -m brevant batch INPUT...`` analyses a data set (``batch
--help`` tells how)."""

import sys

from ._result import PLANE_NAMES, read_edg


def _summary(argv):
    if len(argv) != 3:
        print("Usage: python3 -m brevant summary <result file> <width> <height>")
        return 2
    try:
        result = read_edg(argv[0], int(argv[1]), int(argv[2]))
    except (OSError, ValueError) as error:
        print(error)
        return 1
    for plane, name in zip(result.planes, PLANE_NAMES):
        print("%-15s min %-12.6g max %-12.6g mean %.6g" % (name, plane.min(), plane.max(), plane.mean()))
    return 0


def _batch(argv):
    from ._batch import batch  # Dask is loaded only for a batch
    return batch(argv)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    commands = {"summary": _summary, "batch": _batch}
    if not argv or argv[0] not in commands:
        print("Usage: python3 -m brevant summary <result file> <width> <height>")
        print("       python3 -m brevant batch INPUT... [--iterations N] [--histograms] [--sigma S] [--out DIR]")
        print("                                [--workers N] [--threads-per-worker T] [--scheduler ADDRESS]")
        print("                                [--manifest FILE] [--force] [--quiet]")
        return 2
    return commands[argv[0]](argv[1:])


if __name__ == "__main__":
    sys.exit(main())
