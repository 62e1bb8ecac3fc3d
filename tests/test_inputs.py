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


@pytest.mark.parametrize("names, message", [
    ([1, 2, None], r"names\[0\] is int 1, not a string"),
    (["a", "b", None], r"names\[2\] is NoneType None, not a string"),
    (["a", b"b", "c"], r"names\[1\] is bytes b'b'"),
    ("abc", "names must be a sequence of strings, one per fingerprint, not a str"),
])
def test_names_must_be_strings(nci, tmp_path, names, message):
    fps = quarnel.load_fingerprints(nci / "mols.qfp")[:3]
    with pytest.raises(TypeError, match=message):
        quarnel.save_database(fps, tmp_path / "x.qfp", names=names)
    assert list(tmp_path.iterdir()) == []
    assert quarnel.save_database(fps, tmp_path / "x.qfp", names=None).names[2] == "2"


def cli_error(capsys, *args):
    """The command's status and its standard error, run in this process."""
    from quarnel import cli

    try:
        status = cli.main([str(arg) for arg in args])
    except SystemExit as stop:  # argparse's own refusals
        status = stop.code
    return status, capsys.readouterr().err


@pytest.mark.parametrize("call", [
    lambda db: quarnel.search("CCO", db, threshold="0.5"),
    lambda db: db.search("CCO", threshold=None, k="3"),
    lambda db: quarnel.similarity_matrix(db, threshold=[0.5]),
    lambda db: quarnel.butina(db, "0.5"),
    lambda db: quarnel.similarity("CCO", db, n_threads="4"),
    lambda db: quarnel.search("CCO", db, metric=quarnel.Tversky("0.5", 1)),
    lambda db: quarnel.Tversky(1, None),
], ids=["threshold", "k", "matrix threshold", "butina threshold", "threads", "tversky alpha", "tversky beta"])
def test_what_is_not_a_number_is_a_type_error(nci, capsys, call):
    db = quarnel.Database(nci / "mols.qfp")
    with pytest.raises(TypeError, match="must be a (whole |finite )?number"):
        call(db)
    # Numbers out of bounds stay value errors, and the command line, which
    # reads numbers from text, refuses either kind in one line.
    with pytest.raises(ValueError):
        quarnel.search("CCO", db, threshold=1.5)
    for args in (["--threshold", "abc"], ["--metric", "tversky:a,1"], ["--threads", "x"], ["-k", "2.5"]):
        status, err = cli_error(capsys, "search", "CCO", nci / "mols.qfp", *args)
        assert status == 2 and err.startswith("quarnel: error: argument") and err.count("\n") == 1, err


@pytest.mark.parametrize("empty", ["list", "file", "array", "shards"])
def test_an_empty_database_gives_a_column_of_no_hits(nci, tmp_path, empty):
    quarnel.save_fingerprints([], tmp_path / "empty.qfp")
    database = {"list": [], "file": tmp_path / "empty.qfp", "array": np.zeros((0, 32), np.uint64),
                "shards": quarnel.ShardedDatabase.from_files([tmp_path / "empty.qfp"] * 2)}[empty]
    queries = quarnel.load_fingerprints(nci / "mols.qfp")[:5]
    assert quarnel.similarity_matrix(queries, database, threshold=0.5).shape == (5, 0)
    assert quarnel.similarity_matrix(queries, database, threshold=0.0, metric="dice").nnz == 0
    assert quarnel.similarity(queries, database).shape == (5, 0)
    assert quarnel.search(queries, database).indices.shape == (5, 0)
    found = quarnel.search(queries, database, threshold=0.1)
    assert found.indptr.tolist() == [0] * 6 and found.hit_names(-1) == []


TEXT_FILES = [
    ("x.csv", "smiles,name\nCCO,ethanol\nCCN,ethylamine\n",
     "x.csv: not a fingerprint database but a molecule file; make one with `quarnel fingerprint"),
    ("table.txt", "smiles,name\nCCO,ethanol\nCCN,ethylamine\n",
     "table.txt: not a fingerprint database: it looks like a CSV table of text; if it holds SMILES, name it "
     "table.csv and make a database with `quarnel fingerprint table.csv`"),
    ("x.tab", "smiles\tname\nCCO\tethanol\n", "x.tab: not a fingerprint database: it looks like a tab-separated"),
    ("mols.txt", "CCO ethanol\nc1ccccc1 benzène\n" * 400,
     "mols.txt: not a fingerprint database: it looks like text (SMILES, perhaps); if it holds SMILES, name it "
     "mols.smi and make a database with `quarnel fingerprint mols.smi`"),
    ("c.qfp", "CCO\n", "c.qfp: not a fingerprint database: it looks like text"),
    ("lib.mol", "\n  RDKit          2D\n\n  1  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n$$$$\n",
     "lib.mol: not a fingerprint database: it looks like an SDF file; name it lib.sdf"),
    ("lib.txt", "#FPS1\n#num_bits=8\n0f\tone\n", "lib.txt: not a fingerprint database: it looks like an FPS file"),
    ("lib.qfp.json", '{"fingerprint": {"type": "morgan"}}\n', "lib.qfp.json: not a fingerprint database: it looks "
     "like JSON text; if it is a metadata sidecar, give the database it describes ("),
]


@pytest.mark.parametrize("name, text, message", TEXT_FILES, ids=[case[0] for case in TEXT_FILES])
def test_text_given_as_a_database_says_what_it_looks_like(tmp_path, capsys, name, text, message):
    (tmp_path / name).write_text(text, encoding="utf-8")
    with pytest.raises(quarnel.QuarnelError) as refusal:
        quarnel.search("CCO", tmp_path / name)
    assert str(refusal.value).startswith(f"{tmp_path}/{message}") and "announces" not in str(refusal.value)
    status, err = cli_error(capsys, "info", tmp_path / name)
    assert status == 1 and err.startswith(f"quarnel: error: {tmp_path}/{message}") and err.count("\n") == 1


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
