"""Sparse threshold matrices and Butina clustering in the quarnel package,
against RDKit's own ClusterData and a dense reference."""

import numpy as np
import pytest
from rdkit import DataStructs
from rdkit.ML.Cluster import Butina

import _quarnel
import quarnel


def rdkit_butina(fps, threshold, reordering):
    distances = []
    for i in range(1, len(fps)):
        distances.extend(1 - s for s in DataStructs.BulkTanimotoSimilarity(fps[i], fps[:i]))
    return Butina.ClusterData(distances, len(fps), 1 - threshold, isDistData=True, reordering=reordering)


def away_from_threshold(fps, threshold):
    scores = _quarnel.internal_tanimoto_parallel(fps)
    return not np.any(np.abs(scores - threshold) < 1e-12)


@pytest.mark.parametrize("threshold", [0.3517, 0.5531, 0.8013])
@pytest.mark.parametrize("reordering", [False, True])
def test_butina_is_rdkits(molecule_fps, threshold, reordering):
    fps = [fp for fp in molecule_fps if fp.GetNumOnBits()]
    assert away_from_threshold(fps, threshold)
    expected = rdkit_butina(fps, threshold, reordering)
    assert quarnel.butina(fps, threshold, reordering=reordering) == expected
    assert quarnel.butina(fps, threshold, reordering=reordering, n_threads=1) == expected


def test_similarity_matrix_forms(tmp_path, molecule_fps):
    queries, db = molecule_fps[:40], molecule_fps[40:]
    dense = _quarnel.bulk_tanimoto_parallel(queries, db)
    quarnel.save_fingerprints(db, tmp_path / "db.qfp")
    for database in (db, tmp_path / "db.qfp", quarnel.Database(tmp_path / "db.qfp")):
        m = quarnel.similarity_matrix(queries, database, threshold=0.3)
        assert m.shape == dense.shape and m.dtype == np.float64
        assert np.array_equal(m.toarray(), np.where(dense >= 0.3, dense, 0.0))
    square = quarnel.similarity_matrix(molecule_fps[:60], threshold=0.25)
    full = _quarnel.bulk_tanimoto_parallel(molecule_fps[:60], molecule_fps[:60])
    np.fill_diagonal(full, 0.0)
    assert np.array_equal(square.toarray(), np.where(full >= 0.25, full, 0.0))
    assert (square != square.T).nnz == 0


@pytest.mark.parametrize("threshold", [0.0, 0.5531])
@pytest.mark.parametrize("reordering", [False, True])
def test_butina_puts_empty_fingerprints_together_as_rdkit_does(molecule_fps, threshold, reordering):
    fps = [fp for fp in molecule_fps if fp.GetNumOnBits()][:297]
    empty = DataStructs.ExplicitBitVect(2048)
    for place in (0, 150, 299):
        fps.insert(place, empty)
    expected = rdkit_butina(fps, threshold, reordering)
    assert quarnel.butina(fps, threshold, reordering=reordering) == expected
    assert quarnel.butina(quarnel.to_numpy(fps), threshold, reordering=reordering) == expected
