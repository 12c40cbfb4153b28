"""The inputs of a batch and their result files: paths, folders, glob patterns and @lists
expanded to files; each file's result named as the program names it, next to the input or
under an output folder."""

import glob
import os

#: Extensions whose files a folder search takes (any case); files named one by one are
#: taken whatever their extension, and the reader says why when it cannot read them.
READ_EXTENSIONS = frozenset((".png", ".jpg", ".jpeg", ".gif", ".bmp", ".tif", ".tiff", ".wdp", ".hdr", ".dng",
                             ".dat", ".qxi"))


class UsageError(Exception):
    """An input the batch cannot even start on (exit status 2)."""


class Input:
    """One file of a batch: where it is, where its result goes, or why it cannot be run."""

    def __init__(self, path, result=None, problem=None):
        self.path = path  # absolute, as text (bytes that are not UTF-8 kept by surrogateescape)
        self.result = result
        self.problem = problem  # words, when the input fails before it is run


def _readable(name):
    return os.path.splitext(name)[1].lower() in READ_EXTENSIONS


def _folder_files(folder):
    found = []
    for root, folders, files in os.walk(folder):
        folders.sort()
        found.extend(os.path.join(root, name) for name in sorted(files) if _readable(name))
    return found


def _list_entries(list_file):
    try:
        with open(list_file, encoding="utf-8", errors="surrogateescape") as lines:
            entries = [line.rstrip("\r\n") for line in lines]
    except OSError as error:
        raise UsageError("cannot read the list %s: %s" % (list_file, error.strerror or error)) from None
    base = os.path.dirname(os.path.abspath(list_file))
    return [os.path.join(base, entry) for entry in entries if entry.strip()]


def expand(arguments):
    """The files the arguments name, in order, each once: [(path, problem)]; problem is the
    words for an argument that names nothing."""
    paths, problems, seen = [], [], set()

    def add(path, problem=None):
        path = os.path.abspath(path)
        if path not in seen:
            seen.add(path)
            paths.append(path)
            problems.append(problem)

    for argument in arguments:
        names = _list_entries(argument[1:]) if argument.startswith("@") else [argument]
        for name in names:
            if os.path.isdir(name):
                for path in _folder_files(name):
                    add(path)
            elif os.path.lexists(name):
                add(name)
            elif glob.has_magic(name):
                matches = sorted(glob.glob(name, recursive=True))
                if not matches:
                    add(name, "no file matches the pattern")
                for match in matches:
                    if os.path.isdir(match):
                        for path in _folder_files(match):
                            add(path)
                    elif _readable(match):
                        add(match)
            else:
                add(name, "no such file")
    return list(zip(paths, problems))


def result_name(path, out=None, root=None):
    """The result file of the input `path`: its last three characters replaced by "edg", as
    the program names it (bytes, as the program counts them); under `out`, at the place the
    input has below `root`."""
    encoded = os.fsencode(path)
    if len(encoded) < 3:
        return None
    if out is not None:
        encoded = os.path.join(os.fsencode(os.path.abspath(out)), os.path.relpath(encoded, os.fsencode(root)))
    return os.fsdecode(encoded[:-3] + b"edg")


def plan(arguments, out=None):
    """The batch's inputs, each with its result name, or the reason it cannot be run."""
    expanded = expand(arguments)
    root = None
    if out is not None and expanded:
        root = os.path.commonpath([os.path.dirname(path) for path, _ in expanded])
    inputs, owners = [], {}
    for path, problem in expanded:
        result = result_name(path, out, root)
        if problem is None and result is None:
            problem = "the path is too short to name its result file"
        elif problem is None and result == path:
            problem = "the result file would replace the input file; rename the input first"
        elif problem is None and result in owners:
            # Two inputs (photo.png and photo.jpg, say) would write the same result file: the
            # later one would silently replace the earlier one's result.
            problem = "its result file %s is already the result of %s" % (result, owners[result])
        if problem is None:
            owners[result] = path
        inputs.append(Input(path, result, problem))
    return inputs
