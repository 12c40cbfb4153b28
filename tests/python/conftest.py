"""Shared fixtures: the program, the bundled photograph, scratch folders and image files
written with the library's own encoders through numpy."""

import os
import shutil
import struct
import subprocess
import zlib

import numpy as np
import pytest

SOURCE = os.environ.get("BREVANT_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
PROGRAM = os.environ.get("BREVANT_EXE", os.path.join(SOURCE, "build", "app", "Brevant"))


def run_program(path, iterations, histograms, sigma):
    """The program's result file for `path`, as bytes (it is written next to the input)."""
    done = subprocess.run([PROGRAM, path, str(iterations), "1" if histograms else "0", str(sigma)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout
    with open(path[:-3] + "edg", "rb") as f:
        return f.read()


@pytest.fixture
def photo(tmp_path):
    """A copy of the bundled photograph (a JPEG) in a scratch folder."""
    path = tmp_path / "photo.jpg"
    shutil.copy(os.path.join(SOURCE, "data", "sample.jpg"), path)
    return str(path)


def write_dat(path, pixels):
    """A .dat file of the library's text format from (H, W, 4) values in the order the
    program reads them: blue, green, red, alpha."""
    pixels = np.asarray(pixels)
    h, w = pixels.shape[:2]
    with open(path, "w") as f:
        f.write("%% KOv1: %d x %d x 4\n" % (w, h))
        for row in pixels.reshape(h, -1):
            f.write(" ".join("%d" % v for v in row) + "\n")


def write_qxi(path, plane):
    """A binary .qxi file of one float band: the program takes its values as intensities."""
    plane = np.ascontiguousarray(plane, dtype="<f4")
    h, w = plane.shape
    with open(path, "wb") as f:
        f.write(b"1 4 0 0 %d %d 1 0 0x185\n" % (w, h))
        f.write(plane.tobytes())


def write_png(path, rgb):
    """An 8-bit RGB PNG of (H, W, 3) uint8 values."""
    rgb = np.ascontiguousarray(rgb, dtype=np.uint8)
    h, w = rgb.shape[:2]

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = b"".join(b"\0" + rgb[y].tobytes() for y in range(h))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
