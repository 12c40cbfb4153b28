"""brevant gives the program's result files to the byte: from paths of several formats, and
from arrays of every accepted dtype, channel order and layout holding the same pixels."""

import os
import shutil

import numpy as np
import pytest

import brevant
from conftest import SOURCE, run_program, write_dat, write_png, write_qxi


@pytest.mark.parametrize("iterations,histograms,sigma", [(10, True, 2.0), (3, False, 1.3), (0, True, 4.0), (-2, False, 2.0)])
def test_a_path_gives_the_programs_file(photo, iterations, histograms, sigma):
    expected = run_program(photo, iterations, histograms, sigma)
    result = brevant.analyze(photo, iterations, histograms, sigma)
    assert result.planes.tobytes() == expected
    assert (result.width, result.height, result.iterations, result.sigma) == (640, 427, iterations, sigma)
    assert (result.histograms is not None) == histograms


def test_other_formats_give_the_programs_file(tmp_path):
    rng = np.random.default_rng(1)
    write_qxi(tmp_path / "grey.qxi", rng.uniform(0, 255, (23, 31)))
    write_png(tmp_path / "colour.png", rng.integers(0, 256, (27, 35, 3)))
    shutil.copy(os.path.join(SOURCE, "data", "sample.dat"), tmp_path / "scene.dat")
    for name in ("grey.qxi", "colour.png", "scene.dat"):
        path = str(tmp_path / name)
        assert brevant.analyze(path, 2, True, 1.5).planes.tobytes() == run_program(path, 2, True, 1.5), name


def test_imread_and_then_analyze_equals_analyze_of_the_path(photo):
    image = brevant.imread(photo)
    assert image.shape == (427, 640, 4) and image.dtype == np.uint8
    assert (image[..., 3] == 255).all()
    expected = brevant.analyze(photo, 2, True, 2.0).planes
    assert np.array_equal(brevant.analyze(image, 2, True, 2.0).planes, expected)
    # OpenCV's order, and the colour without its alpha, hold the same pixels.
    bgr = np.ascontiguousarray(image[..., [2, 1, 0]])
    assert np.array_equal(brevant.analyze(bgr, 2, True, 2.0, channel_order="BGR").planes, expected)


def test_every_dtype_and_layout_matches_the_program_on_the_same_pixels(tmp_path):
    rng = np.random.default_rng(2)
    values = rng.integers(0, 256, (37, 29, 4))
    write_dat(tmp_path / "colour.dat", values[..., [2, 1, 0, 3]])  # the file holds blue first
    expected = run_program(str(tmp_path / "colour.dat"), 3, True, 2.0)
    for dtype in (np.uint8, np.uint16, np.float32, np.float64):
        rgba = values.astype(dtype)
        layouts = {
            "contiguous": rgba,
            "fortran": np.asfortranarray(rgba),
            "rgb": rgba[..., :3],
            "bgr view": rgba[..., 2::-1],
            "padded rows": np.pad(rgba, ((0, 0), (0, 5), (0, 0)))[:, :29],
        }
        for name, image in layouts.items():
            order = "BGR" if name == "bgr view" else "RGBA"
            result = brevant.analyze(image, 3, True, 2.0, channel_order=order)
            assert result.planes.tobytes() == expected, (dtype, name)


def test_intensity_arrays_are_used_as_they_are(tmp_path):
    rng = np.random.default_rng(3)
    grey = rng.integers(0, 256, (41, 33))
    write_qxi(tmp_path / "grey.qxi", grey)
    expected = run_program(str(tmp_path / "grey.qxi"), 2, False, 2.0)
    assert np.array_equal(brevant.imread(tmp_path / "grey.qxi"), grey.astype(np.float32))
    big = np.zeros((50, 70), np.float32)
    big[3:44, 5:38] = grey
    for image in (grey.astype(np.uint8), grey.astype(np.uint16), grey.astype(np.float32), grey.astype(np.float64),
                  big[3:44, 5:38], np.asfortranarray(grey.astype(np.float32)), grey.astype(np.float32)[::-1][::-1]):
        assert brevant.analyze(image, 2, False, 2.0).planes.tobytes() == expected
    assert np.array_equal(brevant.intensity(grey.astype(np.uint8)), grey.astype(np.float32))


def test_save_edg_writes_the_programs_bytes_and_read_edg_reads_them(photo, tmp_path):
    result = brevant.analyze(photo, 1, True, 2.0)
    target = tmp_path / "copy.edg"
    result.save_edg(target)
    assert target.read_bytes() == run_program(photo, 1, True, 2.0)
    assert sorted(os.listdir(tmp_path)) == ["copy.edg", "photo.edg", "photo.jpg"]  # no temporary left
    again = brevant.read_edg(target, like=photo)
    assert np.array_equal(again.planes, result.planes) and again.histograms.shape == (36, 427, 640)
    assert np.array_equal(brevant.read_edg(target, 640, 427).energy, result.energy)
