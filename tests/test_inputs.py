"""Fingerprints in every form through the package's one resolver: the same
hits from every form, inputs that RDKit cannot read keep their places, and
anything else is one clear error."""

import csv
import gzip

import numpy as np
import pytest
from rdkit import Chem
from rdkit.Chem import rdFingerprintGenerator

import quarnel
from conftest import NCI_SMILES
from test_cli import ERROR, quarnel as run


@pytest.fixture(scope="module")
def nci(tmp_path_factory):
    folder = tmp_path_factory.mktemp("inputs")
    with open(NCI_SMILES) as lines:
        (folder / "mols.smi").write_text("".join(next(lines) for _ in range(400)))
    quarnel.fingerprint_molecules(folder / "mols.smi", folder / "mols.qfp", n_workers=1)
    return folder


def test_every_form_gives_the_same_hits(nci):
    db = quarnel.Database(nci / "mols.qfp")
    smiles = ["CCO", "not a smiles", "c1ccccc1O"]
    (nci / "q.smi").write_text("".join(f"{s} q{i}\n" for i, s in enumerate(smiles)))
    vectors = [db.fingerprint_spec.fingerprinter()(Chem.MolFromSmiles(s)) for s in smiles[::2]]
    by_smiles = db.search(smiles, k=4)
    assert by_smiles.query_rows.tolist() == [0, 2] and [s.position for s in by_smiles.skipped] == [1]
    assert by_smiles.query_names[0] == "CCO"
    for form in (nci / "q.smi", [Chem.MolFromSmiles(s) for s in smiles], iter(vectors), (v for v in vectors)):
        hits = quarnel.search(form, db, k=4)
        assert np.array_equal(hits.indices, by_smiles.indices) and np.array_equal(hits.scores, by_smiles.scores)
    file_hits = db.search(nci / "q.smi", k=4)
    assert file_hits.query_rows.tolist() == [0, 2] and file_hits.skipped[0].where == "line 2"
    single = db.search("CCO", k=4)
    assert np.array_equal(single.indices, by_smiles.indices[:1])
    assert db.search(vectors[1], k=4).indices.tolist() == by_smiles.indices[1:].tolist()
    frame = by_smiles.to_pandas()
    assert list(frame.columns) == ["query", "query_row", "rank", "target", "target_row", "score"]
    assert frame["query_row"].tolist() == [0] * 4 + [2] * 4 and by_smiles.records()[0]["rank"] == 1
    assert repr(by_smiles).startswith("<SearchResult: 2 queries, 8 hits")
    rows = by_smiles.indices[0]
    assert db.names[rows] == [db.names[int(r)] for r in rows]
    # Hits come by score, then by the lower row, whatever the windows.
    for window in (None, 7):
        result = db.search(nci / "mols.qfp", k=6, window_rows=window)
        for scores, indices in zip(result.scores, result.indices):
            assert list(zip(-scores, indices)) == sorted(zip(-scores, indices))
    threshold = db.search(smiles, k=None, threshold=0.2)
    assert len(threshold) == 2 and (threshold.scores >= 0.2).all()


def test_database_records_rdkit_cannot_read_keep_their_places(nci):
    db = quarnel.Database(nci / "mols.qfp")
    targets = ["C", "not a smiles", "CCO", None]
    hits = quarnel.search(["CCO"], targets, k=3)
    assert hits.indices.tolist() == [[2, 0]] and hits.hit_names(0) == ["CCO", "C"]
    assert quarnel.search(["CCO"], targets, k=None, threshold=0.5).indices.tolist() == [2]
    scores = quarnel.similarity(["CCO", "CCN"], targets)
    assert scores.shape == (2, 4) and np.isnan(scores[:, [1, 3]]).all() and scores[0, 2] == 1.0
    assert quarnel.similarity(["CCO"], targets, agg="max").tolist() == [1.0]
    # Molecules against fingerprints in memory: nothing says how to make theirs.
    with pytest.raises(quarnel.QuarnelError, match="the given fingerprints: fingerprints in memory do not say"):
        quarnel.similarity([None], quarnel.load_fingerprints(db.path)[:2])


