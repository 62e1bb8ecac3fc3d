"""Reading Python sequences of ExplicitBitVect: what is accepted, and how
unreadable sets are reported on standard error and treated as empty."""

import collections.abc

import numpy as np
import pytest
from rdkit import DataStructs

import _quarnel as q
import reference
from reference import fingerprint

FP = fingerprint(100, [0, 99])


class SubVect(DataStructs.ExplicitBitVect):
    pass


class Lazy(collections.abc.Sequence):
    """A sequence that iterates through a generator, counting what it yields."""

    def __init__(self, items, fail_at=None):
        self.items, self.fail_at, self.yielded = list(items), fail_at, 0

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.fail_at:
                raise ZeroDivisionError("iteration broke")
            self.yielded += 1
            yield item


class NotIterable:
    pass


collections.abc.Sequence.register(NotIterable)


def reports(capfd):
    """The exception lines printed since the last call."""
    err = capfd.readouterr().err
    return [line for line in err.splitlines() if line and not line.startswith((" ", "Traceback"))]


def assert_read_as_empty(bad, capfd, expected_report):
    good = [FP, fingerprint(100, [0])]
    assert q.bulk_tanimoto_parallel(bad, good).shape == (0, 2)
    assert q.bulk_tanimoto_parallel(good, bad, agg="min").tolist() == [0.0, 0.0]
    indices, scores = q.bulk_tanimoto_parallel_topk(good, bad)
    assert indices.shape == scores.shape == (2, 0)
    assert q.internal_tanimoto_parallel(bad, agg="max").shape == (0,)
    lines = reports(capfd)
    assert len(lines) == 4, lines  # one report per unreadable set
    for line in lines:
        assert line.startswith(expected_report), line
    # Nothing is left pending: the next call behaves normally.
    assert q.internal_tanimoto_parallel(good).tolist() == [0.5]
    assert reports(capfd) == []


def test_valid_sets_print_nothing(capfd):
    for fps in ([], (), [FP], (FP, FP), Lazy([FP, FP]), [SubVect(100)]):
        q.bulk_tanimoto_parallel(fps, fps)
        q.internal_tanimoto_parallel(fps)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("bad", [
    [5],
    [FP, 5],
    [FP, None, fingerprint(64)],  # the first failure ends the reading
    [FP, DataStructs.SparseBitVect(100)],
    "abc",  # a sequence of one-letter strings
    range(3),
])
def test_element_not_a_vector(bad, capfd):
    assert_read_as_empty(bad, capfd, "TypeError")


@pytest.mark.parametrize("bad", [
    [fingerprint(1024), fingerprint(2048)],
    [FP, FP, fingerprint(101, [0]), 5],
    [fingerprint(0), fingerprint(1)],
    [fingerprint(64), fingerprint(128)],  # same length in words would not do
])
def test_inconsistent_lengths(bad, capfd):
    assert_read_as_empty(bad, capfd, "ValueError: Inconsistent fingerprint lengths")


def test_unreadable_sequences(capfd):
    assert_read_as_empty(NotIterable(), capfd, "TypeError: Expected a sequence")
    assert_read_as_empty(Lazy([FP, FP], fail_at=1), capfd, "ZeroDivisionError: iteration broke")


def test_iterated_sequences_read_like_lists(capfd):
    fps = reference.random_fingerprints(np.random.default_rng(3), 6, 100)
    lazy = Lazy(fps)
    assert np.array_equal(q.bulk_tanimoto_parallel(lazy, fps), q.bulk_tanimoto_parallel(fps, fps))
    assert lazy.yielded == len(fps)
    assert np.array_equal(q.internal_tanimoto_parallel(tuple(fps)), q.internal_tanimoto_parallel(fps))


def test_subclass_of_the_vector_type():
    sub = SubVect(100)
    sub.SetBitsFromList([0, 50])
    assert q.bulk_tanimoto_parallel([FP], [sub, FP]).tolist() == [[1 / 3, 1.0]]


def test_last_word_bits():
    # Bits 99, 64 and 63 sit on both sides of a word edge.
    probes = [fingerprint(100, [99]), fingerprint(100, [0]), fingerprint(100, [64]),
              fingerprint(100, [63]), fingerprint(100, [0, 99])]
    assert q.bulk_tanimoto_parallel([FP], probes).tolist() == [[0.5, 0.5, 0.0, 0.0, 1.0]]


def test_zero_width_vectors_keep_their_count(capfd):
    assert q.internal_tanimoto_parallel([fingerprint(0)] * 4).tolist() == [0.0] * 6
    assert q.bulk_tanimoto_parallel([fingerprint(0)] * 2, [fingerprint(0)] * 3).shape == (2, 3)
    assert capfd.readouterr().err == ""
