"""Oriented-edge analysis: steerable-filter energy and orientation, contrast normalisation,
refinement along edges and 36-bin orientation histograms, bit for bit as the ``Brevant``
program computes them.

>>> import brevant
>>> result = brevant.analyze("photo.png", iterations=10, histograms=True, sigma=2.0)
>>> result.energy.shape, result.histograms.shape
((427, 640), (36, 427, 640))

Arrays go in and come out as numpy arrays; the interpreter lock is released while an image
is read or analysed, so Python threads analyse in parallel, and Ctrl-C stops an analysis
within about a pass.
"""

from ._errors import ImageReadError
from ._result import PLANE_NAMES, Result, read_edg
from ._api import analyze, imread, intensity

__all__ = ["analyze", "imread", "intensity", "read_edg", "Result", "ImageReadError", "PLANE_NAMES"]
