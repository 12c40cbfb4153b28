"""``python3 -m brevant batch``: a data set through the analysis on the cores of this machine
(a Dask LocalCluster of worker processes) or on a running Dask cluster, a manifest line a
run, reruns skipping what is done."""

import argparse
import os
import sys
import time

from . import _batch_task
from ._batch_inputs import UsageError, plan
from ._manifest import Manifest, failed_record, read_last_runs, still_good

_MAX_LISTED_FAILURES = 20
# A task whose worker died this many times (killed, out of memory) is given up as failed.
_ALLOWED_FAILURES = 2


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(2, "%s: error: %s\n" % (self.prog, message))


def _arguments(argv):
    parser = _Parser(prog="python3 -m brevant batch",
                     description="Analyse many images: each input's result file next to it or under --out, "
                                 "a manifest line per input, reruns skipping finished inputs.")
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="files, folders (searched for images), glob patterns or @list.txt (a path a line)")
    parser.add_argument("--iterations", type=int, default=10, help="refinement passes (10)")
    parser.add_argument("--histograms", action="store_true", help="also compute the 36 orientation histograms")
    parser.add_argument("--sigma", type=float, default=2.0, help="the filters' scale in pixels (2.0)")
    parser.add_argument("--out", metavar="DIR", help="write results here, in the inputs' folder tree")
    parser.add_argument("--workers", type=int, metavar="N", help="worker processes (one per core)")
    parser.add_argument("--threads-per-worker", type=int, default=1, metavar="T",
                        help="engine threads of each image (1); a worker analyses one image at a time")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler, tcp://HOST:PORT")
    parser.add_argument("--manifest", metavar="FILE",
                        help="the manifest (brevant-manifest.jsonl in the output folder or the current one)")
    parser.add_argument("--force", action="store_true", help="run every input again")
    parser.add_argument("--quiet", action="store_true", help="print only the summary")
    args = parser.parse_args(argv)
    if not (args.sigma > 0) or args.sigma > 1e6:
        parser.error("--sigma must be above 0 and at most 1000000")
    if not -2**31 <= args.iterations < 2**31:
        parser.error("--iterations must fit a 32-bit integer")
    if args.workers is not None and args.workers < 1:
        parser.error("--workers must be at least 1")
    if not 1 <= args.threads_per_worker <= _batch_task._brevant.MAX_THREADS:
        parser.error("--threads-per-worker must be from 1 to %d" % _batch_task._brevant.MAX_THREADS)
    if args.scheduler and args.workers is not None:
        parser.error("--workers sizes a cluster of this machine; with --scheduler the cluster is already running")
    return args


def _start(args):
    """A Dask client: on the scheduler asked for, or on a new cluster of this machine."""
    import dask
    from distributed import Client, LocalCluster
    dask.config.set({"distributed.scheduler.allowed-failures": _ALLOWED_FAILURES,
                     # Results are small records: nothing to spill; a pause would only stall a run.
                     "distributed.worker.memory.target": False,
                     "distributed.worker.memory.spill": False})
    if args.scheduler:
        client = Client(args.scheduler, timeout="30s")
        return client, None
    cores = len(os.sched_getaffinity(0))
    workers = args.workers or max(1, cores // args.threads_per_worker)
    import logging
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=None, silence_logs=logging.CRITICAL)
    return Client(cluster), cluster


def _check_workers(client):
    """Words when no worker can run the analysis (none there, or brevant not installed)."""
    try:
        client.wait_for_workers(1, timeout=60)
        answers = client.run(_batch_task.probe)
    except Exception as error:  # the workers' own error, in their words
        return "the workers cannot run brevant (%s: %s); install the package on every worker" % (
            type(error).__name__, error)
    return None if answers else "the cluster has no workers"


class _Progress:
    """Counts, and a bar on a terminal."""

    def __init__(self, total, show):
        self.counts = {"ok": 0, "failed": 0, "skipped": 0}
        self._bar = None
        if show:
            try:
                from tqdm import tqdm
                self._bar = tqdm(total=total, unit="image", dynamic_ncols=True, file=sys.stderr)
            except ImportError:
                pass

    def add(self, status):
        self.counts[status] += 1
        if self._bar is not None:
            self._bar.set_postfix(self.counts, refresh=False)
            self._bar.update(1)

    def close(self):
        if self._bar is not None:
            self._bar.close()


