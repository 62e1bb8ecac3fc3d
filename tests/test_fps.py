"""FPS files end to end: databases to FPS and back exactly, FPS files as
queries and databases, and every malformed file one line naming the line."""

import gzip
import itertools

import numpy as np
import pytest
from rdkit import Chem, DataStructs
from rdkit.Chem import AllChem, rdMolDescriptors

import quarnel
from conftest import NCI_SMILES
from quarnel import fps
from test_cli import ERROR, leftovers, nci_db, quarnel as run  # noqa: F401 (nci_db is a fixture)


def body(text):
    """The lines an export must reproduce: all but the date."""
    return [line for line in text.splitlines() if not line.startswith("#date=")]


def test_round_trips_are_exact_and_fps_files_work_everywhere(nci_db):
    folder, _ = nci_db
    exported = run("export", "mols.qfp", "-o", "lib.fps", cwd=folder)
    assert exported.returncode == 0 and exported.stdout == "", exported.stderr
    text = (folder / "lib.fps").read_text()
    lines = text.splitlines()
    assert lines[:4] == ["#FPS1", "#num_bits=2048", "#type=RDKit-Morgan radius=2 fpSize=2048",
                         f"#software=quarnel/{quarnel.__version__}"]
    names = (folder / "mols.qfp.names").read_text().splitlines()
    rows = [line for line in lines if not line.startswith("#")]
    assert [line.split("\t", 1)[1] for line in rows] == names and len(rows[0].split("\t")[0]) == 512

    made = run("fingerprint", "lib.fps", "-o", "back.qfp", cwd=folder)
    assert made.returncode == 0 and "wrote 600 fingerprints of 2048 bits" in made.stderr
    assert (folder / "back.qfp").read_bytes() == (folder / "mols.qfp").read_bytes()
    assert (folder / "back.qfp.names").read_text().splitlines() == names
    back = quarnel.Database(folder / "back.qfp")
    assert back.fingerprint_spec == quarnel.Database(folder / "mols.qfp").fingerprint_spec
    # Standard output and .gz carry the same lines.
    again = run("export", "back.qfp", "-o", "again.fps.gz", cwd=folder)
    assert again.returncode == 0, again.stderr
    assert body(gzip.decompress((folder / "again.fps.gz").read_bytes()).decode()) == body(text)
    assert body(run("export", "back.qfp", cwd=folder).stdout) == body(text)

    # As database and as queries; SMILES against the FPS file are
    # fingerprinted as its #type says.
    by_fps = run("search", "lib.fps", "lib.fps", "-k", 3, "-q", cwd=folder)
    by_qfp = run("search", "mols.qfp", "mols.qfp", "-k", 3, "-q", cwd=folder)
    assert by_fps.returncode == 0 and by_fps.stdout == by_qfp.stdout
    assert run("search", "CCO", "lib.fps", "-k", 2, cwd=folder).stdout == \
        run("search", "CCO", "mols.qfp", "-k", 2, cwd=folder).stdout
    clusters = run("cluster", "lib.fps", "--threshold", "0.6", "-q", cwd=folder)
    assert clusters.stdout == run("cluster", "mols.qfp", "--threshold", "0.6", "-q", cwd=folder).stdout