def test_what_cannot_be_fingerprints_is_one_clear_error(nci, tmp_path):
    db = quarnel.Database(nci / "mols.qfp")
    fps = quarnel.load_fingerprints(nci / "mols.qfp")
    for bad, message in ((5, "cannot use int object"), ([fps[0], "CCO"], "item 1 is str"),
                         (np.zeros((2, 32)), "must be uint64.*not float64"), ({"CCO"}, "cannot use set")):
        with pytest.raises(TypeError, match=message):
            db.search(bad)
    with pytest.raises(quarnel.QuarnelError, match="neither a file nor a SMILES"):
        db.search("C1CC")
    with pytest.raises(quarnel.QuarnelError, match="1 names for 3 fingerprints"):
        quarnel.save_database(fps[:3], tmp_path / "x.qfp", names=["a"])
    assert list(tmp_path.iterdir()) == []
    with pytest.raises(OSError, match="t.qfp.*shorter than its header"):
        (tmp_path / "t.qfp").write_bytes((nci / "mols.qfp").read_bytes()[:100])
        quarnel.load_fingerprints(tmp_path / "t.qfp")


def test_sharded_databases_cluster_and_make_matrices(nci, tmp_path):
    fps = quarnel.load_fingerprints(nci / "mols.qfp")
    quarnel.save_database(fps[:150], tmp_path / "a.qfp")
    quarnel.save_database(fps[150:], tmp_path / "b.qfp")
    (tmp_path / "backup.qfp").write_bytes((tmp_path / "a.qfp").read_bytes())
    with pytest.raises(quarnel.QuarnelError, match="a folder"):
        quarnel.Database(tmp_path)
    shards = quarnel.ShardedDatabase.from_files([tmp_path / "a.qfp", tmp_path / "b.qfp"])
    assert len(quarnel.ShardedDatabase.from_folder(tmp_path)) == len(fps) + 150  # asked for explicitly
    assert quarnel.butina(shards, 0.6) == quarnel.butina(fps, 0.6)
    whole = quarnel.similarity_matrix(fps[:20], fps, threshold=0.3)
    for database in (shards, nci / "mols.qfp"):
        part = quarnel.similarity_matrix(fps[:20], database, threshold=0.3)
        assert (part != whole).nnz == 0 and np.array_equal(part.indices, whole.indices)
    assert (quarnel.similarity_matrix(shards, threshold=0.5) != quarnel.similarity_matrix(fps, threshold=0.5)).nnz == 0


WEHI = "/usr/share/RDKit/Data/Pains/test_data/wehi_mols.csv"
TABLE = ('ID,pIC50,Smiles\n'
         'm1,5.1,CCO\n'
         'm2,3.0,\n'                   # no SMILES: skipped, line 3
         '\n'
         'm3,4.2,"c1ccccc1\nO"\n'      # a quoted field over two lines: line 5
         '"m, 4",1.0,not_smiles\n'     # line 7, skipped
         'm5,2.2,CCN\n')


