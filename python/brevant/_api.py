"""analyze, imread and intensity: argument checks and words over the compiled module."""

import operator
import os

import numpy as np

from . import _brevant
from ._errors import ImageReadError
from ._result import Result

_MAX_SIGMA = 1e6  # beyond this the filter radius is absurd
_ACCEPTED = "uint8, uint16 or float32 (float64 is converted to float32)"
_ORDERS = {"RGB": (0, 1, 2), "RGBA": (0, 1, 2), "BGR": (2, 1, 0), "BGRA": (2, 1, 0)}


def _check_sigma(sigma):
    try:
        value = np.float32(sigma)  # the program reads sigma into a float, then checks it
    except (TypeError, ValueError):
        value = np.float32("nan")
    if not (value > 0) or not np.isfinite(value) or value > _MAX_SIGMA:
        raise ValueError("Invalid filter sigma '%s': it must be a number above 0 and at most 1000000." % (sigma,))
    return float(value)


def _check_threads(threads):
    if threads is None:
        return 0
    threads = operator.index(threads)
    if threads < 1:
        raise ValueError("threads must be at least 1, or None for one per core; got %d" % threads)
    return min(threads, _brevant.MAX_THREADS)


def _check_iterations(iterations):
    iterations = operator.index(iterations)
    if not -2**31 <= iterations < 2**31:
        raise ValueError("iterations must fit a 32-bit integer; got %d" % iterations)
    return iterations


def _raise(kind, words, path=None):
    if kind == "unreadable":
        raise ImageReadError(path, words)
    if kind == "memory":
        raise MemoryError(words)
    if kind == "cancelled":
        raise KeyboardInterrupt(words)
    raise RuntimeError(words)


def _as_path(image):
    """The path's bytes and its text for messages, or None when `image` is not a path."""
    if isinstance(image, (str, bytes, os.PathLike)):
        path = os.fspath(image)
        return os.fsencode(path), os.fsdecode(path)
    return None


def _checked_array(image, name="image"):
    array = np.asarray(image)
    if array.dtype == np.float64:
        array = array.astype(np.float32)
    if array.dtype not in (np.uint8, np.uint16, np.float32):
        raise TypeError("%s has dtype %s; Brevant takes %s" % (name, array.dtype, _ACCEPTED))
    if not (array.ndim == 2 or (array.ndim == 3 and array.shape[2] in (3, 4))):
        raise ValueError("%s has shape %s; Brevant takes (H, W) intensities or (H, W, 3) and (H, W, 4) colour"
                         % (name, array.shape))
    if array.shape[0] < 1 or array.shape[1] < 1:
        raise ValueError("%s has no pixels: shape %s" % (name, array.shape))
    if array.shape[0] >= 2**31 or array.shape[1] >= 2**31:
        raise ValueError("%s is too large: shape %s" % (name, array.shape))
    return array


def _order(channel_order):
    try:
        return _ORDERS[channel_order]
    except (KeyError, TypeError):
        raise ValueError("channel_order must be one of %s, got %r" % (", ".join(_ORDERS), channel_order)) from None


def _fits(array):
    """Whether an (H, W) float32 array is a plane the stages can take where it lies."""
    return (array.ndim == 2 and array.dtype == np.float32 and array.strides[1] == 4 and array.strides[0] > 0
            and array.strides[0] % 4 == 0)


def _intensity(array, channel_order):
    """The float32 plane the stages take, without a copy when the array is one already."""
    if array.ndim == 3:
        red, green, blue = _order(channel_order)
        return _brevant.intensity(array, red, green, blue)
    _order(channel_order)
    return array if _fits(array) else _brevant.intensity(array, 0, 0, 0)


def intensity(image, channel_order="RGB"):
    """The program's reduction of an image to intensity.

    Parameters
    ----------
    image : numpy.ndarray
        (H, W) intensities, or (H, W, 3) / (H, W, 4) colour; uint8, uint16 or float32
        (float64 is converted to float32). Any strides.
    channel_order : {"RGB", "RGBA", "BGR", "BGRA"}
        How the colour channels are held: RGB as Pillow, imageio and scikit-image hold them
        (the default), BGR as OpenCV does. Alpha is never read.

    Returns
    -------
    numpy.ndarray
        (H, W) float32: 0.299 R + 0.587 G + 0.114 B (the weights' float values, summed in
        double, rounded to float), no rescaling; an (H, W) image's values as they are.
    """
    array = _checked_array(image)
    plane = _intensity(array, channel_order)
    return np.array(plane, dtype=np.float32, copy=True) if plane is array else plane


