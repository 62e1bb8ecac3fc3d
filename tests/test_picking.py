"""MaxMin and Leader picking against RDKit's own pickers on real molecules,
with duplicates and empty fingerprints in the pool, and `quarnel pick`."""

import itertools
import subprocess
import sys

import numpy as np
import pytest
from rdkit import Chem, DataStructs, RDLogger
from rdkit.Chem import AllChem
from rdkit.SimDivFilters.rdSimDivPickers import LeaderPicker, MaxMinPicker

import _quarnel
import quarnel
from conftest import NCI_SMILES
from test_cli import on_terminal


@pytest.fixture(scope="module")
def pool():
    """About 900 Morgan fingerprints, then copies of 40 of them and three
    empty ones: ties that only the pick order can settle."""
    RDLogger.DisableLog("rdApp.*")
    fps = []
    with open(NCI_SMILES) as lines:
        for line in itertools.islice(lines, 900):
            mol = Chem.MolFromSmiles(line.split()[0])
            if mol is not None:
                fps.append(AllChem.GetMorganFingerprintAsBitVect(mol, 2, nBits=2048))
    empty = DataStructs.ExplicitBitVect(2048)
    return fps[:500] + [empty] + fps[500:] + fps[100:140] + [empty, empty]


@pytest.fixture(scope="module")
def pool_file(pool, tmp_path_factory):
    path = tmp_path_factory.mktemp("picking") / "pool.qfp"
    quarnel.save_fingerprints(pool, path)
    return path


def rdkit_maxmin(fps, n, seed=-1, first_picks=()):
    return list(MaxMinPicker().LazyBitVectorPick(fps, len(fps), n, firstPicks=list(first_picks), seed=seed))


def rdkit_leader(fps, threshold, n=0, first_picks=()):
    return list(LeaderPicker().LazyBitVectorPick(fps, len(fps), 1 - threshold, n, list(first_picks)))


def same_for_every_thread_count(pick, *args, **kwargs):
    picks = [pick(*args, **kwargs, n_threads=t).tolist() for t in (1, 2)]
    assert picks[0] == picks[1]
    return picks[0]


@pytest.mark.parametrize("seed", [0, 1, 42, 2**31 - 1])
def test_maxmin_is_rdkits_for_seeds(pool, pool_file, seed):
    result = same_for_every_thread_count(quarnel.maxmin_pick, pool_file, 150, seed=seed)
    assert result == rdkit_maxmin(pool, 150, seed=seed)


def test_maxmin_picks_duplicates_and_empties_last_as_rdkit_does(pool, pool_file):
    # Every row: once the distinct rows are used up, the copies and the
    # empty rows follow, the lowest first.
    result = same_for_every_thread_count(quarnel.maxmin_pick, pool_file, len(pool), seed=3)
    assert result == rdkit_maxmin(pool, len(pool), seed=3)
    assert sorted(result) == list(range(len(pool)))


@pytest.mark.parametrize("n, first_picks", [(60, [17]), (60, [9, 500, 9]), (2, [4, 5, 6]), (0, [])])
def test_maxmin_first_picks_and_small_n(pool, pool_file, n, first_picks):
    result = quarnel.maxmin_pick(pool_file, n, seed=11, first_picks=np.array(first_picks, dtype=np.int64))
    assert result.dtype == np.int64
    assert result.tolist() == rdkit_maxmin(pool, n, seed=11, first_picks=first_picks)


@pytest.mark.parametrize("seed", [0, 5])
def test_maxmin_settles_many_exact_ties_as_rdkit_does(seed):
    # Few bits over few positions: many rows at exactly the same distance,
    # often through different fractions (1/2 and 2/4).
    rng = np.random.default_rng(seed)
    fps = []
    for _ in range(400):
        fp = DataStructs.ExplicitBitVect(128)
        for bit in rng.choice(12, size=rng.integers(1, 7), replace=False):
            fp.SetBit(int(bit))
        fps.append(fp)
    result = same_for_every_thread_count(quarnel.maxmin_pick, fps, 150, seed=seed)
    assert result == rdkit_maxmin(fps, 150, seed=seed)


