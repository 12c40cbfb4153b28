"""A data set through the program in one run: the batch command, GNU parallel (-j cores), GNU
parallel with each job on a core of its own, a plain shell loop, and the floors: the sum of
each image's time alone on one core (taskset -c 0) divided by the cores, and the I/O floor
(every result's bytes written to a new file and fsynced, as many writers as cores). The images are benchmark-sized photographs (481 x
321 PNG), cut from the bundled sample at different places, every other one mirrored.

    PYTHONPATH=build/python /usr/bin/python3 bench/batch_bench.py [--count 200] [--folder build/batch-bench]
"""

import argparse
import concurrent.futures
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import time
import zlib

import numpy as np

import brevant

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
WIDTH, HEIGHT = 481, 321


def write_png(path, rgb):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    h, w = rgb.shape[:2]
    rows = b"".join(b"\0" + rgb[y].tobytes() for y in range(h))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(rows, 6)) + chunk(b"IEND", b""))


def make_images(folder, count):
    photo = brevant.imread(os.path.join(SOURCE, "data", "sample.jpg"))[:, :, :3]
    rows, columns = photo.shape[0] - HEIGHT, photo.shape[1] - WIDTH
    paths = []
    for k in range(count):
        y, x = (k * 37) % (rows + 1), (k * 53) % (columns + 1)
        cut = photo[y:y + HEIGHT, x:x + WIDTH]
        if k % 2:
            cut = cut[:, ::-1]
        path = os.path.join(folder, "image%04d.png" % k)
        write_png(path, np.ascontiguousarray(cut))
        paths.append(path)
    return paths


def clear_results(folder):
    for name in os.listdir(folder):
        if name.endswith(".edg") or name.endswith(".jsonl"):
            os.remove(os.path.join(folder, name))


def digests(paths):
    out = []
    for path in paths:
        with open(path[:-3] + "edg", "rb") as f:
            out.append(hashlib.sha256(f.read()).hexdigest())
    return out


def write_floor(folder, count, bytes_each, writers):
    """Seconds to write `count` files of `bytes_each` zero bytes, each fsynced, `writers` at a time."""
    chunk = bytes(1 << 20)

    def write(k):
        path = os.path.join(folder, "floor%04d.bin" % k)
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            left = bytes_each
            while left > 0:
                left -= os.write(fd, chunk[:min(left, len(chunk))])
            os.fsync(fd)
        finally:
            os.close(fd)
            os.remove(path)

    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(writers) as pool:
        list(pool.map(write, range(count)))
    return time.perf_counter() - start


def timed(command, **kwargs):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, **kwargs)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=200)
    parser.add_argument("--folder", default=os.path.join(SOURCE, "build", "batch-bench"))
    parser.add_argument("--program", default=os.path.join(SOURCE, "build", "app", "Brevant"))
    options = parser.parse_args()
    cores = len(os.sched_getaffinity(0))
    folder = os.path.abspath(options.folder)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    paths = make_images(folder, options.count)
    program = os.path.abspath(options.program)
    arguments = ["10", "1", "2"]
    figures = {}

    alone = []
    for path in paths:
        alone.append(timed(["taskset", "-c", "0", program, path, *arguments]))
    reference = digests(paths)
    figures["floor (sum alone on one core / %d)" % cores] = sum(alone) / cores
    clear_results(folder)
    figures["I/O floor (the results' bytes, fsynced)"] = write_floor(folder, options.count, WIDTH * HEIGHT * 39 * 4,
                                                                     cores)

    figures["plain shell loop"] = timed(
        ["bash", "-c", 'for f in "$@"; do "%s" "$f" %s; done' % (program, " ".join(arguments)), "loop", *paths])
    clear_results(folder)

    figures["GNU parallel -j%d" % cores] = timed(
        ["parallel", "-j%d" % cores, program, "{}", *arguments, ":::", *paths])
    assert digests(paths) == reference, "GNU parallel's results differ"
    clear_results(folder)

    # Each job on a core of its own, so one engine thread: two single-core runs side by side,
    # what the cores give when they share the memory and the disk.
    figures["GNU parallel -j%d, a core each" % cores] = timed(
        ["parallel", "-j%d" % cores, "taskset", "-c", "{= $_=slot()-1 =}", program, "{}", *arguments, ":::", *paths])
    clear_results(folder)

    manifest = os.path.join(folder, "bench.jsonl")
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "brevant", "batch", folder, "--histograms", "--quiet",
                           "--manifest", manifest], check=True, capture_output=True, text=True)
    figures["batch command"] = time.perf_counter() - start
    assert digests(paths) == reference, "the batch's results differ from the program's"
    summary = done.stdout.strip().splitlines()[0]

    floor = figures["floor (sum alone on one core / %d)" % cores]
    print("%d images of %d x %d, 10 passes, histograms, sigma 2, %d cores; one image alone on one core: "
          "mean %.3f s" % (options.count, WIDTH, HEIGHT, cores, sum(alone) / len(alone)))
    print("%-40s %9s %9s %9s" % ("way", "seconds", "images/s", "x floor"))
    for name, seconds in figures.items():
        print("%-40s %9.2f %9.2f %9.2f" % (name, seconds, options.count / seconds, seconds / floor))
    print("batch: " + summary)
    batch_seconds = figures["batch command"]
    per_image = (batch_seconds * cores / options.count) - sum(alone) / len(alone)
    print("batch over the floor per image and core: %.3f s" % per_image)
    shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