def test_tables_of_molecules_from_the_command_line(tmp_path):
    done = run("fingerprint", WEHI, "-q", cwd=tmp_path)  # quoted SMILES, no header row
    assert done.returncode == 0, done.stderr
    db = quarnel.Database(tmp_path / "wehi_mols.qfp")
    with open(WEHI, newline="") as table:
        rows = list(csv.reader(table))
    assert len(db) == len(rows) == 10000 and list(db.names) == [name for _, name in rows]
    generator = rdFingerprintGenerator.GetMorganGenerator(radius=2, fpSize=2048)
    sample = range(0, 10000, 97)
    expected = quarnel.to_numpy([generator.GetFingerprint(Chem.MolFromSmiles(rows[i][0])) for i in sample])
    assert np.array_equal(db.to_numpy()[list(sample)], expected)

    (tmp_path / "t.csv").write_text(TABLE)
    (tmp_path / "t.tsv.gz").write_bytes(gzip.compress(TABLE.replace(",", "\t").replace('"m\t 4"', "m 4").encode()))
    for args, names in ((["t.csv"], ["m1", "m3", "m5"]),
                        (["t.tsv.gz", "--smiles-column", "2", "--name-column", "pIC50"], ["5.1", "4.2", "2.2"]),
                        (["t.csv", "--smiles-column", "smiles", "--name-column", "0"], ["m1", "m3", "m5"])):
        done = run("fingerprint", *args, "-o", "t.qfp", cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        assert "skipped 2 molecules RDKit could not parse: lines 3, 7" in done.stderr
        assert list(quarnel.Database(tmp_path / "t.qfp").names) == names
    # As queries: each keeps its record's place among the table's rows.
    hits = run("search", "t.csv", "t.qfp", "-k", 1, cwd=tmp_path)
    assert "skipped 2 queries RDKit could not parse: line 3, line 7" in hits.stderr
    assert [line.split("\t")[:4] for line in hits.stdout.splitlines()[1:]] == [
        ["m1", "0", "1", "m1"], ["m3", "2", "1", "m3"], ["m5", "4", "1", "m5"]]
    for args, message in ((["fingerprint", "t.csv", "--smiles-column", "smi"],
                           "t.csv: no column 'smi' for the SMILES in the header row ('ID', 'pIC50', 'Smiles')"),
                          (["fingerprint", "t.csv", "--name-column", "2"], "the name column is the SMILES column"),
                          (["search", "q.smi", "t.qfp", "--smiles-column", "1"],
                           "q.smi: SMILES and name columns apply to CSV and TSV tables only")):
        (tmp_path / "q.smi").write_text("CCO\n")
        done = run(*args, cwd=tmp_path)
        assert done.returncode == 1 and done.stderr.startswith(ERROR) and message in done.stderr, done.stderr
        assert done.stderr.count("\n") == 1


def test_tables_in_the_python_api(nci, tmp_path):
    (tmp_path / "t.csv").write_text(TABLE)
    report = quarnel.fingerprint_molecules(tmp_path / "t.csv", tmp_path / "t.qfp", smiles_column="SMILES",
                                           name_column=1, n_workers=1)
    assert (report.rows, report.skipped, report.unit) == (3, [3, 7], "line")
    assert list(quarnel.Database(tmp_path / "t.qfp").names) == ["5.1", "4.2", "2.2"]
    db = quarnel.Database(nci / "mols.qfp")
    by_table = db.search(tmp_path / "t.csv", k=3, name_column="pIC50")
    by_smiles = db.search(["CCO", "", "c1ccccc1\nO", "not_smiles", "CCN"], k=3)
    assert np.array_equal(by_table.indices, by_smiles.indices) and by_table.query_rows.tolist() == [0, 2, 4]
    assert list(by_table.query_names) == ["5.1", "4.2", "2.2"]
    with pytest.raises(TypeError, match="a header name or a position from 0"):
        quarnel.search(tmp_path / "t.csv", db, smiles_column=1.5)


@pytest.mark.parametrize("query", ["", "   ", ["CCO", ""]])
def test_an_empty_smiles_is_no_molecule(nci, query):
    db = quarnel.Database(nci / "mols.qfp")
    if isinstance(query, list):
        # In a list it is a record RDKit cannot read, kept in its place.
        hits = quarnel.search(query, db, k=2)
        assert hits.query_rows.tolist() == [0] and [s.where for s in hits.skipped] == ["item 1"]
        return
    with pytest.raises(quarnel.QuarnelError, match="an empty SMILES is no molecule"):
        quarnel.search(query, db)
    done = run("search", query, nci / "mols.qfp")
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr == f"{ERROR}an empty SMILES is no molecule; give a SMILES, a molecule file or fingerprints\n"
