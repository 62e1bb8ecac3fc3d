"""The metric keyword through the package: every input form and the
command line give RDKit's scores for Dice, cosine and Tversky."""

import subprocess
import sys

import numpy as np
import pytest
from rdkit import DataStructs

import quarnel


def rdkit_bulk(metric, query, targets):
    if isinstance(metric, quarnel.Tversky):
        return DataStructs.BulkTverskySimilarity(query, targets, metric.alpha, metric.beta)
    bulk = {"tanimoto": DataStructs.BulkTanimotoSimilarity, "dice": DataStructs.BulkDiceSimilarity,
            "cosine": DataStructs.BulkCosineSimilarity}[metric]
    return bulk(query, targets)


@pytest.mark.parametrize("metric", ["dice", "cosine", quarnel.Tversky(0.9, 0.1)])
def test_metrics_in_every_form_equal_rdkits(molecule_fps, tmp_path, metric):
    queries, library = molecule_fps[:12], molecule_fps[12:]
    expected = np.array([rdkit_bulk(metric, q, library) for q in queries])
    quarnel.save_database(library, tmp_path / "lib.qfp")
    array = quarnel.to_numpy(library)
    for database in (library, tmp_path / "lib.qfp", array):
        assert np.array_equal(quarnel.similarity(queries, database, metric=metric), expected)
        assert np.array_equal(quarnel.similarity(queries, database, metric=metric, agg="max"), expected.max(1))
    hits = quarnel.search(quarnel.to_numpy(queries), array, k=5, metric=metric)
    best = -np.sort(-expected, axis=1)[:, :5]
    assert np.array_equal(hits.scores, best)
    assert all(np.array_equal(expected[q, hits.indices[q]], best[q]) for q in range(len(queries)))
    near = quarnel.similarity_matrix(queries, tmp_path / "lib.qfp", threshold=0.3, metric=metric)
    assert np.array_equal(near.toarray(), np.where(expected >= 0.3, expected, 0))
    own = quarnel.similarity(library[:30], metric=metric)
    pairs = [rdkit_bulk(metric, library[i], library[i + 1:30]) for i in range(29)]
    assert np.array_equal(own, np.concatenate(pairs))


def test_metric_choices_and_refusals(molecule_fps, tmp_path):
    with pytest.raises(quarnel.QuarnelError, match="unknown metric"):
        quarnel.similarity(molecule_fps[:2], metric="jaccard")
    with pytest.raises(quarnel.QuarnelError, match="alpha must be a finite number"):
        quarnel.Tversky(-1, 1)
    with pytest.raises(quarnel.QuarnelError, match="symmetric metric"):
        quarnel.butina(molecule_fps[:20], 0.5, metric=quarnel.Tversky(0.2, 0.8))
    assert quarnel.butina(molecule_fps, 0.5, metric=quarnel.Tversky(1, 1)) == quarnel.butina(molecule_fps, 0.5)
    # A query RDKit cannot parse keeps its row, as NaN.
    quarnel.save_database(molecule_fps, tmp_path / "lib.qfp",
                          metadata={"fingerprint": {"type": "morgan", "n_bits": 2048, "radius": 2}})
    scores = quarnel.similarity(["CCO", "xx", "CCN"], tmp_path / "lib.qfp", agg="max", metric="dice")
    assert np.isnan(scores[1]) and not np.isnan(scores[[0, 2]]).any()


def test_metric_on_the_command_line(molecule_fps, tmp_path):
    quarnel.save_database(molecule_fps, tmp_path / "lib.qfp")
    quarnel.save_database(molecule_fps[:3], tmp_path / "q.qfp")
    run = [sys.executable, "-m", "quarnel", "search", "q.qfp", "lib.qfp", "-k", "3"]
    done = subprocess.run(run + ["--metric", "tversky:0.9,0.1"], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    scores = [float(line.split("\t")[5]) for line in done.stdout.splitlines()[1:]]
    expected = [sorted(DataStructs.BulkTverskySimilarity(q, molecule_fps, 0.9, 0.1), reverse=True)[:3]
                for q in molecule_fps[:3]]
    assert scores == [s for row in expected for s in row]
    bad = subprocess.run(run + ["--metric", "tversky:1"], capture_output=True, text=True, cwd=tmp_path)
    assert bad.returncode == 2 and bad.stderr.startswith("quarnel: error: argument --metric: expected tversky")
