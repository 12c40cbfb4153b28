"""Read a Brevant result file (.edg) into numpy.

The file has no header: it is 3 or 39 planes of width x height little-endian float32
values, row-major, row 0 first. Width and height are those of the analysed image.

    from edg import read_edg
    planes, names = read_edg("photo.edg", 384, 256)
    energy = planes[names.index("energy")]          # shape (256, 384)

From a shell: python3 tools/edg.py photo.edg 384 256   (prints a summary of each plane)
"""

import os
import sys

import numpy as np

PLANES_PLAIN = 3
PLANES_WITH_HISTOGRAMS = 39
HISTOGRAM_BINS = 36

# Plane p of the file is PLANE_NAMES[p]; histogram bin k stands for the orientation k x 10 deg.
PLANE_NAMES = ["energy", "orientation", "refined_energy"] + [
    "hist_bin_%d" % k for k in range(HISTOGRAM_BINS)
]


def read_edg(path, width, height):
    """Return (planes, names): a float32 array of shape [planes, height, width] and the list
    of the planes' names. Planes: 0 oriented energy, 1 orientation (radians, 0..2 pi),
    2 refined energy, 3..38 (with histograms) orientation histogram bins 0..35.

    Raises ValueError when the file's size is neither 3 nor 39 planes of width x height."""
    width = int(width)
    height = int(height)
    if width <= 0 or height <= 0:
        raise ValueError("width and height must be positive, got %d x %d" % (width, height))
    plane_bytes = width * height * 4
    size = os.path.getsize(path)
    if size not in (PLANES_PLAIN * plane_bytes, PLANES_WITH_HISTOGRAMS * plane_bytes):
        raise ValueError(
            "%s holds %d bytes, which is not a result for a %d x %d image: that has %d bytes "
            "(3 planes) or %d bytes (39 planes, with histograms)"
            % (path, size, width, height, PLANES_PLAIN * plane_bytes,
               PLANES_WITH_HISTOGRAMS * plane_bytes))
    count = size // plane_bytes
    values = np.fromfile(path, dtype="<f4", count=count * width * height)
    if values.size != count * width * height:
        raise ValueError("%s ended early" % path)
    planes = values.astype(np.float32, copy=False).reshape(count, height, width)
    return planes, PLANE_NAMES[:count]


def _main(argv):
    if len(argv) != 4:
        print("Usage: python3 edg.py <result file> <width> <height>")
        return 2
    try:
        planes, names = read_edg(argv[1], int(argv[2]), int(argv[3]))
    except (OSError, ValueError) as error:
        print(error)
        return 1
    for plane, name in zip(planes, names):
        print("%-15s min %-12.6g max %-12.6g mean %.6g" % (name, plane.min(), plane.max(), plane.mean()))
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv))
