"""Prepared databases (`_scoring.prepare`): every search of one gives
exactly what the same search of the plain source gives (scores bit for
bit, the same rows in the same order), grouped by count or not, for every
metric, on real molecules repeated so that ties fall at the k-th place."""

import numpy as np
import pytest
from rdkit import DataStructs

import _quarnel

scoring = _quarnel._scoring

METRICS = [
    ("tanimoto", 1.0, 1.0),
    ("dice", 1.0, 1.0),
    ("cosine", 1.0, 1.0),
    ("tversky", 0.7, 0.2),
    ("tversky", 0.0, 0.9),
    ("tversky", 1.7, 0.3),  # weights past RDKit's: pruned by counts alone in the plain search
]
METRIC_IDS = [f"{m}-{a}-{b}" for m, a, b in METRICS]
THRESHOLDS = [0.0, 0.31, 0.5, 0.7, 1.0]


def words_of(fps):
    n_bits = fps[0].GetNumBits()
    width = (n_bits + 63) // 64
    raw = b"".join(DataStructs.BitVectToBinaryText(fp).ljust(8 * width, b"\0") for fp in fps)
    return np.frombuffer(raw, dtype="<u8").reshape(len(fps), width).copy()


def write_file(path, rows, n_bits):
    with open(path, "wb") as out:
        out.write(np.array([len(rows), n_bits], "<u4").tobytes())
        rows.astype("<u8").tofile(out)
    return str(path)


def assert_identical(got, expected):
    """Arrays equal in shape, type and every bit (so -0.0 is not 0.0)."""
    for a, b in zip(got if isinstance(got, tuple) else (got,), expected if isinstance(expected, tuple) else (expected,)):
        assert a.dtype == b.dtype and a.shape == b.shape
        assert a.tobytes() == b.tobytes()


@pytest.fixture(scope="module")
def rows(molecule_fps):
    """The molecules, then copies of the first 80 (exact ties) and five empty
    rows, shuffled so that equal rows lie far apart."""
    words = words_of(molecule_fps)
    all_rows = np.concatenate([words, words[:80], words[:80], np.zeros((5, words.shape[1]), np.uint64)])
    return all_rows[np.random.default_rng(3).permutation(len(all_rows))]


@pytest.fixture(scope="module")
def query_sets(rows):
    """One query, five (an empty one among them) and 70, past what the
    grouped searches take one by one."""
    empty = int(np.flatnonzero(~rows.any(axis=1))[0])
    return [(rows[[7]].copy(), 2048), (rows[[3, empty, 11, 150, 400]].copy(), 2048), (rows[:70].copy(), 2048)]


@pytest.fixture(scope="module", params=["array", "file"])
def plain(request, rows, tmp_path_factory):
    if request.param == "array":
        return (rows, 2048)
    return write_file(tmp_path_factory.mktemp("prepared") / "db.fps", rows, 2048)


@pytest.fixture(scope="module", params=[True, False], ids=["grouped", "ungrouped"])
def prepared(request, plain):
    return scoring.prepare(plain, group=request.param)


@pytest.mark.parametrize("metric,alpha,beta", METRICS, ids=METRIC_IDS)
def test_topk_is_the_plain_search(plain, prepared, query_sets, rows, metric, alpha, beta):
    n = len(rows)
    for queries in query_sets:
        for k in (1, 7, n, n + 5):
            for n_threads in (1, 2):
                kwargs = dict(k=k, metric=metric, alpha=alpha, beta=beta, n_threads=n_threads)
                assert_identical(scoring.cross_topk(queries, prepared, **kwargs),
                                 scoring.cross_topk(queries, plain, **kwargs))


@pytest.mark.parametrize("metric,alpha,beta", METRICS, ids=METRIC_IDS)
def test_threshold_is_the_plain_search(plain, prepared, query_sets, metric, alpha, beta):
    for queries in query_sets:
        for threshold in THRESHOLDS:
            for n_threads in (1, 2):
                kwargs = dict(metric=metric, alpha=alpha, beta=beta, n_threads=n_threads)
                assert_identical(scoring.cross_threshold(queries, prepared, threshold, **kwargs),
                                 scoring.cross_threshold(queries, plain, threshold, **kwargs))


@pytest.mark.parametrize("agg", [None, "mean", "max", "min"])
@pytest.mark.parametrize("metric,alpha,beta", [METRICS[0], METRICS[3]], ids=[METRIC_IDS[0], METRIC_IDS[3]])
def test_aggregates_are_the_plain_search(plain, prepared, query_sets, agg, metric, alpha, beta):
    for queries in query_sets:
        kwargs = dict(metric=metric, alpha=alpha, beta=beta, agg=agg, n_threads=2)
        assert_identical(scoring.cross(queries, prepared, **kwargs), scoring.cross(queries, plain, **kwargs))