@pytest.mark.parametrize("first_picks", [[], [30, 2]])
def test_maxmin_with_references(pool, first_picks):
    # The references hold an exact copy of pool row 0 and an empty vector.
    references, rest = pool[:300], pool[300:]
    references = references + [rest[0]]
    n = 120
    combined = rdkit_maxmin(references + rest, len(references) + n,
                            first_picks=list(range(len(references))) + [len(references) + f for f in first_picks])
    expected = [row - len(references) for row in combined[len(references):]]
    result = same_for_every_thread_count(quarnel.maxmin_pick, rest, n, first_picks=first_picks,
                                         references=references)
    assert result == expected


@pytest.mark.parametrize("threshold", [0.0, 0.2513, 0.6, 0.8, 1.0])
def test_leader_is_rdkits(pool, pool_file, threshold):
    result = same_for_every_thread_count(quarnel.leader_pick, pool_file, threshold)
    assert result == rdkit_leader(pool, threshold)


@pytest.mark.parametrize("n, first_picks", [(40, []), (0, [700, 3, 700]), (25, [8, 9]), (1, [5, 6])])
def test_leader_n_and_first_picks(pool, n, first_picks):
    result = quarnel.leader_pick(pool, 0.45, n=n, first_picks=first_picks)
    assert result.tolist() == rdkit_leader(pool, 0.45, n=n, first_picks=first_picks)


SYMMETRIC_METRICS = [
    ("dice", DataStructs.DiceSimilarity),
    ("cosine", DataStructs.CosineSimilarity),
    (quarnel.Tversky(0.7, 0.7), lambda x, y: DataStructs.TverskySimilarity(x, y, 0.7, 0.7)),
]


@pytest.fixture(scope="module")
def small_pool(pool):
    """About 300 rows with an empty one, copies of 40 of them and two more
    empty ones: RDKit's pickers call Python back for every pair."""
    return pool[:250] + pool[500:501] + pool[-42:]


@pytest.mark.parametrize("metric, similarity", SYMMETRIC_METRICS)
def test_maxmin_under_other_metrics_is_rdkits_lazy_pick(small_pool, metric, similarity):
    fps = small_pool

    def rdkit_picks(n, first_picks=(), seed=-1):
        distance = lambda i, j: 1 - similarity(fps[i], fps[j])
        return list(MaxMinPicker().LazyPick(distance, len(fps), n, firstPicks=list(first_picks), seed=seed))

    # Every row: the empty rows and the copies settle ties as RDKit does.
    result = same_for_every_thread_count(quarnel.maxmin_pick, fps, len(fps), seed=7, metric=metric)
    assert result == rdkit_picks(len(fps), seed=7)
    # References count as first picks of references + pool.
    held, rest = fps[:100], fps[100:]
    expected = [row - 100 for row in rdkit_picks(160, first_picks=range(100))[100:]]
    assert quarnel.maxmin_pick(rest, 60, references=held, metric=metric).tolist() == expected


@pytest.mark.parametrize("metric, similarity", SYMMETRIC_METRICS)
@pytest.mark.parametrize("threshold", [0.0, 0.55, 0.8])
def test_leader_under_other_metrics_is_rdkits_lazy_pick(small_pool, metric, similarity, threshold):
    # Dice and cosine put an empty row at distance 1 from itself, and
    # RDKit's LazyPick then picks it over and over; a row is picked once
    # here, which is RDKit's picks with every row at distance 0 from itself.
    fps = small_pool
    distance = lambda i, j: 0.0 if i == j else 1 - similarity(fps[i], fps[j])
    first_picks = [250, 3]  # an empty row first
    result = same_for_every_thread_count(quarnel.leader_pick, fps, threshold, first_picks=first_picks,
                                         metric=metric)
    assert result == list(LeaderPicker().LazyPick(distance, len(fps), 1 - threshold, 0, first_picks))
    assert len(set(result)) == len(result)


