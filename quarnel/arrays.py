"""NumPy arrays as fingerprints: which arrays are accepted, and their
conversion to rows (the (N, W) little-endian uint64 layout of a fingerprint
file: bit i in word i // 64 at bit i % 64, least significant first).

- ``uint64`` (N, W): rows as they are, 64·W bits; no copy where the array
  is C-contiguous, a copy of a row slice (``A[::2]``) or a Fortran-order
  array.
- ``bool`` (N, L): one value per bit, L bits.
- ``uint8`` (N, B) holding only 0 and 1: one value per bit, L = B bits, as
  RDKit's ``DataStructs.ConvertToNumpyArray`` and ``GetFingerprintAsNumPy``
  give them.
- ``uint8`` (N, B) holding any other value: packed bytes as from
  ``numpy.packbits(bits, axis=1, bitorder="little")``, 8·B bits.

A uint8 array of 0s and 1s could be either; `PackedBits(array)` reads it as
packed bytes and `BitArray(array)` insists on one value per bit, so that
neither reading is left to the values when it matters.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from .errors import QuarnelError

# The bit length a fingerprint file's header (and the engine) can hold.
MAX_BITS = 2**31
_ROW_WORD = np.dtype("<u8")


@dataclasses.dataclass(frozen=True)
class BitArray:
    """A bool or uint8 (N, L) array read as one 0/1 value per bit."""

    array: np.ndarray


@dataclasses.dataclass(frozen=True)
class PackedBits:
    """A uint8 (N, B) array read as packed bytes, bit 0 the least
    significant bit of byte 0 (``numpy.packbits(..., bitorder="little")``),
    whatever its values."""

    array: np.ndarray


def is_array(value) -> bool:
    return isinstance(value, (np.ndarray, BitArray, PackedBits))


def as_rows(value):
    """(rows, n_bits): the (N, W) C-contiguous little-endian uint64 rows of
    an accepted array and its bit length.  A C-contiguous uint64 array
    comes back as it is, any other layout of whole rows as a copy; the
    others are converted in bulk.  Anything else is an error that
    says what to give instead, raised before any work: TypeError for the
    wrong dtype or dimensions, QuarnelError for the wrong contents."""
    form = "bits" if isinstance(value, BitArray) else "packed" if isinstance(value, PackedBits) else None
    array = value.array if form else value
    if not isinstance(array, np.ndarray):
        raise TypeError(f"{type(value).__name__} needs a NumPy array, not {type(array).__name__}")
    if array.ndim != 2:
        hint = " (one fingerprint: array[None, :])" if array.ndim == 1 else ""
        raise TypeError(f"a fingerprint array must have 2 dimensions, (fingerprints, bits or words), "
                           f"not {array.ndim}{hint}")
    if array.dtype == _ROW_WORD and form is None:
        if _skips_words(array):
            raise QuarnelError(f"a uint64 fingerprint array must be C-contiguous; this {array.shape} one is a "
                               "strided view that takes words out of its rows, which no fingerprint is (copy "
                               "it with numpy.ascontiguousarray if its rows are meant as they are)")
        return _checked(np.ascontiguousarray(array), 64 * array.shape[1])
    if array.dtype == np.bool_ and form != "packed":
        return _checked(_pack_bits(array), array.shape[1])
    if array.dtype == np.uint8:
        if form == "packed":
            return _checked(_widen(array), 8 * array.shape[1])
        largest = int(array.max()) if array.size else 0
        if largest <= 1:
            return _checked(_pack_bits(array), array.shape[1])
        if form == "bits":
            where = tuple(int(i) for i in np.unravel_index(int(np.argmax(array > 1)), array.shape))
            raise QuarnelError(f"a 0/1 fingerprint array holds {array[where]} at {where}; one value per bit "
                               "must be 0 or 1")
        return _checked(_widen(array), 8 * array.shape[1])
    wanted = {"bits": "bool or uint8", "packed": "uint8"}.get(form, "uint64 (rows), uint8 (packed bytes or "
                                                                   "0/1 bits) or bool (bits)")
    hint = " (0/1 values: array.astype(bool))" if array.dtype.kind in "iuf" and form != "packed" else ""
    raise TypeError(f"a fingerprint array must be {wanted}, not {array.dtype}{hint}")


def _skips_words(array: np.ndarray) -> bool:
    """A view of a row-major array that leaves words out of each row, or
    reorders them (``A[:, ::2]``): not whole rows as any layout keeps them.
    Row slices and Fortran order keep each row's words, in order."""
    if array.size == 0 or array.shape[1] == 1 or array.strides[1] == _ROW_WORD.itemsize:
        return False
    return array.shape[0] <= 1 or abs(array.strides[1]) <= abs(array.strides[0])


def zero_one_bits(value) -> bool:
    """A plain uint8 array of 0s and 1s: read one value per bit, though
    its values would make packed bytes as well."""
    return (isinstance(value, np.ndarray) and value.dtype == np.uint8 and value.ndim == 2 and value.size > 0
            and int(value.max()) <= 1)


def _checked(rows: np.ndarray, n_bits: int):
    if n_bits > MAX_BITS:
        raise QuarnelError(f"fingerprints of {n_bits} bits; at most {MAX_BITS} are possible")
    if n_bits == 0 and len(rows):
        raise QuarnelError(f"a fingerprint array of {len(rows)} rows of 0 bits")
    return rows, n_bits


def _pack_bits(bits: np.ndarray) -> np.ndarray:
    return _widen(np.packbits(bits, axis=1, bitorder="little"))


def _widen(packed: np.ndarray) -> np.ndarray:
    """Packed bytes, zero-padded to whole words, as uint64 rows."""
    width = -(-packed.shape[1] // 8)
    rows = np.zeros((packed.shape[0], 8 * width), np.uint8)
    rows[:, :packed.shape[1]] = packed
    return rows.view(_ROW_WORD)


def row_bytes_view(rows: np.ndarray, n_bits: int) -> np.ndarray:
    """The first ceil(n_bits / 8) bytes of each uint64 row, as (N, B) uint8,
    with any bits at or past `n_bits` in the last byte cleared."""
    width = -(-n_bits // 8)
    packed = np.ascontiguousarray(np.asarray(rows, _ROW_WORD).view(np.uint8)[:, :width])
    if n_bits % 8 and len(packed):
        if not packed.flags.writeable:
            packed = packed.copy()
        packed[:, -1] &= np.uint8((1 << (n_bits % 8)) - 1)
    return packed
