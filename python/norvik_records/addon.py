"""Helpers for filling records from host data: addresses, names, placements,
and for putting the written documents in place.

Used by the Blender add-on, which carries a copy of this package.
"""
import os
import tempfile
from itertools import chain

import numpy as np

__all__ = ["address", "fit_text", "unique_keys", "instance_rows", "ReplaceFiles"]


def address(array):
    """Address of the first byte of a numpy array; 0 (a null address) for None or an empty array."""
    if array is None or array.size == 0:
        return 0
    return array.__array_interface__["data"][0]


def fit_text(text, size):
    """UTF-8 bytes of ``text`` that fit a ``size``-byte field with its NUL.

    A name that is too long is cut before the first character that does not
    fit whole, never inside a multi-byte character.
    """
    data = text.encode("utf-8")
    limit = size - 1
    if len(data) <= limit:
        return data
    cut = limit
    # Step back over continuation bytes (10xxxxxx) to the start of the
    # character that straddles the limit.
    while cut > 0 and (data[cut] & 0xC0) == 0x80:
        cut -= 1
    return data[:cut]


def unique_keys(names, size):
    """Document keys for ``names``: UTF-8 bytes that fit a ``size``-byte field and differ.

    A name that fits whole keeps its bytes, unless the same name came earlier
    in ``names``.  Any other name is cut by ``fit_text``; when that key is
    taken, it ends with ``~2``, ``~3`` and so on instead, the name cut shorter
    (never inside a character) so that key and suffix fit the field together.
    Names that fit whole are served first, so a cut or numbered key never
    takes a name that some object really has.  The result depends only on the
    names and their order.
    """
    limit = size - 1
    if limit < 8:
        raise ValueError("a key field of %d bytes is too small for numbered keys" % size)
    encoded = [n.encode("utf-8") for n in names]
    keys = [None] * len(names)
    taken = set()
    for i, data in enumerate(encoded):
        if len(data) <= limit and data not in taken:
            taken.add(data)
            keys[i] = data
    following = {}          # cut key -> next number to try
    for i, name in enumerate(names):
        if keys[i] is not None:
            continue
        base = key = fit_text(name, size)
        number = following.get(base, 1)
        while key in taken:
            number += 1
            suffix = b"~%d" % number
            key = fit_text(name, size - len(suffix)) + suffix
        following[base] = number
        taken.add(key)
        keys[i] = key
    return keys


def instance_rows(matrices):
    """(n, 3, 4) float32 rows of 4x4 placement matrices (anything indexable as [r][c])."""
    # One pass over all the numbers: a row-by-row copy into the array costs
    # half as much again per matrix.
    values = chain.from_iterable(chain.from_iterable(m[:3] for m in matrices))
    return np.fromiter(values, np.float32, 12 * len(matrices)).reshape(-1, 3, 4)


def camera_path_for(scene_path):
    """The camera document the exporter writes beside ``scene_path``."""
    root, ext = os.path.splitext(scene_path)
    return root + "_cameras" + (ext or ".json")


class ReplaceFiles:
    """Documents written beside their targets and put in place only when all succeeded.

    ``temporary(target)`` creates an empty file in the target's folder and
    returns its path, for a writer to fill.  ``commit()`` renames every such
    file over its target (an atomic step per file on one file system), so a
    reader sees either the previous document or the complete new one.  On
    leaving the ``with`` block, files not committed are removed.  A target that
    is a symbolic link is replaced where the link points.  The new file gets
    the mode of the file it replaces, or the usual mode of a new file.
    """

    def __init__(self):
        self._pending = []      # (temporary path, target path)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.discard()
        return False

    def temporary(self, target):
        """A new empty file beside ``target``; raises OSError when the folder refuses it."""
        target = os.path.realpath(target)
        folder, name = os.path.split(target)
        if os.path.isdir(target):
            raise IsADirectoryError(21, "Is a directory", target)
        fd, path = tempfile.mkstemp(prefix="." + name + ".", suffix=".tmp", dir=folder)
        os.close(fd)
        self._pending.append((path, target))
        os.chmod(path, _mode_for(target))       # by path: Windows has no fchmod
        return path

    def commit(self):
        """Rename every file over its target, in order; raises OSError naming a target that failed."""
        while self._pending:
            path, target = self._pending[0]
            try:
                os.replace(path, target)
            except OSError as exc:
                raise OSError(exc.errno, exc.strerror, target) from exc
            self._pending.pop(0)

    def discard(self):
        """Remove the files not yet committed."""
        for path, _ in self._pending:
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
        self._pending = []


def _mode_for(target):
    try:
        return os.stat(target).st_mode & 0o7777
    except FileNotFoundError:
        mask = os.umask(0o022)
        os.umask(mask)
        return 0o666 & ~mask
