"""A Database kept open between searches: the same hits as the exhaustive
search for every metric, window and shard layout, a file replaced on disk
reopened by the next call, and nothing written for fingerprints in memory."""

import os
import tempfile

import numpy as np
import pytest

import quarnel

METRICS = ["tanimoto", "dice", "cosine", quarnel.Tversky(0.7, 0.2), quarnel.Tversky(1.5, 0.4)]


@pytest.fixture(scope="module")
def library(tmp_path_factory, molecule_fps):
    """Real molecules with every third one twice more (ties at the k-th
    place) and two empty rows; one file and the same rows in three shards."""
    from rdkit import DataStructs

    folder = tmp_path_factory.mktemp("open")
    fps = molecule_fps + molecule_fps[::3] + [DataStructs.ExplicitBitVect(2048)] * 2
    quarnel.save_database(fps, folder / "all.qfp")
    for number, piece in enumerate((fps[:150], fps[150:151], fps[151:])):
        quarnel.save_database(piece, folder / f"part{number}.qfp")
    return fps, folder


@pytest.mark.parametrize("metric", METRICS, ids=str)
@pytest.mark.parametrize("layout", ["file", "shards"])
def test_open_search_is_the_exhaustive_search(library, molecule_fps, metric, layout):
    fps, folder = library
    if layout == "file":
        database = quarnel.Database(folder / "all.qfp")
    else:
        database = quarnel.ShardedDatabase.from_files([folder / f"part{n}.qfp" for n in range(3)])
    queries = molecule_fps[::23] + [fps[-1]]
    with database:
        for n_threads in (1, 2):
            for k in (1, 7, len(fps) + 5):
                found = database.search(queries, k=k, metric=metric, n_threads=n_threads)
                plain = database.search(queries, k=k, metric=metric, n_threads=n_threads, window_rows=64)
                assert np.array_equal(found.indices, plain.indices)
                assert found.scores.tobytes() == plain.scores.tobytes()
            for threshold in (0.0, 0.31, 0.7, 1.0):
                found = database.search(queries, threshold=threshold, metric=metric, n_threads=n_threads)
                plain = database.search(queries, threshold=threshold, metric=metric, n_threads=n_threads,
                                        window_rows=64)
                assert np.array_equal(found.indptr, plain.indptr)
                assert np.array_equal(found.indices, plain.indices)
                assert found.scores.tobytes() == plain.scores.tobytes()


def test_a_replaced_file_is_reopened_by_the_next_search(tmp_path, molecule_fps):
    path = tmp_path / "lib.qfp"
    quarnel.save_database(molecule_fps[:100], path, names=[f"old{i}" for i in range(100)])
    database = quarnel.Database(path)
    assert database.search(molecule_fps[5], k=1).hit_names(0) == ["old5"]
    # As `quarnel fingerprint` does: a finished file renamed into place.
    quarnel.save_database(molecule_fps[50:], tmp_path / "new.qfp", names=[f"new{i}" for i in range(250)])
    for suffix in ("", ".names"):
        os.replace(tmp_path / f"new.qfp{suffix}", tmp_path / f"lib.qfp{suffix}")
    found = database.search(molecule_fps[55], k=1)
    assert (len(database), found.hit_names(0), found.indices[0, 0]) == (250, ["new5"], 5)
    database.close()
    assert database.search(molecule_fps[60], k=1).hit_names(0) == ["new10"]


def test_fingerprints_in_memory_are_searched_without_writing_a_file(tmp_path, molecule_fps, monkeypatch):
    (tmp_path / "mols.smi").write_text("CCO ethanol\nc1ccccc1O phenol\nCCN ethylamine\n")
    quarnel.fingerprint_molecules(tmp_path / "mols.smi", tmp_path / "mols.qfp")
    folder = tmp_path / "scratch"
    folder.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    array = quarnel.to_numpy(molecule_fps[:40])
    found = quarnel.search(molecule_fps[:5], molecule_fps[:40], k=3)
    assert np.array_equal(found.indices, quarnel.search(array[:5], array, k=3).indices)
    assert quarnel.similarity(array[:5], array).shape == (5, 40)
    assert quarnel.search(["CCO", "c1ccccc1"], tmp_path / "mols.qfp", k=1).hit_names(0) == ["ethanol"]
    assert list(folder.iterdir()) == []
