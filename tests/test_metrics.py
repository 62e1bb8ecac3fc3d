"""The scoring namespace: Dice, cosine and Tversky (and Tanimoto) in every
mode, over files and arrays, held against RDKit's own bulk functions on
real molecules.  Every comparison is exact: the module computes RDKit's
expressions in the same order."""

import numpy as np
import pytest
from rdkit import Chem, DataStructs
from rdkit.Chem import MACCSkeys

import _quarnel
import reference
from conftest import NCI_SMILES

scoring = _quarnel._scoring

# (metric, alpha, beta); the Tversky weights cover the asymmetric case, a
# zero weight (RDKit's 1.0 for a zero denominator), Dice's 0.5/0.5, and
# RDKit's largest weights (the denominator's third term then subtracts).
METRICS = [
    ("tanimoto", 1.0, 1.0),
    ("dice", 1.0, 1.0),
    ("cosine", 1.0, 1.0),
    ("tversky", 0.7, 0.2),
    ("tversky", 0.0, 0.9),
    ("tversky", 0.5, 0.5),
    ("tversky", 1.0, 1.0),
]
METRIC_IDS = [f"{m}-{a}-{b}" for m, a, b in METRICS]


def rdkit_matrix(queries, database, metric, alpha, beta):
    """RDKit's bulk scores, query by query.  Tanimoto keeps this module's
    0.0 for two empty vectors where RDKit has 1.0."""
    rows = []
    for q in queries:
        if metric == "tversky":
            row = DataStructs.BulkTverskySimilarity(q, database, alpha, beta)
        else:
            bulk = {"tanimoto": DataStructs.BulkTanimotoSimilarity, "dice": DataStructs.BulkDiceSimilarity,
                    "cosine": DataStructs.BulkCosineSimilarity}[metric]
            row = bulk(q, database)
            if metric == "tanimoto" and q.GetNumOnBits() == 0:
                row = [0.0 if d.GetNumOnBits() == 0 else s for s, d in zip(row, database)]
        rows.append(row)
    return np.array(rows, dtype=np.float64).reshape(len(queries), len(database))


def words_of(fps):
    """The (N, W) uint64 rows of a list of vectors."""
    n_bits = fps[0].GetNumBits()
    width = (n_bits + 63) // 64
    raw = b"".join(DataStructs.BitVectToBinaryText(fp).ljust(8 * width, b"\0") for fp in fps)
    return np.frombuffer(raw, dtype="<u8").reshape(len(fps), width).copy()


def edge_cases(n_bits, like):
    """Two empty vectors, a copy of `like`, two one-bit vectors."""
    empty = DataStructs.ExplicitBitVect(n_bits)
    one = reference.fingerprint(n_bits, [5])
    other = reference.fingerprint(n_bits, [n_bits - 1])
    return [empty, DataStructs.ExplicitBitVect(n_bits), DataStructs.ExplicitBitVect(like.ToBinary()), one, other]


@pytest.fixture(scope="module")
def morgan(molecule_fps):
    fps = list(molecule_fps[:90])
    return fps[:20] + edge_cases(2048, fps[0]) + fps[20:]


@pytest.fixture(scope="module")
def maccs():
    fps = []
    with open(NCI_SMILES) as lines:
        for line in lines:
            mol = Chem.MolFromSmiles(line.split()[0])
            if mol is not None:
                fps.append(MACCSkeys.GenMACCSKeys(mol))
            if len(fps) == 60:
                break
    return edge_cases(167, fps[0]) + fps


@pytest.fixture(scope="module", params=["morgan", "maccs"])
def fps(request):
    return request.getfixturevalue(request.param)


@pytest.fixture(scope="module")
def sources(fps, tmp_path_factory):
    """The same rows as a file and as an array: (queries, database) pairs."""
    path = tmp_path_factory.mktemp("metrics") / "fps.bin"
    _quarnel.save_fingerprints(fps, str(path))
    n_bits = fps[0].GetNumBits()
    array = (words_of(fps), n_bits)
    return {"file": str(path), "array": array}


