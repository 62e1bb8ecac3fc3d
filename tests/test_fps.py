"""FPS files end to end: databases to FPS and back exactly, FPS files as
queries and databases, and every malformed file one line naming the line."""

import gzip

import numpy as np
import pytest

import quarnel
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
    (b"#FPS1\n00ff\ta\n\n00ff00\tb\n", "line 3: no fingerprint"),
    (b"#FPS1\n00ff\ta\n00ff00ff\tb\n", "line 3: a fingerprint of 4 bytes where the first fingerprint "
                                       "\\(line 2\\) has 2"),
    (b"#FPS1\n#num_bits=12\n00ff\ta\n", "line 3: bits set at or past bit 12"),
    (b"#FPS1\n00ff\ta\n#late\n", "line 3: a header line after the first fingerprint"),
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
