"""The batch manifest: one JSON object a line per input and run, appended; a rerun reads it
to skip the inputs whose results are already there."""

import json
import os

PARAMETERS = ("iterations", "histograms", "sigma")


def read_last_runs(path):
    """The last record that ran each (input, result), by that pair; "skipped" records only
    repeat an earlier one and are passed over. A damaged line (a batch killed while writing
    it) is ignored."""
    last = {}
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as lines:
            for line in lines:
                try:
                    record = json.loads(line)
                except ValueError:
                    continue
                if isinstance(record, dict) and record.get("status") in ("ok", "failed"):
                    last[(record.get("input"), record.get("result"))] = record
    except FileNotFoundError:
        pass
    return last


def input_identity(path):
    """(size, modification time in ns) of a file, or None when it cannot be seen."""
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_size, info.st_mtime_ns


def failed_record(path, result, parameters, reason="", worker=None):
    """A record of a run of `path` that has not succeeded (yet): the input's size and
    modification time as they are now."""
    identity = input_identity(path)
    record = {"input": path, "result": result, "status": "failed", "reason": reason, "width": None, "height": None,
              "planes": None}
    record.update((name, parameters[name]) for name in PARAMETERS)
    record.update(seconds=0.0, worker=worker, size=identity[0] if identity else None,
                  mtime_ns=identity[1] if identity else None, mtime=identity[1] / 1e9 if identity else None)
    return record


def still_good(record, path, result, parameters):
    """Whether `record`, the last run of (path, result), is an ok run of the same input and
    parameters whose result file is still there, whole."""
    if record is None or record.get("status") != "ok":
        return False
    if any(record.get(name) != parameters[name] for name in PARAMETERS):
        return False
    if input_identity(path) != (record.get("size"), record.get("mtime_ns")):
        return False
    try:
        planes, width, height = record["planes"], record["width"], record["height"]
        return os.stat(result).st_size == 4 * planes * width * height
    except (KeyError, TypeError, OSError):
        return False


class Manifest:
    """Appends records, each a whole line flushed at once, so that a batch stopped at any
    point leaves a manifest its rerun can use."""

    def __init__(self, path):
        folder = os.path.dirname(os.path.abspath(path))
        os.makedirs(folder, exist_ok=True)
        self.path = path
        self._file = open(path, "a", encoding="utf-8", errors="surrogateescape")

    def write(self, record):
        self._file.write(json.dumps(record, sort_keys=False) + "\n")
        self._file.flush()

    def close(self):
        self._file.close()
