"""The quarnel package's Python face: the checked functions, the stub and
docstrings against the live extension, fingerprints against RDKit's own
generators, and databases with and without sidecars."""

import ast
import inspect
import itertools
import pathlib
import subprocess
import sys

import numpy as np
import pytest
from rdkit import Chem, DataStructs
from rdkit.Chem import rdFingerprintGenerator, rdMolDescriptors

import _quarnel
import quarnel
from conftest import NCI_SMILES
from reference import fingerprint

STUB = pathlib.Path(__file__).resolve().parents[1] / "src" / "lib" / "_quarnel.pyi"


def test_checked_functions_raise_what_the_extension_prints(tmp_path, capfd):
    good = fingerprint(64, [1])
    with pytest.raises(TypeError, match="item 2 is int, not an ExplicitBitVect"):
        quarnel.bulk_tanimoto_parallel([good], [good, good, 7])
    with pytest.raises(ValueError, match="item 1 has 128 bits, item 0 has 64"):
        quarnel.internal_tanimoto_parallel([good, fingerprint(128)])
    with pytest.raises(TypeError, match="item 1"):
        quarnel.save_fingerprints([good, "x"], tmp_path / "bad.qfp")
    with pytest.raises(FileNotFoundError):
        quarnel.save_fingerprints([good], tmp_path / "missing" / "f.qfp")
    assert capfd.readouterr().err == ""
    assert list(tmp_path.iterdir()) == []  # no half-written or temporary file


