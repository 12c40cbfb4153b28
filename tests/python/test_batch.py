"""The batch command on real Dask clusters of this machine: a LocalCluster of two worker
processes, one of them killed half-way, and a scheduler and workers started apart."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import SOURCE, run_program, write_png, write_qxi

SAMPLE = os.path.join(SOURCE, "data", "sample.jpg")


def batch(*arguments, cwd=None):
    done = subprocess.run([sys.executable, "-m", "brevant", "batch", *arguments], capture_output=True, text=True,
                          timeout=300, cwd=cwd)
    return done.returncode, done.stdout + done.stderr


def records(manifest):
    with open(manifest) as lines:
        return [json.loads(line) for line in lines]


def last_by_input(manifest, tree):
    return {os.path.relpath(r["input"], tree): r for r in records(manifest)}


def leftovers(folder):
    return [os.path.join(root, name) for root, _, names in os.walk(folder) for name in names
            if name.startswith(".brevant-")]


def expected(tmp_path, source, iterations, histograms, sigma):
    """The program's result for a copy of `source`."""
    folder = tmp_path / "program"
    folder.mkdir(exist_ok=True)
    copy = str(folder / os.path.basename(source))
    shutil.copy(source, copy)
    return run_program(copy, iterations, histograms, sigma)


def test_a_mixed_tree_runs_resumes_and_redoes(tmp_path):
    tree, out = tmp_path / "tree", tmp_path / "out"
    (tree / "sub" / "deep").mkdir(parents=True)
    rng = np.random.default_rng(5)
    shutil.copy(SAMPLE, tree / "photo.jpg")
    write_png(tree / "sub" / "colour.png", rng.integers(0, 256, (40, 52, 3)))
    write_qxi(tree / "sub" / "deep" / "grey.qxi", rng.uniform(0, 255, (33, 47)))
    shutil.copy(os.path.join(SOURCE, "data", "sample.dat"), tree / "sub" / "scene.dat")
    shutil.copy(tree / "sub" / "colour.png", tree / "photo.png")  # the same result name as photo.jpg
    (tree / "sub" / "corrupt.png").write_bytes(b"this is not a picture")
    (tree / "cut.jpg").write_bytes(open(SAMPLE, "rb").read()[:6000])
    (tree / "notes.txt").write_text("not an image, and not taken from a folder")
    os.symlink(tree / "gone.jpg", tree / "sub" / "link.jpg")  # points nowhere
    good = ["photo.jpg", "sub/colour.png", "sub/deep/grey.qxi", "sub/scene.dat"]

    status, output = batch(str(tree), "--out", str(out), "--iterations", "3", "--histograms", "--sigma", "1.5")
    assert status == 1, output
    manifest = out / "brevant-manifest.jsonl"
    runs = last_by_input(manifest, tree)
    assert sorted(runs) == sorted(good + ["photo.png", "sub/corrupt.png", "cut.jpg", "sub/link.jpg"])
    for name in good:
        record = runs[name]
        assert record["status"] == "ok", record
        assert record["result"] == str(out / name)[:-3] + "edg"
        assert (record["iterations"], record["histograms"], record["sigma"], record["planes"]) == (3, True, 1.5, 39)
        assert record["size"] == os.path.getsize(tree / name) and record["worker"].startswith("tcp://127.0.0.1:")
        data = open(record["result"], "rb").read()
        assert len(data) == 4 * 39 * record["width"] * record["height"]
        assert data == expected(tmp_path, str(tree / name), 3, True, 1.5), name
    assert "already the result of" in runs["photo.png"]["reason"]
    assert runs["sub/corrupt.png"]["reason"] == "not a format Brevant reads, or its header is damaged"
    assert runs["cut.jpg"]["reason"] == "the file is truncated or corrupt"
    assert runs["sub/link.jpg"]["reason"] == "no such file"
    assert all(runs[name]["status"] == "failed" for name in ("photo.png", "sub/corrupt.png", "cut.jpg", "sub/link.jpg"))
    assert "failed: " in output and "4 ok, 4 failed, 0 skipped" in output
    assert leftovers(out) == [] and not os.path.exists(out / "cut.edg")

    # A rerun skips the good ones and tries the failed ones again; one changed input is redone.
    os.utime(tree / "sub" / "scene.dat", ns=(0, 10**18))
    status, output = batch(str(tree), "--out", str(out), "--iterations", "3", "--histograms", "--sigma", "1.5")
    assert status == 1 and "1 ok, 4 failed, 3 skipped" in output, output
    rerun = records(manifest)[8:]
    assert {os.path.relpath(r["input"], tree): r["status"] for r in rerun if r["status"] != "failed"} == {
        "photo.jpg": "skipped", "sub/colour.png": "skipped", "sub/deep/grey.qxi": "skipped", "sub/scene.dat": "ok"}

    # Other parameters are another run; --force redoes everything.
    status, output = batch(str(tree), "--out", str(out), "--iterations", "3", "--histograms", "--sigma", "1.5",
                           "--force")
    assert status == 1 and "4 ok, 4 failed, 0 skipped" in output, output
    assert open(out / "photo.edg", "rb").read() == expected(tmp_path, str(tree / "photo.jpg"), 3, True, 1.5)


