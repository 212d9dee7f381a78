"""Helpers for filling records from host data: addresses, names, placements.

Used by the Blender add-on, which carries a copy of this package.
"""
import numpy as np

__all__ = ["address", "fit_text", "instance_rows"]


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


def instance_rows(matrices):
    """(n, 3, 4) float32 rows of 4x4 placement matrices (anything indexable as [r][c])."""
    rows = np.zeros((len(matrices), 3, 4), np.float32)
    for k, m in enumerate(matrices):
        rows[k] = [m[0][:], m[1][:], m[2][:]]
    return rows
