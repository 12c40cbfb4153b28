"""What a batch worker does for one input: wait until its memory is free, run the program's
analysis into the result file, and describe the run in a manifest record."""

import os
import socket
import threading
import time

from . import _brevant
from ._manifest import failed_record

# A worker may be stopped (Dask pauses at 80 % of its limit and ends it at 95 %): runs are
# admitted while their estimates stay below this share of the limit.
_SHARE_OF_LIMIT = 0.75


class _Admission:
    """The memory of this worker process, handed to runs by their estimates. A run that
    needs more than the whole budget runs alone; the engine then refuses it, in words, if
    the machine cannot hold it."""

    def __init__(self):
        self._free = threading.Condition()
        self._in_use = 0

    def acquire(self, needed, budget):
        with self._free:
            while self._in_use > 0 and self._in_use + needed > budget:
                self._free.wait()
            self._in_use += needed

    def release(self, needed):
        with self._free:
            self._in_use -= needed
            self._free.notify_all()


_admission = _Admission()


def _worker():
    """This process's Dask worker, or None outside one."""
    try:
        from distributed import get_worker
        return get_worker()
    except (ImportError, ValueError):
        return None


def _budget(worker):
    limit = getattr(getattr(worker, "memory_manager", None), "memory_limit", None) if worker else None
    if limit:
        return int(limit * _SHARE_OF_LIMIT)
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 1 << 62  # unknown: the engine's own check remains


def probe():
    """What a worker answers the batch's check before any input is sent: its host."""
    return socket.gethostname()


def run_one(path, result, iterations, histograms, sigma, threads):
    """Analyses `path` into `result`; the manifest record of the run."""
    worker = _worker()
    parameters = {"iterations": iterations, "histograms": histograms, "sigma": sigma}
    record = failed_record(path, result, parameters, worker=worker.address if worker else socket.gethostname())
    start = time.perf_counter()
    admitted = [0]

    def admit(width, height, needed):
        _admission.acquire(needed, _budget(worker))
        admitted[0] = needed

    try:
        os.makedirs(os.path.dirname(result), exist_ok=True)
        kind, words, shape = _brevant.analyze_to_file(os.fsencode(path), os.fsencode(result), iterations,
                                                      histograms, sigma, threads, admit)
    except OSError as error:
        kind, words, shape = "failed", "cannot make the folder of %s: %s" % (result, error.strerror), (0, 0, 0)
    finally:
        if admitted[0]:
            _admission.release(admitted[0])
    record["seconds"] = round(time.perf_counter() - start, 6)
    if kind == "ok":
        record["status"] = "ok"
        record["width"], record["height"], record["planes"] = shape
    else:
        record["reason"] = words
        if shape[0]:
            record["width"], record["height"] = shape[0], shape[1]
    return record
