"""What the Python module adds to the engine: brevant.analyze on a 2048 x 2048 float32 array
with histograms, against the engine called from C++ on the same plane (the module's
engine_seconds: the same schedule and memory sink, no numpy), alternately in one run.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_analyze_bench.py [--size 2048] [--reps 5] [--threads 2]
"""

import argparse
import time

import numpy as np

import brevant
from brevant import _brevant


def photo_like(size):
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:size, 0:size].astype(np.float32)
    image = 60 + 0.02 * x + 40 * np.sin(x / 37.0) * np.cos(y / 53.0)
    image += 80 * ((x - size / 2) ** 2 + (y - size / 3) ** 2 < (size / 5) ** 2)
    return (image + rng.normal(0, 4, image.shape)).astype(np.float32)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=2048)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--iterations", type=int, default=10)
    options = parser.parse_args()
    plane = photo_like(options.size)
    module, engine = [], []
    for _ in range(options.reps):
        engine.append(_brevant.engine_seconds(plane, options.iterations, True, 2.0, options.threads))
        start = time.perf_counter()
        result = brevant.analyze(plane, options.iterations, True, 2.0, threads=options.threads)
        module.append(time.perf_counter() - start)
        del result
    print("%d x %d, %d passes, histograms, %d threads, best of %d" % (
        options.size, options.size, options.iterations, options.threads, options.reps))
    print("engine from C++      %8.3f s" % min(engine))
    print("brevant.analyze      %8.3f s" % min(module))
    print("all runs: engine %s, module %s" % (["%.2f" % t for t in engine], ["%.2f" % t for t in module]))
    print("module / engine      %8.3f (medians %.3f)" % (min(module) / min(engine),
                                                          float(np.median(module) / np.median(engine))))


if __name__ == "__main__":
    main()