def test_nothing_to_run_and_usage():
    assert batch()[0] == 2
    assert batch("x.png", "--sigma", "0")[0] == 2
    status, output = batch("@/nonexistent/list.txt")
    assert status == 2 and "cannot read the list" in output


def test_inputs_that_name_nothing_fail_without_a_cluster(tmp_path):
    status, output = batch(str(tmp_path / "missing.png"), str(tmp_path / "*.jpg"), "--manifest",
                           str(tmp_path / "m.jsonl"))
    assert status == 1 and "cluster start 0.0 s" in output, output
    assert [r["reason"] for r in records(tmp_path / "m.jsonl")] == ["no such file", "no file matches the pattern"]


def test_a_worker_killed_half_way(tmp_path):
    tree, out = tmp_path / "tree", tmp_path / "out"
    tree.mkdir()
    for k in range(12):
        shutil.copy(SAMPLE, tree / ("frame%02d.jpg" % k))
    want = expected(tmp_path, SAMPLE, 10, True, 2.0)
    run = subprocess.Popen([sys.executable, "-m", "brevant", "batch", str(tree), "--out", str(out), "--histograms",
                            "--workers", "2", "--quiet"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    import psutil
    killed = None
    deadline = time.monotonic() + 120
    while killed is None and run.poll() is None and time.monotonic() < deadline:
        if os.path.exists(out / "frame00.edg") or os.path.exists(out / "frame01.edg"):
            workers = [p for p in psutil.Process(run.pid).children(recursive=True)
                       if "spawn_main" in " ".join(p.cmdline())]
            if workers:
                killed = workers[0].pid
                os.kill(killed, signal.SIGKILL)
        time.sleep(0.02)
    output = run.communicate(timeout=300)[0]
    assert killed is not None, output
    assert run.returncode == 0, output
    assert "12 ok, 0 failed" in output
    for k in range(12):
        assert open(out / ("frame%02d.edg" % k), "rb").read() == want, k
    assert leftovers(out) == []


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_a_scheduler_started_apart(tmp_path):
    port = free_port()
    address = "tcp://127.0.0.1:%d" % port
    env = dict(os.environ)
    started = [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                 "--port", str(port), "--no-dashboard"], env=env, stderr=subprocess.DEVNULL)]
    try:
        for _ in range(2):
            started.append(subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", address,
                                             "--nthreads", "1", "--host", "127.0.0.1", "--no-dashboard"],
                                            env=env, stderr=subprocess.DEVNULL))
        write_qxi(tmp_path / "grey.qxi", np.random.default_rng(2).uniform(0, 255, (30, 41)))
        shutil.copy(SAMPLE, tmp_path / "photo.jpg")
        (tmp_path / "late.jpg").write_bytes(b"")
        status, output = batch(str(tmp_path / "photo.jpg"), str(tmp_path / "grey.qxi"), str(tmp_path / "late.jpg"),
                               "--scheduler", address, "--iterations", "4", cwd=tmp_path)
        assert status == 1 and "2 ok, 1 failed" in output, output
        for name in ("photo.jpg", "grey.qxi"):
            assert open(str(tmp_path / name)[:-3] + "edg", "rb").read() == expected(
                tmp_path, str(tmp_path / name), 4, False, 2.0)
    finally:
        for process in reversed(started):
            process.terminate()
        for process in started:
            process.wait(timeout=30)


def test_memory_admission_holds_runs_to_the_budget():
    import threading
    from brevant._batch_task import _Admission
    admission = _Admission()
    admission.acquire(60, 100)
    waiting = threading.Thread(target=admission.acquire, args=(50, 100))
    waiting.start()
    waiting.join(0.2)
    assert waiting.is_alive()  # 60 + 50 exceed the budget
    admission.release(60)
    waiting.join(5)
    assert not waiting.is_alive()
    admission.release(50)
    admission.acquire(500, 100)  # more than the whole budget: admitted alone
    admission.release(500)