def test_pickers_refuse_asymmetric_and_unknown_metrics(pool_file):
    for metric in (quarnel.Tversky(0.2, 0.8), "tversky:1,0.5", "jaccard"):
        for pick in (lambda: quarnel.maxmin_pick(pool_file, 5, metric=metric),
                     lambda: quarnel.leader_pick(pool_file, 0.5, metric=metric)):
            with pytest.raises(ValueError):
                pick()
    # The engine refuses them too, whoever calls it.
    with pytest.raises(ValueError, match="symmetric"):
        _quarnel._pickers.maxmin_pick(str(pool_file), 5, 0, metric="tversky", alpha=0.2, beta=0.8)
    with pytest.raises(ValueError, match="symmetric"):
        _quarnel._pickers.leader_pick(str(pool_file), 0.5, metric="tversky", alpha=0.2, beta=0.8)


def test_tversky_1_1_picks_as_tanimoto_does(pool, pool_file):
    # The same doubles, two empty rows scoring 1.0 included, through the
    # other metrics' path: it must pick as RDKit's bit-vector pickers do.
    tversky = quarnel.Tversky(1, 1)
    assert quarnel.maxmin_pick(pool_file, len(pool), seed=3, metric=tversky).tolist() == \
        rdkit_maxmin(pool, len(pool), seed=3)
    assert quarnel.leader_pick(pool_file, 0.6, metric="tversky:1,1").tolist() == rdkit_leader(pool, 0.6)


def test_rdkits_refusals_are_value_errors(pool, pool_file):
    short = [DataStructs.ExplicitBitVect(1024)] * 3
    mixed = pool[:3] + short
    for ours, theirs in [
        (lambda: quarnel.maxmin_pick([], 0), lambda: rdkit_maxmin([], 0, seed=1)),
        (lambda: quarnel.maxmin_pick(pool_file, len(pool) + 1), lambda: rdkit_maxmin(pool, len(pool) + 1)),
        (lambda: quarnel.maxmin_pick(pool_file, -1), lambda: rdkit_maxmin(pool, -1)),
        (lambda: quarnel.maxmin_pick(pool_file, 5, first_picks=[len(pool)]),
         lambda: rdkit_maxmin(pool, 5, first_picks=[len(pool)])),
        (lambda: quarnel.maxmin_pick(pool_file, 5, first_picks=[-1]), lambda: rdkit_maxmin(pool, 5, first_picks=[-1])),
        (lambda: quarnel.maxmin_pick(pool_file, 5, references=short), lambda: rdkit_maxmin(mixed, 6, seed=0)),
        (lambda: quarnel.maxmin_pick(mixed, 6, seed=0), lambda: rdkit_maxmin(mixed, 6, seed=0)),
        (lambda: quarnel.leader_pick([], 0.5), lambda: rdkit_leader([], 0.5)),
        (lambda: quarnel.leader_pick(pool_file, 0.5, n=len(pool) + 1), lambda: rdkit_leader(pool, 0.5, len(pool) + 1)),
        (lambda: quarnel.leader_pick(pool_file, 0.5, n=-2), lambda: rdkit_leader(pool, 0.5, -2)),
        (lambda: quarnel.leader_pick(pool_file, 0.5, first_picks=[-1]),
         lambda: rdkit_leader(pool, 0.5, first_picks=[-1])),
    ]:
        with pytest.raises(ValueError):
            theirs()
        with pytest.raises(ValueError) as refusal:
            ours()
        assert "\n" not in str(refusal.value)
    for threshold in (-0.1, 1.5, float("nan")):
        with pytest.raises(ValueError):
            quarnel.leader_pick(pool_file, threshold)


@pytest.mark.parametrize("held, message", [
    ("bits", r"the references \(the given fingerprints\) have 1024 bits and \S*lib.qfp has 2048: "),
    ("settings", r"the references \(\S*held.qfp\) were fingerprinted as type=morgan n_bits=2048 radius=3 "
                 r"features=False but \S*lib.qfp as .* radius=2 features=False; their scores would mean nothing$"),
], ids=["bits", "settings"])
def test_references_unlike_the_pool_are_called_references(pool, tmp_path, held, message):
    made = {"fingerprint": {"type": "morgan", "n_bits": 2048, "radius": 2}}
    quarnel.save_database(pool[:50], tmp_path / "lib.qfp", metadata=made)
    quarnel.save_database(pool[50:60], tmp_path / "held.qfp", metadata={"fingerprint": dict(made["fingerprint"],
                                                                                             radius=3)})
    references = [DataStructs.ExplicitBitVect(1024)] * 3 if held == "bits" else tmp_path / "held.qfp"
    with pytest.raises(quarnel.QuarnelError, match=message):
        quarnel.maxmin_pick(tmp_path / "lib.qfp", 5, references=references)