def test_odd_widths_shards_and_foreign_headers(tmp_path, rng, monkeypatch):
    monkeypatch.setattr(fps, "BLOCK_BYTES", 100)  # blocks that end mid-line
    # 167 bits: the last byte has a spare bit, which must stay clear.
    bits = rng.random((50, 167)) < 0.3
    first = quarnel.save_database(bits[:20], tmp_path / "a.qfp", names=[f"m {i}" for i in range(20)])
    quarnel.save_database(bits[20:], tmp_path / "b.qfp")
    sharded = quarnel.ShardedDatabase.from_files([first.path, tmp_path / "b.qfp"])
    assert sharded.write_fps(tmp_path / "s.fps") == 50
    lines = (tmp_path / "s.fps").read_text().splitlines()
    assert "#num_bits=167" in lines and not any(line.startswith("#type") for line in lines)
    assert lines[-1].endswith("\t49") and lines[-31].endswith("\tm 19")
    report = quarnel.read_fps(tmp_path / "s.fps", tmp_path / "s.qfp")
    assert (report.rows, report.n_bits, report.settings) == (50, 167, None)
    assert np.array_equal(quarnel.Database(tmp_path / "s.qfp").to_numpy(), quarnel.to_numpy(bits))

    # Another tool's file: uppercase hex, CRLF, no #num_bits, an id with a
    # tab, a line without an id, header lines kept.
    (tmp_path / "x.fps").write_bytes(b"#FPS1\r\n#type=OtherTool-Keys/2\r\n#software=other\r\n#extra\r\n"
                                     b"0A0B\tfirst one\r\nffff\tx\ty\r\n0000\r\n")
    report = quarnel.read_fps(tmp_path / "x.fps", tmp_path / "x.qfp")
    assert report.n_bits == 16 and report.settings is None
    db = quarnel.Database(tmp_path / "x.qfp")
    assert list(db.names) == ["first one", "x y", ""]
    assert db.to_numpy()[:, 0].tolist() == [0x0B0A, 0xFFFF, 0]
    assert db.metadata["fps"] == {"type": "OtherTool-Keys/2", "software": "other", "extra": None}
    out = db.write_fps(tmp_path / "y.fps")
    assert out == 3
    written = (tmp_path / "y.fps").read_text().splitlines()
    assert "#type=OtherTool-Keys/2" in written and "#extra" in written and written[-3] == "0a0b\tfirst one"
    with pytest.raises(quarnel.QuarnelError, match="x.fps: its #type line does not say"):
        quarnel.search("CCO", tmp_path / "x.fps")


@pytest.mark.parametrize("given", ["str", "Path", "Database", "manifest"])
def test_write_fps_at_the_top_level_takes_a_database_or_its_path(nci_db, tmp_path, given):
    folder, _ = nci_db
    quarnel.Database(folder / "mols.qfp").write_fps(tmp_path / "method.fps")
    shards = tmp_path / "lib.qfpset"
    shards.write_text('{"format": "quarnel-shards", "version": 1, "shards": [{"path": "%s", "rows": 600, '
                      '"n_bits": 2048}]}' % (folder / "mols.qfp"))
    database = {"str": str(folder / "mols.qfp"), "Path": folder / "mols.qfp", "manifest": str(shards),
                "Database": quarnel.Database(folder / "mols.qfp")}[given]
    assert quarnel.write_fps(database, tmp_path / "top.fps.gz") == 600
    assert body(gzip.decompress((tmp_path / "top.fps.gz").read_bytes()).decode()) == \
        body((tmp_path / "method.fps").read_text())
    with pytest.raises(TypeError, match="save fingerprints in memory with quarnel.save_database first"):
        quarnel.write_fps(quarnel.load_fingerprints(folder / "mols.qfp")[:2], tmp_path / "x.fps")
    assert not (tmp_path / "x.fps").exists() and "write_fps" in quarnel.__all__


BAD = [
    (b"", "line 1: not an FPS file"),
    (b"#FPS2\n00\tx\n", "line 1: not an FPS file"),
    (b"#FPS1\n#num_bits=x\n00\n", "line 2: #num_bits must be"),
    (b"#FPS1\n00ff\ta\n0f0\tb\n", "line 3: an odd number of hex digits"),
    (b"#FPS1\n00ff\ta\n00fg\tb\n", "line 3: 'g' is not a hex digit"),
    (b"#FPS1\n00 ff\ta\n", "line 2: ' ' is not a hex digit"),
    (b"#FPS1\n#num_bits=16\n00ff\ta\n00ff00\tb\n", "line 4: a fingerprint of 3 bytes where #num_bits says 2"),
    (b"#FPS1\n00ff\ta\n\tc\n00ff00\tb\n", "line 3: no fingerprint"),
    (b"#FPS1\n00ff\ta\n00ff00ff\tb\n", "line 3: a fingerprint of 4 bytes where the first fingerprint "
                                       "\\(line 2\\) has 2"),
    (b"#FPS1\n#num_bits=12\n00ff\ta\n", "line 3: bits set at or past bit 12"),
    (b"#FPS1\n00ff\ta\n#late\n", "line 3: a header line after the first fingerprint"),
    (b"#FPS1\n#type=RDKit-MACCS166/2\n", "no fingerprints and no #num_bits line: the bit length is unknown"),
    (b"#FPS1\n\n\r\n", "no fingerprints and no #num_bits line"),
    (b"#FPS1\n00ff\ta\n\n00ff\tcaf\xe9\n", "line 4: the id is not UTF-8 text"),
]


