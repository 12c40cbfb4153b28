#!/usr/bin/env python3
"""Writes data/sample.dat: a small synthetic grey scene in the text-header raw format.

The program reads images as 4-band colour (blue, green, red, alpha), and the text reader
fills such an image with four values per pixel whatever the header says, so the sample
carries four bands: the grey level three times and an opaque alpha. The scene has edges
at many orientations: a disc, a tilted bar and a rectangle on a gentle gradient.

Usage: tools/make_sample_dat.py [output]   (default: data/sample.dat next to this script)
"""
import math
import os
import sys

WIDTH, HEIGHT = 96, 64


def grey(x, y):
    v = 70 + 40 * x / (WIDTH - 1) + 20 * y / (HEIGHT - 1)  # background gradient
    if (x - 30) ** 2 + (y - 30) ** 2 <= 15 ** 2:  # bright disc
        v = 215
    if 58 <= x <= 85 and 10 <= y <= 24:  # dark rectangle
        v = 30
    # A bar 5 pixels wide at 30 degrees through (66, 46).
    a = math.radians(30)
    across = -(x - 66) * math.sin(a) + (y - 46) * math.cos(a)
    along = (x - 66) * math.cos(a) + (y - 46) * math.sin(a)
    if abs(across) <= 2.5 and abs(along) <= 20:
        v = 170
    return max(0, min(255, int(round(v))))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "data", "sample.dat")
    lines = [f"% KOv1: {WIDTH} x {HEIGHT} x 4",
             "% Synthetic grey scene for Brevant: disc, rectangle and tilted bar on a gradient.",
             "% Each pixel is blue green red alpha; one image row per line."]
    for y in range(HEIGHT):
        row = []
        for x in range(WIDTH):
            g = grey(x, y)
            row.append(f"{g} {g} {g} 255")
        lines.append(" ".join(row))
    with open(out, "w", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
