import os
from typing import Literal, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

PathLike = Union[str, bytes, os.PathLike]
ChannelOrder = Literal["RGB", "RGBA", "BGR", "BGRA"]

PLANE_NAMES: Sequence[str]

class ImageReadError(OSError):
    path: str
    reason: str
    def __init__(self, path: str, reason: str) -> None: ...

class Result:
    planes: npt.NDArray[np.float32]
    iterations: Optional[int]
    sigma: Optional[float]
    def __init__(self, planes: npt.NDArray[np.float32], iterations: Optional[int] = ..., sigma: Optional[float] = ...) -> None: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def energy(self) -> npt.NDArray[np.float32]: ...
    @property
    def orientation(self) -> npt.NDArray[np.float32]: ...
    @property
    def refined_energy(self) -> npt.NDArray[np.float32]: ...
    @property
    def histograms(self) -> Optional[npt.NDArray[np.float32]]: ...
    def save_edg(self, path: PathLike) -> None: ...

def analyze(
    image: Union[PathLike, npt.ArrayLike],
    iterations: int = ...,
    histograms: bool = ...,
    sigma: float = ...,
    *,
    channel_order: ChannelOrder = ...,
    threads: Optional[int] = ...,
) -> Result: ...
def imread(path: PathLike) -> npt.NDArray[Union[np.uint8, np.float32]]: ...
def intensity(image: npt.ArrayLike, channel_order: ChannelOrder = ...) -> npt.NDArray[np.float32]: ...
def read_edg(
    path: PathLike,
    width: Optional[int] = ...,
    height: Optional[int] = ...,
    like: Union[PathLike, npt.NDArray, None] = ...,
) -> Result: ...