def imread(path):
    """Read an image file with the library's readers, as the program reads it.

    Every format the program reads: PNG, JPEG, GIF, BMP, TIFF, HD Photo (.wdp), Radiance HDR,
    DNG, and the library's .dat and .qxi. The reader is chosen by the extension (the codecs
    by the file's first bytes).

    Returns
    -------
    numpy.ndarray
        (H, W, 4) in RGBA order: uint8, or float32 for Radiance and .qxi files, whose
        readers give floats. ``analyze(imread(p))`` equals ``analyze(p)``.

    Raises
    ------
    ImageReadError
        With the reason in words.
    """
    path_bytes, path_text = _as_path(path) or (None, None)
    if path_bytes is None:
        raise TypeError("imread takes a path (str or os.PathLike), not %s" % type(path).__name__)
    kind, words, array = _brevant.load(path_bytes)
    if kind != "ok":
        _raise(kind, words, path_text)
    return array


def analyze(image, iterations=10, histograms=False, sigma=2.0, *, channel_order="RGB", threads=None):
    """Oriented edges of an image: the program's analysis, into numpy arrays.

    Steerable filters (the G2/H2 quadrature pair) give the oriented energy and orientation;
    the energy is normalised by its local mean and deviation, then edges that continue one
    another along their orientation reinforce each other over `iterations` passes;
    with `histograms`, 36-bin orientation histograms are propagated the same way.

    Parameters
    ----------
    image : str, os.PathLike or numpy.ndarray
        A path, read as the program reads it (see ``imread``); or an array: (H, W)
        intensities, or (H, W, 3) / (H, W, 4) colour reduced to intensity by the program's
        rule (see ``intensity``); uint8, uint16 or float32, float64 converted to float32.
        Any strides; an (H, W) float32 array with rows of adjacent pixels is used where it
        lies, without a copy.
    iterations : int
        Refinement passes (10 by default); 0 or fewer run none, as in the program.
    histograms : bool
        Also compute the 36 orientation histogram planes.
    sigma : float
        The filters' scale in pixels: above 0, at most 1,000,000 (2.0 by default).
    channel_order : {"RGB", "RGBA", "BGR", "BGRA"}
        How a colour array holds its channels: RGB (Pillow, imageio, scikit-image, the
        default) or BGR (OpenCV).
    threads : int or None
        Threads for this call; None means one per processor core. The results do not
        depend on it.

    Returns
    -------
    Result
        ``energy``, ``orientation`` (radians, 0 to 2 pi), ``refined_energy`` and, with
        histograms, ``histograms`` (36, H, W); ``planes`` holds them in the order of the
        program's result file: ``analyze(p, i, h, s).planes.tobytes()`` is the file that
        ``Brevant p i h s`` writes.

    Raises
    ------
    ValueError
        For a sigma not above 0, not finite or above 1,000,000 (the program's words), an
        unknown channel order or an unusable shape.
    TypeError
        For an array of another dtype.
    ImageReadError
        When a path cannot be read, with the reason.
    MemoryError
        When the machine cannot hold the run: refused before any work, naming what the run
        needs and what is available.
    KeyboardInterrupt
        On Ctrl-C, within about a pass; nothing is left behind.

    Examples
    --------
    >>> from PIL import Image
    >>> import numpy as np, brevant
    >>> result = brevant.analyze(np.asarray(Image.open("photo.png")), histograms=True)
    >>> result.orientation.max() <= 2 * np.pi
    True
    """
    given_sigma = sigma
    sigma = _check_sigma(sigma)
    iterations = _check_iterations(iterations)
    histograms = bool(histograms)
    threads = _check_threads(threads)
    path = _as_path(image)
    if path is not None:
        _order(channel_order)
        kind, words, planes = _brevant.analyze_path(path[0], iterations, histograms, sigma, threads)
        if kind != "ok":
            _raise(kind, words, path[1])
    else:
        array = _checked_array(image)
        height, width = array.shape[:2]
        # Refused before the intensity plane is made, with the words the program uses.
        refusal = _brevant.memory_refusal(width, height, histograms, sigma, iterations, threads,
                                          0 if _fits(array) else 4 * width * height)
        if refusal:
            raise MemoryError(refusal)
        plane = _intensity(array, channel_order)
        kind, words, planes = _brevant.analyze_intensity(plane, iterations, histograms, sigma, threads)
        if kind != "ok":
            _raise(kind, words)
    return Result(planes, iterations=iterations, sigma=float(given_sigma))