def _skipped(record):
    skipped = dict(record)
    skipped.update(status="skipped", seconds=0.0, worker=None)
    return skipped


def _failure(item, parameters, reason):
    return failed_record(item.path, item.result, parameters, reason)


def _run(args, inputs, manifest, progress):
    parameters = {"iterations": args.iterations, "histograms": args.histograms, "sigma": args.sigma}
    last = {} if args.force else read_last_runs(manifest.path)
    failures, todo = [], []

    def done(record):
        manifest.write(record)
        progress.add(record["status"])
        if record["status"] == "failed":
            failures.append(record)

    for item in inputs:
        if item.problem:
            done(_failure(item, parameters, item.problem))
        elif still_good(last.get((item.path, item.result)), item.path, item.result, parameters):
            done(_skipped(last[(item.path, item.result)]))
        else:
            todo.append(item)
    if not todo:
        return failures, 0.0, 0

    started = time.perf_counter()
    try:
        client, cluster = _start(args)
    except (OSError, TimeoutError) as error:
        where = "the scheduler at %s" % args.scheduler if args.scheduler else "a cluster on this machine"
        for item in todo:
            done(_failure(item, parameters, "cannot start on %s: %s" % (where, error)))
        return failures, time.perf_counter() - started, 0
    startup = time.perf_counter() - started
    try:
        problem = _check_workers(client)
        if problem:
            for item in todo:
                done(_failure(item, parameters, problem))
            return failures, startup, 0
        from distributed import as_completed
        futures = {}
        for item in todo:
            future = client.submit(_batch_task.run_one, item.path, item.result, args.iterations, args.histograms,
                                   args.sigma, args.threads_per_worker, pure=False)
            futures[future] = item
        for future in as_completed(futures):
            item = futures.pop(future)
            if future.status == "finished":
                done(future.result())
            else:
                error = future.exception()
                if type(error).__name__ == "KilledWorker":
                    reason = "the workers running it died %d times (killed, or out of memory)" % (
                        _ALLOWED_FAILURES + 1)
                else:
                    reason = "%s: %s" % (type(error).__name__, error)
                done(_failure(item, parameters, reason))
            future.release()
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return failures, startup, len(todo)


def batch(argv):
    """The batch command; its exit status: 0 all ok or skipped, 1 any failed, 2 usage."""
    args = _arguments(argv)
    try:
        inputs = plan(args.inputs, args.out)
    except UsageError as error:
        print("python3 -m brevant batch: error: %s" % error, file=sys.stderr)
        return 2
    manifest_path = args.manifest or os.path.join(args.out or ".", "brevant-manifest.jsonl")
    try:
        manifest = Manifest(manifest_path)
    except OSError as error:
        print("python3 -m brevant batch: cannot open the manifest %s: %s" % (manifest_path, error.strerror),
              file=sys.stderr)
        return 2
    progress = _Progress(len(inputs), not args.quiet and sys.stderr.isatty())
    started = time.perf_counter()
    try:
        failures, startup, ran = _run(args, inputs, manifest, progress)
    except KeyboardInterrupt:
        progress.close()
        print("Interrupted: the finished inputs are in the manifest %s; run the same command again to go on."
              % manifest_path)
        return 130
    finally:
        progress.close()
        manifest.close()
    seconds = time.perf_counter() - started
    counts = progress.counts
    print("%d ok, %d failed, %d skipped of %d inputs in %.1f s (cluster start %.1f s%s); manifest %s" % (
        counts["ok"], counts["failed"], counts["skipped"], len(inputs), seconds, startup,
        ", %.2f images/s" % (ran / (seconds - startup)) if ran and seconds > startup else "", manifest_path))
    for record in failures[:_MAX_LISTED_FAILURES]:
        print("failed: %s: %s" % (record["input"], record["reason"]))
    if len(failures) > _MAX_LISTED_FAILURES:
        print("... and %d more failures (see the manifest)" % (len(failures) - _MAX_LISTED_FAILURES))
    return 1 if failures else 0
