"""Errors say why: unreadable files with their reasons, refused arguments with the program's
words."""

import numpy as np
import pytest

import brevant


def test_unreadable_files_raise_with_their_reason(tmp_path, photo):
    (tmp_path / "text.png").write_text("not a picture")
    data = open(photo, "rb").read()
    (tmp_path / "cut.jpg").write_bytes(data[: len(data) // 3])
    cases = {
        tmp_path / "missing.png": "no such file",
        tmp_path / "text.png": "not a format Brevant reads, or its header is damaged",
        tmp_path / "cut.jpg": "the file is truncated or corrupt",
        tmp_path: "it is a folder, not a file",
    }
    for path, reason in cases.items():
        for call in (brevant.imread, brevant.analyze):
            with pytest.raises(brevant.ImageReadError) as raised:
                call(path)
            assert raised.value.reason == reason and raised.value.path == str(path)
            assert isinstance(raised.value, OSError) and reason in str(raised.value)
    with pytest.raises(FileNotFoundError.__mro__[1]):  # an OSError, as open() raises
        brevant.imread(tmp_path / "missing.png")


def test_arguments_are_checked_with_the_programs_words():
    image = np.zeros((20, 20), np.float32)
    for sigma in (0, -1.0, float("nan"), float("inf"), 1e7, "abc"):
        with pytest.raises(ValueError, match="it must be a number above 0 and at most 1000000"):
            brevant.analyze(image, sigma=sigma)
    for bad in (np.zeros((20, 20), np.int32), np.zeros((20, 20), bool)):
        with pytest.raises(TypeError, match="uint8, uint16 or float32"):
            brevant.analyze(bad)
    for shape in ((20, 20, 2), (20,), (0, 5)):
        with pytest.raises(ValueError):
            brevant.analyze(np.zeros(shape, np.uint8))
    with pytest.raises(ValueError, match="channel_order"):
        brevant.analyze(np.zeros((8, 8, 3), np.uint8), channel_order="GRB")
    with pytest.raises(ValueError, match="threads"):
        brevant.analyze(image, threads=0)


def test_a_run_the_machine_cannot_hold_is_refused_up_front():
    # 30000 x 30000 with histograms needs some 150 GB; the rows (which overlap) are never read.
    huge = np.lib.stride_tricks.as_strided(np.zeros(60000, np.float32), shape=(30000, 30000), strides=(4, 4))
    with pytest.raises(MemoryError, match=r"Not enough memory for a 30000 x 30000 image: the run needs \d+ MB"):
        brevant.analyze(huge, histograms=True)
    with pytest.raises(MemoryError, match="Not enough memory"):
        brevant.analyze(np.broadcast_to(np.uint8(7), (30000, 30000, 3)), histograms=True)


def test_read_edg_names_what_it_found_and_what_it_expected(tmp_path):
    path = tmp_path / "r.edg"
    path.write_bytes(np.zeros(3 * 5 * 3 + 1, np.float32).tobytes())
    with pytest.raises(ValueError, match="184 bytes.*180 bytes.*2340 bytes"):
        brevant.read_edg(path, 5, 3)
    with pytest.raises(ValueError):
        brevant.read_edg(path)