def first_rows(source, n):
    """The first n rows of a source, as an array (queries are whole sources)."""
    if isinstance(source, tuple):
        return (source[0][:n].copy(), source[1])
    return source


N_QUERIES = 12


def queries_of(fps, sources, kind, tmp_path):
    if kind == "array":
        return first_rows(sources["array"], N_QUERIES)
    path = tmp_path / "queries.bin"
    _quarnel.save_fingerprints(fps[:N_QUERIES], str(path))
    return str(path)


def left_sum(row):
    """The module's mean: a strictly left-to-right sum."""
    return np.cumsum(row)[-1] / len(row)


def assert_same(got, expected):
    np.testing.assert_array_equal(got, expected, strict=True)


def csr_equal(got, expected):
    for g, e in zip(got, expected):
        assert_same(g, e)


@pytest.mark.parametrize("metric,alpha,beta", METRICS, ids=METRIC_IDS)
@pytest.mark.parametrize("kind", ["file", "array"])
class TestCross:
    def test_full_and_aggregates_match_rdkit(self, fps, sources, kind, metric, alpha, beta, tmp_path):
        queries = queries_of(fps, sources, kind, tmp_path)
        expected = rdkit_matrix(fps[:N_QUERIES], fps, metric, alpha, beta)
        args = dict(metric=metric, alpha=alpha, beta=beta)
        full = scoring.cross(queries, sources[kind], **args)
        assert_same(full, expected)
        assert_same(scoring.cross(queries, sources[kind], agg="mean", **args),
                    np.array([left_sum(r) for r in expected]))
        assert_same(scoring.cross(queries, sources[kind], agg="max", **args), expected.max(axis=1))
        assert_same(scoring.cross(queries, sources[kind], agg="min", n_threads=1, **args),
                    expected.min(axis=1))

    def test_topk_and_threshold_match_brute_force(self, fps, sources, kind, metric, alpha, beta, tmp_path):
        queries = queries_of(fps, sources, kind, tmp_path)
        expected = rdkit_matrix(fps[:N_QUERIES], fps, metric, alpha, beta)
        args = dict(metric=metric, alpha=alpha, beta=beta)
        for k in (1, 10):
            indices, scores = scoring.cross_topk(queries, sources[kind], k=k, **args)
            want = [reference.top_k_by_row(row, k) for row in expected]
            assert_same(indices, np.array([w[0] for w in want], dtype=np.uint32))
            assert_same(scores, np.array([w[1] for w in want], dtype=np.float64))
        for threshold in (0.0, 0.5, 0.7, 1.0):
            csr_equal(scoring.cross_threshold(queries, sources[kind], threshold, **args),
                      reference.threshold_rows(expected, threshold))


@pytest.mark.parametrize("metric,alpha,beta", METRICS, ids=METRIC_IDS)
@pytest.mark.parametrize("kind", ["file", "array"])
def test_internal_modes_match_rdkit(fps, sources, kind, metric, alpha, beta):
    expected = rdkit_matrix(fps, fps, metric, alpha, beta)
    n = len(fps)
    args = dict(metric=metric, alpha=alpha, beta=beta)
    # Row i is the query of pair (i, j), i < j.
    assert_same(scoring.internal(sources[kind], **args), expected[np.triu_indices(n, k=1)])
    others = [np.delete(expected[i], i) for i in range(n)]
    assert_same(scoring.internal(sources[kind], agg="mean", **args), np.array([left_sum(r) for r in others]))
    assert_same(scoring.internal(sources[kind], agg="max", **args), np.array([r.max() for r in others]))
    assert_same(scoring.internal(sources[kind], agg="min", **args), np.array([r.min() for r in others]))
    for threshold in (0.0, 0.6, 1.0):
        csr_equal(scoring.internal_threshold(sources[kind], threshold, **args),
                  reference.threshold_rows(expected, threshold, without_diagonal=True))


