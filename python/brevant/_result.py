"""The result of an analysis and the result file (.edg) it is stored in."""

import os

import numpy as np

HISTOGRAM_BINS = 36
PLANES_PLAIN = 3
PLANES_WITH_HISTOGRAMS = 3 + HISTOGRAM_BINS

#: Plane p of a result is PLANE_NAMES[p]; histogram bin k stands for the orientation k x 10 degrees.
PLANE_NAMES = ["energy", "orientation", "refined_energy"] + ["hist_bin_%d" % k for k in range(HISTOGRAM_BINS)]


class Result:
    """The planes of one analysis, each (height, width) float32.

    Attributes
    ----------
    planes : numpy.ndarray
        (3, H, W), or (39, H, W) with histograms: the planes in the order of the result file.
    energy : numpy.ndarray
        Plane 0, the oriented energy 10 (C1^2 + C2^2)^(1/4), >= 0; 0 in a border of
        trunc(2 sigma) pixels.
    orientation : numpy.ndarray
        Plane 1, atan2(-H2a, H2d) + pi in radians, [0, 2 pi]; 0 in the same border. An edge
        points in the direction in which the image brightens across it (brightening to the
        right is 3 pi / 2, to the left pi / 2).
    refined_energy : numpy.ndarray
        Plane 2, the contrast-normalised energy plus the last pass's forward and backward
        support along the edges, >= 0.
    histograms : numpy.ndarray or None
        Planes 3 to 38, (36, H, W): bin k (angle k x 10 degrees) of the orientation
        histograms, >= 0, 0 in a 5-pixel border; None without histograms.
    width, height : int
        The image's size.
    iterations : int or None
        The refinement passes asked for; sigma : float or None, the filters' scale (None for
        a result read from a file, which records neither).

    The named planes are views of ``planes``; ``planes.tobytes()`` is the result file's
    content.
    """

    def __init__(self, planes, iterations=None, sigma=None):
        planes = np.asarray(planes)
        if planes.dtype != np.float32 or planes.ndim != 3 or planes.shape[0] not in (PLANES_PLAIN, PLANES_WITH_HISTOGRAMS):
            raise ValueError("a result is 3 or 39 float32 planes, got %s %s" % (planes.dtype, planes.shape))
        self.planes = planes
        self.iterations = iterations
        self.sigma = sigma

    @property
    def height(self):
        return self.planes.shape[1]

    @property
    def width(self):
        return self.planes.shape[2]

    @property
    def energy(self):
        return self.planes[0]

    @property
    def orientation(self):
        return self.planes[1]

    @property
    def refined_energy(self):
        return self.planes[2]

    @property
    def histograms(self):
        return self.planes[3:] if self.planes.shape[0] == PLANES_WITH_HISTOGRAMS else None

    def save_edg(self, path):
        """Write the planes to `path` exactly as the program writes its result file.

        The bytes go to a temporary file in the same folder, are flushed to the disk and
        replace `path` only when complete, so a failure never leaves a partial file.

        Raises
        ------
        OSError
            When the file cannot be written, with the reason.
        """
        from . import _brevant

        planes = np.ascontiguousarray(self.planes, dtype="<f4")
        kind, words, _ = _brevant.write_edg(os.fsencode(path), planes)
        if kind != "ok":
            raise OSError(words)

    def __repr__(self):
        return "<brevant.Result %d x %d, %d planes, iterations=%s, sigma=%s>" % (
            self.width, self.height, self.planes.shape[0], self.iterations, self.sigma)


def read_edg(path, width=None, height=None, like=None):
    """Read a result file (.edg).

    The file has no header: it is 3 or 39 planes of width x height little-endian float32
    values, row-major, top row first. Give the size, or an image `like` it was made from.

    Parameters
    ----------
    path : str or os.PathLike
        The result file.
    width, height : int, optional
        The analysed image's size.
    like : str, os.PathLike or numpy.ndarray, optional
        Instead of the size: the image file the result was made from, or an array of it.

    Returns
    -------
    Result
        Its ``iterations`` and ``sigma`` are None: the file does not record them.

    Raises
    ------
    ValueError
        When the file is not 3 or 39 planes of that size, naming what it found and what was
        expected; or when no size is given.
    """
    if like is not None:
        if isinstance(like, np.ndarray):
            height, width = like.shape[:2]
        else:
            from ._api import imread

            height, width = imread(like).shape[:2]
    if width is None or height is None:
        raise ValueError("read_edg needs the image's width and height, or an image like= it was made from")
    width, height = int(width), int(height)
    if width <= 0 or height <= 0:
        raise ValueError("width and height must be positive, got %d x %d" % (width, height))
    plane_bytes = width * height * 4
    size = os.path.getsize(path)
    if size not in (PLANES_PLAIN * plane_bytes, PLANES_WITH_HISTOGRAMS * plane_bytes):
        raise ValueError(
            "%s holds %d bytes, which is not a result for a %d x %d image: that has %d bytes "
            "(3 planes) or %d bytes (39 planes, with histograms)"
            % (os.fspath(path), size, width, height, PLANES_PLAIN * plane_bytes, PLANES_WITH_HISTOGRAMS * plane_bytes))
    count = size // plane_bytes
    values = np.fromfile(path, dtype="<f4", count=count * width * height)
    if values.size != count * width * height:
        raise ValueError("%s ended early" % os.fspath(path))
    return Result(values.astype(np.float32, copy=False).reshape(count, height, width))