@pytest.mark.parametrize("offset,limit", [(0, 0), (0, 100), (37, 0), (37, 200), (10_000, 0)])
def test_windows_are_windows_of_the_plain_rows(plain, prepared, query_sets, offset, limit):
    for queries in query_sets[:2]:
        window = dict(db_offset=offset, db_limit=limit, n_threads=2)
        assert_identical(scoring.cross_topk(queries, prepared, k=9, **window),
                         scoring.cross_topk(queries, plain, k=9, **window))
        assert_identical(scoring.cross_threshold(queries, prepared, 0.4, **window),
                         scoring.cross_threshold(queries, plain, 0.4, **window))
        assert_identical(scoring.cross(queries, prepared, agg="mean", **window),
                         scoring.cross(queries, plain, agg="mean", **window))


@pytest.mark.parametrize("group", [True, False])
def test_odd_databases_are_searched_as_plain_ones(group):
    """Zero-width rows, no rows, stray bits past the length."""
    rng = np.random.default_rng(5)
    narrow = rng.integers(0, 2**63, (40, 3), dtype=np.uint64) & rng.integers(0, 2**63, (40, 3), dtype=np.uint64)
    dirty = narrow.copy()
    dirty[:, -1] |= np.uint64(0xFFFF_FF80_0000_0000)  # bits 167 ..
    for db, queries in [
        ((np.zeros((4, 0), np.uint64), 0), (np.zeros((2, 0), np.uint64), 0)),
        ((np.zeros((0, 3), np.uint64), 167), (narrow[:3], 167)),
        ((dirty, 167), (narrow[:3], 167)),
    ]:
        prepared = scoring.prepare(db, group=group)
        for k in (1, 3, 50):
            assert_identical(scoring.cross_topk(queries, prepared, k=k), scoring.cross_topk(queries, db, k=k))
        assert_identical(scoring.cross_threshold(queries, prepared, 0.2), scoring.cross_threshold(queries, db, 0.2))
        assert_identical(scoring.cross(queries, prepared), scoring.cross(queries, db))


def test_the_object_describes_its_rows_and_keeps_its_file(rows, tmp_path):
    path = tmp_path / "db.fps"
    write_file(path, rows, 2048)
    grouped = scoring.prepare(path)
    ungrouped = scoring.prepare((rows, 2048), group=False, n_threads=1)
    assert (grouped.rows, grouped.n_bits, grouped.grouped) == (len(rows), 2048, True)
    assert (ungrouped.rows, ungrouped.grouped) == (len(rows), False)
    assert grouped.nbytes >= rows.nbytes > ungrouped.nbytes > 0
    path.unlink()  # the mapping outlives the name
    queries = (rows[:4].copy(), 2048)
    assert_identical(scoring.cross_topk(queries, grouped, k=5), scoring.cross_topk(queries, (rows, 2048), k=5))
    assert "PreparedRows" in repr(grouped)


def test_bad_calls_are_refused(rows, tmp_path):
    with pytest.raises(TypeError, match="cannot create"):
        scoring.PreparedRows()
    with pytest.raises(TypeError, match="path or an \\(array, n_bits\\) tuple"):
        scoring.prepare(12)
    with pytest.raises(FileNotFoundError):
        scoring.prepare(tmp_path / "missing.fps")
    prepared = scoring.prepare((rows, 2048))
    with pytest.raises(ValueError, match="Fingerprint bit mismatch"):
        scoring.cross_topk((rows[:2, :16].copy(), 1024), prepared)
    with pytest.raises(AttributeError):
        prepared.rows = 3


def test_a_copy_that_cannot_fit_is_refused_before_any_work(tmp_path):
    # 8 bytes, complete: 2^32 - 1 rows of no words, whose counts and order
    # alone take 12 bytes a row.
    path = tmp_path / "huge.fps"
    path.write_bytes(np.array([2**32 - 1, 0], "<u4").tobytes())
    with open("/proc/meminfo") as meminfo:
        fields = dict(line.split(":", 1) for line in meminfo)
    ceiling = (int(fields["MemTotal"].split()[0]) + int(fields["SwapTotal"].split()[0])) * 1024
    if 12 * (2**32 - 1) <= ceiling:
        pytest.skip("this machine could hold the counts of 2^32 - 1 rows")
    with pytest.raises(MemoryError, match="cannot allocate"):
        scoring.prepare(path)