def stub_signatures():
    tree = ast.parse(STUB.read_text())
    return {node.name: node.args for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stub_and_wrappers_match_the_extension():
    stubs = stub_signatures()
    assert sorted(stubs) == sorted(_quarnel.__all__)
    for name in _quarnel.__all__:
        live = inspect.signature(getattr(_quarnel, name))
        args = stubs[name]
        defaults = [None] * (len(args.args) - len(args.defaults)) + args.defaults
        from_stub = [(a.arg, None if d is None else ast.unparse(d)) for a, d in zip(args.args, defaults)]
        from_live = [(p.name, None if p.default is p.empty else
                      ("..." if p.default is Ellipsis else repr(p.default))) for p in live.parameters.values()]
        assert from_stub == from_live, name
        wrapper = getattr(quarnel, name)
        assert list(inspect.signature(wrapper).parameters) == list(live.parameters), name
        assert all(section in wrapper.__doc__ for section in ("Examples", name.split("_")[0])), name


def documented_functions():
    return [name for name in quarnel.__all__
            if inspect.isfunction(getattr(quarnel, name)) and "Parameters\n" in getattr(quarnel, name).__doc__]


@pytest.mark.parametrize("name", documented_functions())
def test_a_parameters_section_names_every_parameter(name):
    function = getattr(quarnel, name)
    section = function.__doc__.split("Parameters\n", 1)[1].split("Returns\n", 1)[0]
    entries = {word.strip() for line in section.splitlines() if line.startswith("    ") and not line.startswith("     ")
               for word in line.split(":", 1)[0].split(",")}
    assert [p for p in inspect.signature(function).parameters if p not in entries] == []


# One molecule per chemistry the generators treat differently, plus the
# first NCI molecules.
def nci_molecules(count):
    with open(NCI_SMILES) as lines:
        return [(s.split()[0], s.split()[1]) for s in itertools.islice(lines, count)]


GENERATORS = {
    "morgan": lambda: rdFingerprintGenerator.GetMorganGenerator(radius=3, fpSize=1024).GetFingerprint,
    "features": lambda: rdFingerprintGenerator.GetMorganGenerator(
        radius=2, fpSize=2048,
        atomInvariantsGenerator=rdFingerprintGenerator.GetMorganFeatureAtomInvGen()).GetFingerprint,
    "rdkit": lambda: rdFingerprintGenerator.GetRDKitFPGenerator(minPath=2, maxPath=5, fpSize=1000).GetFingerprint,
    "atompair": lambda: rdFingerprintGenerator.GetAtomPairGenerator(fpSize=2048).GetFingerprint,
    "torsion": lambda: rdFingerprintGenerator.GetTopologicalTorsionGenerator(fpSize=2048).GetFingerprint,
    "maccs": lambda: rdMolDescriptors.GetMACCSKeysFingerprint,
}
OPTIONS = {
    "morgan": dict(fingerprint="morgan", radius=3, n_bits=1024),
    "features": dict(fingerprint="morgan", features=True),
    "rdkit": dict(fingerprint="rdkit", min_path=2, max_path=5, n_bits=1000),
    "atompair": dict(fingerprint="atompair"),
    "torsion": dict(fingerprint="torsion"),
    "maccs": dict(fingerprint="maccs"),
}


@pytest.mark.parametrize("kind", list(GENERATORS))
def test_rows_equal_rdkits_own_generator(tmp_path, kind):
    molecules = nci_molecules(120)
    source = tmp_path / "in.smi"
    source.write_text("".join(f"{s} {n}\n" for s, n in molecules[:60]) + "not_a_smiles bad\n\n"
                      + "".join(f"{s} {n}\n" for s, n in molecules[60:]))
    report = quarnel.fingerprint_molecules(source, tmp_path / "db.qfp", n_workers=2, **OPTIONS[kind])
    assert report.skipped == [61]
    make = GENERATORS[kind]()
    expected = [make(Chem.MolFromSmiles(s)) for s, _ in molecules]
    assert quarnel.load_fingerprints(tmp_path / "db.qfp") == expected
    db = quarnel.Database(tmp_path / "db.qfp")
    assert list(db.names) == [n for _, n in molecules]
    assert db.metadata["skipped"] == 1 and db.metadata["rows"] == len(molecules)
    assert db.fingerprint_spec == quarnel.FingerprintSpec.from_metadata(db.metadata["fingerprint"])


def test_sdf_names_from_title_or_field(tmp_path):
    import gzip

    sdf = pathlib.Path("/usr/share/RDKit/Data/NCI/first_200.props.sdf")
    packed = tmp_path / "mols.sdf.gz"
    packed.write_bytes(gzip.compress(sdf.read_bytes()))
    supplier = [m for m in Chem.SDMolSupplier(str(sdf)) if m is not None]
    by_title = quarnel.fingerprint_molecules(packed, tmp_path / "a.qfp", n_workers=1)
    assert by_title.rows == len(supplier)
    assert list(quarnel.Database(tmp_path / "a.qfp").names) == [m.GetProp("_Name") for m in supplier]
    field = next(iter(supplier[0].GetPropNames()))
    quarnel.fingerprint_molecules(packed, tmp_path / "b.qfp", name_field=field)
    names = quarnel.Database(tmp_path / "b.qfp").names
    assert list(names) == [m.GetProp(field) if m.HasProp(field) else "" for m in supplier]


def test_bare_fingerprint_file_is_a_database(tmp_path, molecule_fps):
    path = tmp_path / "bare.fp"
    _quarnel.save_fingerprints(molecule_fps[:50], path)
    db = quarnel.Database(path)
    assert (len(db), db.n_bits, db.metadata, db.fingerprint_spec) == (50, 2048, {}, None)
    hits = db.search(molecule_fps[:3], k=4)
    indices, scores = _quarnel.bulk_tanimoto_parallel_topk(molecule_fps[:3], molecule_fps[:50], k=4)
    assert np.array_equal(hits.indices, indices) and np.array_equal(hits.scores, scores)
    assert hits.hit_names(0) == [str(i) for i in indices[0]]
    smiles = tmp_path / "q.smi"
    smiles.write_text("CCO ethanol\n")
    with pytest.raises(quarnel.QuarnelError, match="no metadata"):
        db.search(smiles)


def test_windowed_search_merges_to_the_same_scores(tmp_path, molecule_fps):
    path = tmp_path / "db.qfp"
    quarnel.save_database(molecule_fps, path)
    queries = molecule_fps[::37]
    whole = quarnel.Database(path).search(queries, k=7)
    for window in (1, 13, 299):
        part = quarnel.Database(path).search(queries, k=7, window_rows=window)
        assert np.array_equal(part.scores, whole.scores)
        for rows_a, rows_b, scores in zip(part.indices, whole.indices, whole.scores):
            # Equal as sets within every score, except a tie at the k-th place.
            for score in set(scores) - {scores[-1]}:
                assert set(rows_a[scores == score]) == set(rows_b[scores == score])
        # Ties come out by row.
        for rows, scores in zip(part.indices, part.scores):
            keys = list(zip(-scores, rows))
            assert keys == sorted(keys)


@pytest.fixture(scope="module")
def tied_database(tmp_path_factory, molecule_fps):
    """Real molecules with every other one repeated twice more, so that
    many rows tie at the k-th place; the one file and three shards of it."""
    folder = tmp_path_factory.mktemp("ties")
    fps = molecule_fps + molecule_fps[::2] + molecule_fps[::2]
    quarnel.save_database(fps, folder / "all.qfp")
    pieces = [fps[:101], fps[101:400], fps[400:]]
    for number, piece in enumerate(pieces):
        quarnel.save_database(piece, folder / f"part{number}.qfp")
    shards = quarnel.ShardedDatabase.from_files([folder / f"part{n}.qfp" for n in range(3)])
    return fps, quarnel.Database(folder / "all.qfp"), shards


@pytest.mark.parametrize("layout, window_rows, n_threads",
                         [("file", None, -1), ("file", 1000, 1), ("file", 7, 2), ("file", 1, 1),
                          ("shards", None, 2), ("shards", 50, 1)])
def test_topk_is_rdkits_scores_stably_sorted(tied_database, molecule_fps, layout, window_rows, n_threads):
    fps, database, shards = tied_database
    queries = molecule_fps[::9]
    k = 7
    found = (database if layout == "file" else shards).search(queries, k=k, window_rows=window_rows,
                                                             n_threads=n_threads)
    for row, query in enumerate(queries):
        scores = np.array(DataStructs.BulkTanimotoSimilarity(query, fps))
        best = np.argsort(-scores, kind="stable")[:k]
        assert found.indices[row].tolist() == best.tolist()
        assert found.scores[row].tolist() == scores[best].tolist()


def test_loading_works_in_a_fresh_interpreter(tmp_path, molecule_fps):
    quarnel.save_fingerprints(molecule_fps[:2], tmp_path / "two.qfp")
    code = ("import sys, quarnel\n"
            f"fps = quarnel.load_fingerprints({str(tmp_path / 'two.qfp')!r})\n"
            "print(len(fps), 'rdkit.DataStructs' in sys.modules)\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.stdout == "2 True\n", done.stderr