@pytest.mark.parametrize("text, message", BAD)
def test_malformed_files_name_the_line_and_write_nothing(tmp_path, monkeypatch, text, message):
    monkeypatch.setattr(fps, "BLOCK_BYTES", 8)  # line numbers must carry across blocks
    (tmp_path / "bad.fps").write_bytes(text)
    with pytest.raises(quarnel.QuarnelError, match=f"bad.fps: {message}"):
        fps.read_fps(tmp_path / "bad.fps", tmp_path / "bad.qfp")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.fps"]


def test_command_line_errors_are_one_line(tmp_path):
    (tmp_path / "bad.fps").write_bytes(b"#FPS1\n00ff\ta\n" * 1 + b"00ff\tb\n" * 100000 + b"0f0\tc\n")
    packed = gzip.compress(b"#FPS1\n" + b"".join(b"%04x\t%d\n" % (i, i) for i in range(5000)))
    (tmp_path / "cut.fps.gz").write_bytes(packed[:len(packed) // 2])
    (tmp_path / "ok.fps").write_bytes(b"#FPS1\n00ff\ta\n")
    for args, message in ((["fingerprint", "bad.fps"], "bad.fps: line 100003: an odd number"),
                          (["fingerprint", "cut.fps.gz"], "cut.fps.gz: the compressed file is damaged"),
                          (["fingerprint", "ok.fps", "--bits", "16"], "--bits: for molecule files"),
                          (["info", "ok.fps"], "ok.fps: not a fingerprint database but an FPS file"),
                          (["export", "ok.fps"], "ok.fps: not a fingerprint database but an FPS file"),
                          (["fingerprint", "ok.fps", "-o", "copy.fps"],
                           "copy.fps: a fingerprint database of this name would be read back as an FPS file"),
                          (["search", "CCO", "bad.fps"], "bad.fps: line 100003")):
        done = run(*args, cwd=tmp_path)
        assert done.returncode == 1 and done.stderr.startswith(ERROR), done.stderr
        assert message in done.stderr and done.stderr.count("\n") == 1, done.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.fps", "cut.fps.gz", "ok.fps"]
    assert not leftovers(tmp_path)


def test_blank_lines_and_a_byte_order_mark_are_skipped(tmp_path):
    (tmp_path / "x.fps").write_bytes(b"\xef\xbb\xbf#FPS1\r\n\n#num_bits=16\n\n0a0b\tfirst\n\r\n\nffff\tcaf\xc3\xa9\n\n")
    report = quarnel.read_fps(tmp_path / "x.fps", tmp_path / "x.qfp")
    db = quarnel.Database(tmp_path / "x.qfp")
    assert (report.rows, report.n_bits, list(db.names)) == (2, 16, ["first", "café"])
    assert db.to_numpy()[:, 0].tolist() == [0x0B0A, 0xFFFF]
    # Line numbers count the blank lines.
    (tmp_path / "y.fps").write_bytes(b"#FPS1\n\n00ff\ta\n\n\n0fg0\tb\n")
    with pytest.raises(quarnel.QuarnelError, match="y.fps: line 6: 'g' is not a hex digit"):
        quarnel.read_fps(tmp_path / "y.fps", tmp_path / "y.qfp")


def molecules(count=150):
    """Real molecules, and some whose stereochemistry and bond orders
    matter."""
    with open(NCI_SMILES) as lines:
        found = [Chem.MolFromSmiles(line.split()[0]) for line in itertools.islice(lines, count)]
    found += [Chem.MolFromSmiles(s) for s in ("C[C@H](N)C(=O)O", "C[C@@H](N)C(=O)O", "F/C=C/F", "F/C=C\\F")]
    return [m for m in found if m is not None]


def chemfp_file(path, type_text, vectors, n_bits):
    """An FPS file as chemfp writes one: RDKit's fingerprints, its #type."""
    lines = ["#FPS1", f"#num_bits={n_bits}", f"#type={type_text}", "#software=RDKit/2022.09.3 chemfp/4.1"]
    lines += [f"{DataStructs.BitVectToFPSText(fp)}\tm{i}" for i, fp in enumerate(vectors)]
    path.write_text("\n".join(lines) + "\n")


# chemfp's RDKit types and the RDKit call that made their fingerprints.
CHEMFP_TYPES = [
    ("RDKit-Morgan/1 radius=2 fpSize=2048 useFeatures=0", 2048,
     lambda m: AllChem.GetMorganFingerprintAsBitVect(m, 2, nBits=2048)),
    ("RDKit-Morgan/1 radius=3 fpSize=1024 useFeatures=1 useChirality=1 useBondTypes=0", 1024,
     lambda m: AllChem.GetMorganFingerprintAsBitVect(m, 3, nBits=1024, useFeatures=True, useChirality=True,
                                                     useBondTypes=False)),
    ("RDKit-Morgan/1 radius=1 fpSize=2048 useFeatures=0 useChirality=1 useBondTypes=1", 2048,
     lambda m: AllChem.GetMorganFingerprintAsBitVect(m, 1, nBits=2048, useChirality=True)),
    ("RDKit-Fingerprint/2 minPath=1 maxPath=7 fpSize=2048 nBitsPerHash=2 useHs=1", 2048,
     lambda m: Chem.RDKFingerprint(m, minPath=1, maxPath=7, fpSize=2048, nBitsPerHash=2, useHs=True)),
    ("RDKit-Fingerprint/2 minPath=2 maxPath=5 fpSize=1024 nBitsPerHash=4 useHs=0", 1024,
     lambda m: Chem.RDKFingerprint(m, minPath=2, maxPath=5, fpSize=1024, nBitsPerHash=4, useHs=False)),
    ("RDKit-AtomPair/2 fpSize=2048 minLength=1 maxLength=30", 2048,
     lambda m: rdMolDescriptors.GetHashedAtomPairFingerprintAsBitVect(m, nBits=2048)),
    ("RDKit-AtomPair/2 fpSize=1024 minLength=2 maxLength=8", 1024,
     lambda m: rdMolDescriptors.GetHashedAtomPairFingerprintAsBitVect(m, nBits=1024, minLength=2, maxLength=8)),
    ("RDKit-Torsion/2 fpSize=2048 targetSize=4", 2048,
     lambda m: rdMolDescriptors.GetHashedTopologicalTorsionFingerprintAsBitVect(m, nBits=2048, targetSize=4)),
]


@pytest.mark.parametrize("type_text, n_bits, make", CHEMFP_TYPES, ids=[t for t, _, _ in CHEMFP_TYPES])
def test_chemfp_types_fingerprint_smiles_as_rdkit_did(tmp_path, type_text, n_bits, make):
    mols = molecules()
    vectors = [make(m) for m in mols]
    chemfp_file(tmp_path / "lib.fps", type_text, vectors, n_bits)
    smiles = [Chem.MolToSmiles(m) for m in mols]
    scores = quarnel.similarity(smiles, tmp_path / "lib.fps")
    expected = np.array([DataStructs.BulkTanimotoSimilarity(fp, vectors) for fp in vectors])
    assert np.array_equal(scores, expected)
    # The database read from it keeps the settings, and says them again.
    made = run("fingerprint", "lib.fps", "-o", "lib.qfp", "-q", cwd=tmp_path)
    assert made.returncode == 0, made.stderr
    assert np.array_equal(quarnel.similarity(smiles[:5], tmp_path / "lib.qfp"), expected[:5])
    # Exported, its own #type line says the same settings.
    assert run("export", "lib.qfp", "-o", "back.fps", cwd=tmp_path).returncode == 0
    assert np.array_equal(quarnel.similarity(smiles[-5:], tmp_path / "back.fps"), expected[-5:])
    searched = run("search", smiles[0], "lib.qfp", "-k", 1, cwd=tmp_path)
    assert searched.stdout.splitlines()[1].split("\t")[3:] == ["m0", "0", "1.0"]


UNREPRODUCIBLE = [
    ("RDKit-MACCS166/2", 166, "'RDKit-MACCS166/2' names fingerprints quarnel cannot make exactly: chemfp's 166 "
                              "MACCS keys are RDKit's 167 MACCS bits less the unused bit 0"),
    ("RDKit-Torsion/2 fpSize=2048 targetSize=5", 2048, "only with targetSize=4"),
    ("RDKit-Morgan/1 radius=2 fpSize=2048 fromAtoms=1,2", 2048, "fromAtoms fingerprints only part of each molecule"),
    ("RDKit-Morgan/2 radius=2 fpSize=2048", 2048, "quarnel reproduces RDKit-Morgan/1, not RDKit-Morgan/2"),
    ("RDKit-Morgan/1 radius=2 fpSize=1024", 2048, "it says fpSize=1024 but the fingerprints have 2048 bits"),
    ("RDKit-Morgan/1 radius=2 fpSize=2048 useFeatures=2", 2048, "useFeatures=2 is not 0 or 1"),
    ("RDKit-Fingerprint/2 minPath=1 maxPath=7 fpSize=2048 branchedPaths=0", 2048,
     "branchedPaths is not a parameter quarnel knows for RDKit-Fingerprint/2"),
    ("OpenBabel-FP2/1", 1024, "does not say how quarnel would make its fingerprints: 'OpenBabel-FP2/1' is "
                              "not an RDKit fingerprint type quarnel knows"),
]


@pytest.mark.parametrize("type_text, n_bits, message", UNREPRODUCIBLE, ids=[t for t, _, _ in UNREPRODUCIBLE])
def test_types_that_cannot_be_reproduced_are_named(tmp_path, type_text, n_bits, message):
    chemfp_file(tmp_path / "lib.fps", type_text, [DataStructs.ExplicitBitVect(n_bits)] * 3, n_bits)
    with pytest.raises(quarnel.QuarnelError, match=f"lib.fps: its #type line.*{message}"):
        quarnel.search("CCO", tmp_path / "lib.fps")
    # The database read from it says the same, not that it has no sidecar.
    assert run("fingerprint", "lib.fps", "-o", "lib.qfp", "-q", cwd=tmp_path).returncode == 0
    done = run("search", "CCO", "lib.qfp", cwd=tmp_path)
    assert done.stderr.startswith(f"{ERROR}lib.qfp: made from an FPS file: its #type line")
    assert type_text in done.stderr and "sidecar" not in done.stderr and done.stderr.count("\n") == 1
    # Its fingerprints serve as they are.
    assert quarnel.search(tmp_path / "lib.fps", tmp_path / "lib.fps", k=1).indices.shape == (3, 1)


def test_pick_reads_fps_files(nci_db):
    folder, _ = nci_db
    assert run("export", "mols.qfp", "-o", "pick.fps", cwd=folder).returncode == 0
    for how in (["--maxmin", 5, "--seed", 7], ["--leader", 0.4, "--max", 6]):
        from_fps = run("pick", "pick.fps", *how, "-q", cwd=folder)
        assert from_fps.returncode == 0, from_fps.stderr
        assert from_fps.stdout == run("pick", "mols.qfp", *how, "-q", cwd=folder).stdout
        assert len(from_fps.stdout.splitlines()) > 2
