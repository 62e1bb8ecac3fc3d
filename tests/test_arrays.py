"""NumPy arrays as fingerprints: every form scores as the same bit vectors
do, the uint8 rule holds both ways, and a bad array fails before any work."""

import numpy as np
import pytest
from rdkit import DataStructs

import quarnel
from quarnel.arrays import as_rows


def forms(fps):
    """The same fingerprints as every array form the package takes."""
    bits = np.zeros((len(fps), fps[0].GetNumBits()), np.uint8)
    for row, fp in zip(bits, fps):
        DataStructs.ConvertToNumpyArray(fp, row)
    packed = np.packbits(bits, axis=1, bitorder="little")
    words = quarnel.to_numpy(fps)
    return {"uint64": words, "bool": bits.astype(bool), "0/1 uint8": bits, "packed uint8": packed,
            "PackedBits": quarnel.PackedBits(packed), "BitArray": quarnel.BitArray(bits)}


def test_every_array_form_scores_as_the_bit_vectors(molecule_fps, tmp_path):
    queries, library = molecule_fps[:25], molecule_fps
    by_vectors = quarnel.search(queries, library, k=7)
    matrix = quarnel.similarity_matrix(queries, library, threshold=0.3)
    query_forms, library_forms = forms(queries), forms(library)
    for name, array in library_forms.items():
        hits = quarnel.search(query_forms[name], array, k=7)
        assert np.array_equal(hits.indices, by_vectors.indices), name
        assert np.array_equal(hits.scores, by_vectors.scores), name
        other = quarnel.similarity_matrix(query_forms[name], array, threshold=0.3)
        assert (other != matrix).nnz == 0 and other.shape == matrix.shape, name
    assert quarnel.search(queries, library_forms["packed uint8"], k=1).target_names[0] == "0"

    # Out again: the rows themselves, mapped from a saved database.
    db = quarnel.save_database(library_forms["bool"], tmp_path / "a.qfp", names=[f"m{i}" for i in range(300)])
    mapped = db.to_numpy()
    assert isinstance(mapped, np.memmap) and not mapped.flags.writeable
    assert np.array_equal(mapped, library_forms["uint64"]) and db.names[299] == "m299"
    assert np.array_equal(quarnel.to_numpy(tmp_path / "a.qfp"), mapped)
    words = library_forms["uint64"]
    assert as_rows(words)[0] is words  # the layout of a file already: no copy


def test_the_uint8_rule():
    zero_one = np.array([[1, 0, 0, 0, 0, 0, 0, 0, 1]], np.uint8)
    assert as_rows(zero_one)[1] == 9 and int(as_rows(zero_one)[0][0, 0]) == 0b100000001
    assert as_rows(quarnel.PackedBits(zero_one))[1] == 72  # the same values, read as bytes
    packed = np.array([[2, 1]], np.uint8)
    assert as_rows(packed)[1] == 16 and int(as_rows(packed)[0][0, 0]) == 0x0102
    with pytest.raises(quarnel.QuarnelError, match=r"holds 2 at \(0, 0\); one value per bit must be 0 or 1"):
        as_rows(quarnel.BitArray(packed))


def test_bad_arrays_fail_before_any_work(tmp_path):
    words = np.zeros((4, 8), np.uint64)
    cases = [
        (words.astype(np.int64), TypeError, r"must be uint64 .* not int64 \(0/1 values: array.astype\(bool\)\)"),
        (words.astype(">u8"), TypeError, "not >u8"),
        (words[0], TypeError, r"2 dimensions.*not 1 \(one fingerprint: array\[None, :\]\)"),
        (words[None], TypeError, "not 3"),
        (words[:, ::2], quarnel.QuarnelError, "must be C-contiguous; this \\(4, 4\\) one is a strided view"),
        (np.zeros((3, 0), bool), quarnel.QuarnelError, "3 rows of 0 bits"),
        (quarnel.PackedBits(words.astype(bool)), TypeError, "must be uint8, not bool"),
    ]
    for array, kind, message in cases:
        with pytest.raises(kind, match=message):
            quarnel.search(array, words)
        with pytest.raises(kind, match=message):
            quarnel.save_database(array, tmp_path / "x.qfp")
    with pytest.raises(quarnel.QuarnelError, match="3 names for 4 fingerprints"):
        quarnel.save_database(words, tmp_path / "x.qfp", names=["a", "b", "c"])
    assert list(tmp_path.iterdir()) == []
    # Bits past the bit length cannot be set in any form; an empty array is
    # an empty set.
    assert as_rows(np.ones((1, 3), bool))[0].tolist() == [[7]]
    assert len(quarnel.search(np.zeros((0, 32), np.uint64), words)) == 0


def test_whole_rows_in_any_layout_are_copied_and_zero_one_bytes_hint_at_packed_bits(molecule_fps):
    words = quarnel.to_numpy(molecule_fps)
    by_vectors = quarnel.search(molecule_fps[::2], molecule_fps, k=3)
    for array in (words[::2], np.asfortranarray(words[::2]), np.asfortranarray(words)[::2]):
        assert not array.flags.c_contiguous
        hits = quarnel.search(array, words, k=3)
        assert np.array_equal(hits.indices, by_vectors.indices) and np.array_equal(hits.scores, by_vectors.scores)
    assert np.array_equal(quarnel.to_numpy(np.asfortranarray(words)), words)
    # 256 columns of 0s and 1s against 2048 bits: packed bytes, most likely.
    zero_one = (np.random.default_rng(3).random((4, 256)) < 0.5).astype(np.uint8)
    for queries, database in ((zero_one, words), (words, zero_one)):
        with pytest.raises(quarnel.QuarnelError, match=r"holds only 0s and 1s, read as one bit each \(256 bits\): "
                                                       r"quarnel.PackedBits\(array\) reads its 256 columns"):
            quarnel.search(queries, database)
    assert quarnel.search(quarnel.PackedBits(zero_one), words, k=1).indices.shape == (4, 1)
