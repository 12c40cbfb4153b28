"""The package's own exception."""

import errno as _errno

_ERRNO_OF_REASON = {
    "no such file": _errno.ENOENT,
    "permission denied": _errno.EACCES,
    "it is a folder, not a file": _errno.EISDIR,
}


class ImageReadError(OSError):
    """An image file could not be read.

    Attributes
    ----------
    path : str
        The file as it was given.
    reason : str
        Why, in words: "no such file", "permission denied", "not a format Brevant reads, or
        its header is damaged", "the file is truncated or corrupt", "a variant of the format
        the reader does not support", ... (the program prints the same words).
    """

    def __init__(self, path, reason):
        super().__init__(_ERRNO_OF_REASON.get(reason), "cannot read %s: %s" % (path, reason))
        self.filename = path
        self.path = path
        self.reason = reason

    def __str__(self):
        return "cannot read %s: %s" % (self.path, self.reason)

    def __reduce__(self):  # so that the error crosses process boundaries (multiprocessing, Dask)
        return (type(self), (self.path, self.reason))