def test_a_bare_folder_is_refused(tmp_path):
    with pytest.raises(quarnel.QuarnelError, match="sharded"):
        quarnel.maxmin_pick(tmp_path, 3)


def run_quarnel(*args, cwd):
    return subprocess.run([sys.executable, "-m", "quarnel", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, timeout=120)


def test_pick_command(tmp_path, pool):
    database = quarnel.save_database(pool[:200], tmp_path / "lib.qfp", names=[f"mol{i}" for i in range(200)])
    (tmp_path / "first.txt").write_text("12\n\n40\n")
    done = run_quarnel("pick", "lib.qfp", "--maxmin", 6, "--seed", 5, "--first-picks", "first.txt",
                       "-o", "picks.tsv", "-q", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    lines = (tmp_path / "picks.tsv").read_text().splitlines()
    expected = rdkit_maxmin(pool[:200], 6, first_picks=[12, 40])
    assert lines == ["pick\trow\tname"] + [f"{i}\t{row}\tmol{row}" for i, row in enumerate(expected, start=1)]
    assert quarnel.maxmin_pick(database, 6, first_picks=[12, 40]).tolist() == expected

    for args, status in ((["--maxmin", 201], 1), (["--leader", 1.5], 2),
                         (["--maxmin", 3, "--first-picks", "bad.txt"], 1),
                         (["--leader", 0.5, "--metric", "tversky:0.2,0.8"], 1),
                         (["--maxmin", 3, "--metric", "jaccard"], 2)):
        (tmp_path / "bad.txt").write_text("200\n")
        failed = run_quarnel("pick", "lib.qfp", *args, "-o", "failed.tsv", cwd=tmp_path)
        assert failed.returncode == status
        assert failed.stderr.startswith("quarnel: error: ") and failed.stderr.count("\n") == 1, failed.stderr
        assert not (tmp_path / "failed.tsv").exists()


def test_pick_command_with_another_metric(tmp_path, pool):
    fps = pool[:200]
    quarnel.save_database(fps, tmp_path / "lib.qfp", names=[f"mol{i}" for i in range(200)])
    done = run_quarnel("pick", "lib.qfp", "--maxmin", 20, "--seed", 2, "--metric", "dice", "-q", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    picked = [int(line.split("\t")[1]) for line in done.stdout.splitlines()[1:]]
    distance = lambda i, j: 1 - DataStructs.DiceSimilarity(fps[i], fps[j])
    assert picked == list(MaxMinPicker().LazyPick(distance, len(fps), 20, seed=2))


def test_pick_shows_progress_on_a_terminal(tmp_path):
    # Random rows, enough for picking to last several reports on one thread.
    rng = np.random.default_rng(3)
    rows = rng.integers(0, 2**63, (20_000, 32), dtype=np.uint64) & rng.integers(0, 2**63, (20_000, 32),
                                                                                dtype=np.uint64)
    path = tmp_path / "big.qfp"
    path.write_bytes(np.array([len(rows), 2048], "<u4").tobytes() + rows.tobytes())
    runs = [(["--maxmin", 300, "--seed", 1], "/300", quarnel.maxmin_pick(path, 300, seed=1, n_threads=1)),
            (["--leader", 0.3], "/20000", quarnel.leader_pick(path, 0.3, n_threads=1))]
    for options, count, expected in runs:
        shown = on_terminal("pick", "big.qfp", *options, "--threads", 1, "-o", "picks.tsv", cwd=tmp_path)
        assert "pick:" in shown and count in shown, shown
        picked = np.loadtxt(tmp_path / "picks.tsv", dtype=np.int64, skiprows=1, usecols=1, ndmin=1)
        assert picked.tolist() == expected.tolist()

    # The callable's exception stops the call and is what it raises.
    def fail(done):
        raise KeyError(done)

    with pytest.raises(KeyError):
        _quarnel._pickers.maxmin_pick(str(path), 3, 0, progress=fail)
    with pytest.raises(KeyError):
        _quarnel._pickers.leader_pick(str(path), 0.3, progress=fail)