@pytest.mark.parametrize("metric,alpha,beta", [METRICS[0], METRICS[3]], ids=[METRIC_IDS[0], METRIC_IDS[3]])
def test_every_thread_count_and_source_agrees(morgan, tmp_path, metric, alpha, beta):
    path = tmp_path / "db.bin"
    _quarnel.save_fingerprints(morgan, str(path))
    array = (words_of(morgan), 2048)
    args = dict(metric=metric, alpha=alpha, beta=beta)
    calls = [
        lambda src, t: scoring.cross(src, src, n_threads=t, **args),
        lambda src, t: scoring.cross(src, src, agg="max", n_threads=t, **args),
        lambda src, t: scoring.cross_topk(src, src, k=5, n_threads=t, **args),
        lambda src, t: scoring.cross_threshold(src, src, 0.4, n_threads=t, **args),
        lambda src, t: scoring.internal(src, agg="mean", n_threads=t, **args),
        lambda src, t: scoring.internal_threshold(src, 0.4, n_threads=t, **args),
    ]
    for call in calls:
        results = [call(src, t) for src in (str(path), array) for t in (1, 2)]
        for other in results[1:]:
            if isinstance(other, tuple):
                csr_equal(other, results[0])
            else:
                assert_same(other, results[0])


def test_weights_beyond_rdkits_prune_to_the_brute_force_answer(morgan):
    """RDKit refuses Tversky weights above 1; this module scores them with
    the same expression, and its searches, which then prune by bit counts
    alone, agree with its own full matrix."""
    array = (words_of(morgan), 2048)
    args = dict(metric="tversky", alpha=1.8, beta=0.3)
    full = scoring.cross(array, array, **args)
    assert_same(scoring.cross(array, array, agg="max", **args), full.max(axis=1))
    indices, scores = scoring.cross_topk(array, array, k=5, **args)
    want = [reference.top_k_by_row(row, 5) for row in full]
    assert_same(indices, np.array([w[0] for w in want], dtype=np.uint32))
    assert_same(scores, np.array([w[1] for w in want], dtype=np.float64))
    csr_equal(scoring.cross_threshold(array, array, 0.5, **args), reference.threshold_rows(full, 0.5))


def test_tanimoto_equals_the_public_functions(morgan, tmp_path):
    path = str(tmp_path / "db.bin")
    _quarnel.save_fingerprints(morgan, path)
    assert_same(scoring.cross(path, path, db_offset=3, db_limit=40),
                _quarnel.bulk_tanimoto_mmap(path, path, db_offset=3, db_limit=40))
    # The same scores; equal ones by the lower row here, by heap order there.
    indices, scores = scoring.cross_topk(path, path, k=4, db_offset=7)
    assert_same(scores, _quarnel.bulk_tanimoto_mmap_topk(path, path, k=4, db_offset=7)[1])
    full = _quarnel.bulk_tanimoto_mmap(path, path, db_offset=7)
    assert_same(indices, np.array([reference.top_k_by_row(row, 4)[0] for row in full], dtype=np.uint32) + 7)
    csr_equal(scoring.cross_threshold(path, path, 0.3, db_offset=7),
              _quarnel.bulk_tanimoto_mmap_threshold(path, path, 0.3, db_offset=7))
    assert_same(scoring.internal(path, agg="min"), _quarnel.internal_tanimoto_mmap(path, agg="min"))


