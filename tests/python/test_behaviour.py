"""What Python users expect of a long call: other threads run meanwhile, two analyses at once
give what each gives alone, Ctrl-C stops it, and repeated calls do not grow the process."""

import os
import signal
import threading
import time

import numpy as np
import pytest

import brevant


def scene(seed, h=300, w=280):
    rng = np.random.default_rng(seed)
    image = rng.uniform(0, 40, (h, w)).astype(np.float32)
    image[:, w // 3:] += 120
    image[h // 2:, :] += 60
    return image


def test_two_threads_at_once_give_what_each_gives_alone():
    images = [scene(1), scene(2, 250, 310)]
    alone = [brevant.analyze(im, 4, True, 2.0, threads=1).planes for im in images]
    together = [None, None]

    def work(i):
        together[i] = brevant.analyze(images[i], 4, True, 2.0, threads=2).planes

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for a, b in zip(alone, together):
        assert np.array_equal(a, b)


def test_other_python_threads_run_during_a_call():
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.002)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        start = time.monotonic()
        brevant.analyze(scene(3, 800, 800), 20, True, 2.0, threads=1)
        end = time.monotonic()
    finally:
        stop.set()
        thread.join()
    during = [t for t in ticks if start < t < end]
    assert end - start > 0.2 and len(during) > 20


def test_ctrl_c_stops_an_analysis_and_leaves_nothing_behind(tmp_path):
    image = scene(4, 1500, 1500)
    timer = threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        brevant.analyze(image, 1000, True, 2.0, threads=2)
    assert time.monotonic() - start < 10  # a pass, not a thousand
    timer.join()
    # The process goes on as usual.
    assert brevant.analyze(scene(5, 40, 40), 1).planes.shape == (3, 40, 40)


def resident_kilobytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def test_two_hundred_calls_do_not_grow_the_process():
    image = scene(6, 120, 100)
    for _ in range(20):
        brevant.analyze(image, 2, True, 2.0)
    before = resident_kilobytes()
    for _ in range(200):
        result = brevant.analyze(image, 2, True, 2.0)
        assert result.planes.base is not None  # numpy owns the engine's planes: no copy
    del result
    assert resident_kilobytes() - before < 8 * 1024
