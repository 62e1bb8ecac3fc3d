"""The optimised engine against the plain reference, bit for bit, on data
built to reach its shortcuts: database blocks and query groups of several
sizes, rows the top-k and max searches may skip by their bit counts, rows
that end a min or max search early, and many equal scores."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _quarnel as q
import reference
from reference import fingerprint

# 0 and 70 bits: no and a partial last word; 167, 1024, 2048, 4096: the
# widths with loops of their own.
WIDTHS = [0, 70, 167, 1024, 2048, 4096]


def near_duplicates(rng, n_bits, count):
    """Copies of a few parents with a bit or two flipped: close neighbours,
    ties, and bit counts spread around each parent's count.  Some empty and
    some dense rows join them."""
    if n_bits == 0:
        return [fingerprint(0) for _ in range(count)]
    parents = [set(np.flatnonzero(rng.random(n_bits) < density).tolist())
               for density in (0.02, 0.05, 0.1, 0.3)]
    fps = []
    for i in range(count):
        if i % 50 == 7:
            fps.append(fingerprint(n_bits))
            continue
        if i % 50 == 8:
            fps.append(fingerprint(n_bits, range(0, n_bits, 2)))
            continue
        bits = set(parents[rng.integers(len(parents))])
        for flip in rng.integers(0, n_bits, rng.integers(0, 3)):
            bits ^= {int(flip)}
        fps.append(fingerprint(n_bits, bits))
    return fps


@pytest.fixture(scope="module", params=WIDTHS)
def sets(request):
    rng = np.random.default_rng(request.param + 1)
    db = near_duplicates(rng, request.param, 600)
    # 40 queries: a full group of 32 and a short one; some are exact copies
    # of database rows, so max reaches 1.0 and stops early.
    queries = near_duplicates(rng, request.param, 36) + db[:4]
    return queries, db


@pytest.mark.parametrize("n_threads", [1, 2, 3])
def test_cross_modes(sets, n_threads):
    queries, db = sets
    for agg in (None, "mean", "max", "min"):
        got = q.bulk_tanimoto_parallel(queries, db, n_threads=n_threads, agg=agg)
        assert got.tobytes() == reference.cross(queries, db, agg).tobytes(), agg


@pytest.mark.parametrize("k", [1, 5, 40])
def test_topk_with_pruning(sets, k):
    queries, db = sets
    want_indices, want_scores = reference.top_k(queries, db, k)
    for n_threads in (1, 3):
        indices, scores = q.bulk_tanimoto_parallel_topk(queries, db, k=k, n_threads=n_threads)
        assert np.array_equal(indices, want_indices)
        assert scores.tobytes() == want_scores.tobytes()


def test_internal_modes(sets):
    _, db = sets
    subset = db[:300]  # the reference's mean is a Python loop per pair
    for agg in (None, "mean", "max", "min"):
        for n_threads in (1, 2):
            got = q.internal_tanimoto_parallel(subset, n_threads=n_threads, agg=agg)
            assert got.tobytes() == reference.internal(subset, agg).tobytes(), agg


def test_forced_kernel_changes_no_result(tmp_path):
    """QUARNEL_KERNEL (for benchmarks) picks the widest backend; any name
    gives the same bytes, and one that cannot be used is said on stderr."""
    rng = np.random.default_rng(5)
    paths = []
    for n_bits in (167, 2048):
        path = tmp_path / f"{n_bits}.bin"
        q.save_fingerprints(near_duplicates(rng, n_bits, 300), path)
        paths.append(str(path))
    code = f"""
        import hashlib, _quarnel as q
        digest = hashlib.sha256()
        for path in {paths!r}:
            for agg in (None, "mean", "max"):
                digest.update(q.bulk_tanimoto_mmap(path, path, agg=agg).tobytes())
            for agg in ("min", "max"):
                digest.update(q.internal_tanimoto_mmap(path, agg=agg).tobytes())
            for part in q.bulk_tanimoto_mmap_threshold(path, path, 0.6):
                digest.update(part.tobytes())
            for part in q.bulk_tanimoto_mmap_topk(path, path, k=7):
                digest.update(part.tobytes())
        print(digest.hexdigest())
    """
    outcomes = {}
    for name in ("", "portable", "popcnt", "avx2", "no-such-kernel"):
        env = {**os.environ, "QUARNEL_KERNEL": name}
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                              text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        outcomes[name] = (done.stdout, done.stderr)
    assert len({stdout for stdout, _ in outcomes.values()}) == 1
    assert [stderr for _, stderr in outcomes.values()] == [
        "", "", "", "",
        "quarnel: QUARNEL_KERNEL=no-such-kernel is not one of portable, popcnt, avx2, avx512; choosing by CPU\n"]