class TestArrays:
    def test_windows_count_from_the_first_row(self, morgan):
        array = (words_of(morgan), 2048)
        window = (words_of(morgan)[10:30], 2048)
        indices, _ = scoring.cross_topk(array, array, k=3, db_offset=10, db_limit=20)
        local, _ = scoring.cross_topk(array, window, k=3)
        assert_same(indices, local + 10)

    def test_stray_bits_past_the_length_are_ignored(self, maccs):
        words = words_of(maccs)
        dirty = words.copy()
        dirty[:, -1] |= np.uint64(0xFFFF_FF80_0000_0000)  # bits 167 .. 191
        clean = (words, 167)
        assert_same(scoring.cross((dirty, 167), clean, metric="cosine"), scoring.cross(clean, clean, metric="cosine"))
        assert_same(dirty[:, -1], words[:, -1] | np.uint64(0xFFFF_FF80_0000_0000))  # read, never written

    def test_read_only_arrays_are_read_in_place(self, morgan):
        words = words_of(morgan)
        words.flags.writeable = False
        assert scoring.internal((words, 2048), agg="max").shape == (len(morgan),)

    def test_empty_sets_and_bit_mismatches_behave_as_before(self, maccs):
        rows = (words_of(maccs), 167)
        none = (np.zeros((0, 3), dtype=np.uint64), 167)
        assert scoring.cross(none, rows, metric="dice").shape == (0, len(maccs))
        assert_same(scoring.cross(rows, none, agg="mean"), np.zeros(len(maccs)))
        assert scoring.cross_topk(rows, none)[0].shape == (len(maccs), 0)
        assert_same(scoring.cross_threshold(rows, none, 0.5)[0], np.zeros(len(maccs) + 1, dtype=np.int64))
        assert scoring.internal(none).shape == (0,)
        with pytest.raises(ValueError, match="Fingerprint bit mismatch"):
            scoring.cross(rows, (words_of(maccs), 166))

    def test_zero_width_rows_score_as_two_empty_vectors(self):
        rows = (np.zeros((3, 0), dtype=np.uint64), 0)
        assert_same(scoring.cross(rows, rows, metric="tversky", alpha=0.3, beta=0.3), np.ones((3, 3)))
        assert_same(scoring.internal(rows, metric="dice"), np.zeros(3))
        assert_same(scoring.cross_topk(rows, rows, k=2, metric="tversky")[1], np.ones((3, 2)))


class TestBadArguments:
    @pytest.mark.parametrize(
        "value,error,message",
        [
            ((np.zeros((2, 32), dtype=np.int64), 2048), TypeError, "must hold uint64"),
            ((np.zeros(32, dtype=np.uint64), 2048), ValueError, "must be 2-D"),
            ((np.zeros((32, 2), dtype=np.uint64).T, 2048), ValueError, "C-contiguous"),
            ((np.zeros((2, 16), dtype=np.uint64), 2048), ValueError, "2048 bits take 32 words"),
            ((np.zeros((2, 32), dtype=np.uint64), -1), OverflowError, ""),
            (([[0] * 32], 2048), TypeError, "buffer protocol"),
            (12, TypeError, "path or an \\(array, n_bits\\) tuple"),
        ],
    )
    def test_bad_rows_are_refused(self, value, error, message):
        with pytest.raises(error, match=message):
            scoring.internal(value)

    @pytest.mark.parametrize(
        "kwargs,error,message",
        [
            (dict(metric="jaccard"), ValueError, "unknown metric 'jaccard'"),
            (dict(metric=3), TypeError, "argument 'metric'"),
            (dict(metric="tversky", alpha=-0.1), ValueError, "alpha must be a finite number"),
            (dict(metric="tversky", beta=float("nan")), ValueError, "beta must be a finite number"),
            (dict(metric="tversky", alpha=float("inf")), ValueError, "alpha"),
        ],
    )
    def test_bad_metrics_are_refused(self, kwargs, error, message):
        rows = (np.zeros((2, 1), dtype=np.uint64), 64)
        with pytest.raises(error, match=message):
            scoring.cross(rows, rows, **kwargs)

    def test_signatures_are_stored(self):
        import inspect

        assert str(inspect.signature(scoring.cross)) == (
            "(queries, database, metric='tanimoto', alpha=1.0, beta=1.0, agg=None, n_threads=-1, "
            "db_offset=0, db_limit=0)"
        )
        assert list(inspect.signature(scoring.internal_threshold).parameters) == [
            "rows", "threshold", "metric", "alpha", "beta", "n_threads"]
