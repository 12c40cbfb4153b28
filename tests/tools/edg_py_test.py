"""Checks tools/edg.py against files written here with struct (not numpy).
Usage: python3 edg_py_test.py <tools folder>"""

import os
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "../../tools"))
import numpy as np  # noqa: E402
from edg import read_edg  # noqa: E402

WIDTH, HEIGHT = 5, 3  # not square, so a swapped width and height shows


def value(p, y, x):
    return p * 1000.0 + y * 10.0 + x + 0.25  # exact in float32


def write_result(path, planes, width=WIDTH, height=HEIGHT, extra=b""):
    with open(path, "wb") as f:
        for p in range(planes):
            for y in range(height):
                for x in range(width):
                    f.write(struct.pack("<f", value(p, y, x)))
        f.write(extra)


class ReadEdgTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.folder.name, "r.edg")

    def tearDown(self):
        self.folder.cleanup()

    def test_planes_land_where_the_file_puts_them(self):
        for count in (3, 39):
            write_result(self.path, count)
            planes, names = read_edg(self.path, WIDTH, HEIGHT)
            self.assertEqual(planes.dtype, np.float32)
            self.assertEqual(planes.shape, (count, HEIGHT, WIDTH))
            for p, y, x in [(0, 0, 0), (1, 2, 4), (2, 1, 3), (count - 1, 2, 0)]:
                self.assertEqual(planes[p, y, x], value(p, y, x))
            self.assertEqual(len(names), count)
            self.assertEqual(names[:3], ["energy", "orientation", "refined_energy"])
            if count == 39:
                self.assertEqual(names[3], "hist_bin_0")
                self.assertEqual(names[38], "hist_bin_35")

    def test_a_wrong_size_names_both_sizes(self):
        write_result(self.path, 3, extra=b"\0\0\0\0")
        with self.assertRaises(ValueError) as raised:
            read_edg(self.path, WIDTH, HEIGHT)
        text = str(raised.exception)
        self.assertIn("184 bytes", text)
        self.assertIn("180 bytes", text)
        self.assertIn("2340 bytes", text)
        # The right byte count for another size is still refused.
        write_result(self.path, 3)
        with self.assertRaises(ValueError):
            read_edg(self.path, HEIGHT, WIDTH + 1)

    def test_nonsense_sizes_are_refused(self):
        write_result(self.path, 3)
        with self.assertRaises(ValueError):
            read_edg(self.path, 0, HEIGHT)


if __name__ == "__main__":
    unittest.main()
