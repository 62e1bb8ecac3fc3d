"""Search results as Python values: result rows indexed as sequences are,
hits written to a path or to any stream, a repr that says what bounded the
hits, and k's default with and without a threshold, in Python as on the
command line."""

import io
import subprocess
import sys

import numpy as np
import pytest

import quarnel


@pytest.fixture(scope="module")
def library(tmp_path_factory, molecule_fps):
    folder = tmp_path_factory.mktemp("results")
    quarnel.save_database(molecule_fps[:150], folder / "a.qfp", names=[f"a{i}" for i in range(150)])
    quarnel.save_database(molecule_fps[150:], folder / "b.qfp", names=[f"b{i}" for i in range(150)])
    quarnel.save_database(molecule_fps, folder / "lib.qfp", names=[f"m{i}" for i in range(300)])
    quarnel.save_database(molecule_fps[:40], folder / "q.qfp")
    return folder, molecule_fps


def results(molecule_fps):
    queries, db = molecule_fps[:3], molecule_fps
    return {"top-k": quarnel.search(queries, db, k=4),
            "threshold": quarnel.search(queries, db, threshold=0.2),
            "threshold, k": quarnel.search(queries, db, k=2, threshold=0.2)}


@pytest.mark.parametrize("kind", ["top-k", "threshold", "threshold, k"])
def test_result_rows_index_as_python_sequences(molecule_fps, kind):
    result = results(molecule_fps)[kind]
    last = result.hit_names(len(result) - 1)
    assert last and result.hit_names(-1) == last
    assert result.hit_names(-len(result)) == result.hit_names(0) == result.hit_names(np.int64(0))
    for outside in (len(result), -len(result) - 1, 10**6):
        with pytest.raises(IndexError, match=f"query row {outside} out of range for 3 queries"):
            result.hit_names(outside)
    with pytest.raises(TypeError, match="whole numbers, not float"):
        result.hit_names(1.0)


def tsv_of(result):
    stream = io.StringIO()
    result.write_tsv(stream)
    return stream.getvalue()


@pytest.mark.parametrize("target", ["str", "bytes", "Path", "binary stream", "text file"])
def test_hits_written_to_a_path_or_a_stream(molecule_fps, tmp_path, target):
    result = results(molecule_fps)["threshold"]
    expected = tsv_of(result)
    assert expected.startswith("query\tquery_row\trank\ttarget\ttarget_row\tscore\n")
    path = tmp_path / "hits.tsv"
    if target in ("str", "bytes"):
        result.write_tsv(str(path) if target == "str" else bytes(path))
    elif target == "Path":
        result.write_tsv(path)
    else:
        with open(path, "wb" if target == "binary stream" else "w") as stream:
            result.write_tsv(stream)
    assert path.read_text() == expected
    # A path appears only once complete: a failure midway leaves the old
    # file as it was and nothing beside it.
    broken = quarnel.SearchResult(np.array([[0], [1], [2]]), np.ones((3, 1)), ["q"] * 3, ["only one name"])
    with pytest.raises(IndexError):
        broken.write_tsv(path)
    assert path.read_text() == expected and sorted(p.name for p in tmp_path.iterdir()) == ["hits.tsv"]


def test_write_tsv_refuses_what_is_neither_path_nor_stream(molecule_fps):
    with pytest.raises(TypeError, match="a path or an open file, not int"):
        results(molecule_fps)["top-k"].write_tsv(3)


@pytest.mark.parametrize("kind, shown", [
    ("top-k", "<SearchResult: 3 queries, 12 hits (k=4), best score 1.000>"),
    ("threshold", "hits (threshold 0.2, k=all), best score 1.000>"),
    ("threshold, k", "<ThresholdResult: 3 queries, 6 hits (threshold 0.2, k=2), best score 1.000>"),
])
def test_repr_says_what_bounded_the_hits(molecule_fps, kind, shown):
    assert shown in repr(results(molecule_fps)[kind])


def cli_hits(*args, cwd):
    done = subprocess.run([sys.executable, "-m", "quarnel", "search", *map(str, args), "-q"], capture_output=True,
                          text=True, cwd=cwd, timeout=120)
    assert done.returncode == 0, done.stderr
    return [tuple(line.split("\t")) for line in done.stdout.splitlines()[1:]]


def hit_rows(result):
    return [(str(query), str(row), str(rank), target, str(at), repr(score))
            for query, row, rank, target, at, score in result.hits()]


@pytest.mark.parametrize("layout", ["one file", "shards"])
def test_a_threshold_without_k_returns_every_hit(library, layout):
    folder, fps = library
    database = (quarnel.Database(folder / "lib.qfp") if layout == "one file"
                else quarnel.ShardedDatabase.from_files([folder / "a.qfp", folder / "b.qfp"]))
    dense = quarnel.similarity(folder / "q.qfp", database)
    every = int((dense >= 0.3).sum())
    assert (dense >= 0.3).sum(axis=1).max() > 10  # more than the top-k default
    found = quarnel.search(folder / "q.qfp", database, threshold=0.3)
    assert len(found.indices) == every
    assert len(database.search(folder / "q.qfp", threshold=0.3).indices) == every
    # An explicit k still cuts each query to its best k; no threshold, 10.
    assert np.diff(quarnel.search(folder / "q.qfp", database, k=3, threshold=0.3).indptr).max() == 3
    assert database.search(folder / "q.qfp").indices.shape == (40, 10)
    if layout == "one file":
        assert cli_hits("q.qfp", "lib.qfp", "--threshold", 0.3, cwd=folder) == hit_rows(found)
