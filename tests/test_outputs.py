"""Nothing a user owns is overwritten or left broken: outputs never replace
a file of an input database, bad metadata writes nothing, and a write that
fails for want of space leaves no file behind and names the file."""

import errno
import hashlib
import io
import os
import tempfile

import numpy as np
import pytest

import quarnel
import quarnel.cli
from test_cli import ERROR, quarnel as run


def digests(folder):
    return {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in sorted(folder.iterdir())}


@pytest.fixture
def library(tmp_path):
    """A database and a sharded one of the same 30 molecules, and queries."""
    with open("/usr/share/RDKit/Data/NCI/first_5K.smi") as lines:
        (tmp_path / "mols.smi").write_text("".join(next(lines) for _ in range(30)))
    (tmp_path / "q.smi").write_text("CCO ethanol\n")
    for args in (["-o", "lib.qfp"], ["-o", "set.qfpset", "--shard-rows", "12"]):
        done = run("fingerprint", "mols.smi", *args, "-q", "--workers", 1, cwd=tmp_path)
        assert done.returncode == 0, done.stderr
    return tmp_path


REFUSED = [
    (["search", "q.smi", "set.qfpset", "-o", "set-00001.qfp"], "set-00001.qfp: this is a shard of set.qfpset"),
    (["cluster", "set.qfpset", "--threshold", "0.5", "-o", "set-00002.qfp.names"],
     "set-00002.qfp.names: this is a sidecar of a shard of set.qfpset"),
    (["pick", "set.qfpset", "--maxmin", "3", "-o", "set-00000.qfp.json"], "a sidecar of a shard of set.qfpset"),
    (["export", "set.qfpset", "-o", "set-00000.qfp"], "this is a shard of set.qfpset"),
    (["fingerprint", "q.smi", "-o", "lib.qfp.names"], "lib.qfp.names: a sidecar's name"),
    (["fingerprint", "q.smi", "-o", "new.qfp.json"], "new.qfp.json: a sidecar's name"),
    (["fingerprint", "q.smi", "-o", "new.names"], "new.names: a sidecar's name"),
]


@pytest.mark.parametrize("args, message", REFUSED)
def test_the_command_line_never_writes_over_a_file_of_its_input(library, args, message):
    before = digests(library)
    done = run(*args, cwd=library)
    assert done.returncode == 1 and done.stderr.startswith(ERROR) and message in done.stderr, done.stderr
    assert done.stderr.count("\n") == 1
    assert digests(library) == before


def test_the_python_api_refuses_what_the_command_line_refuses(library):
    before = digests(library)
    db, sharded = quarnel.Database(library / "lib.qfp"), quarnel.Database(library / "set.qfpset")
    for database, target, message in ((db, "lib.qfp", "the input"), (db, "lib.qfp.names", "a sidecar of"),
                                      (db, "lib.qfp.json", "a sidecar of"),
                                      (sharded, "set-00001.qfp", "a shard of"),
                                      (sharded, "set-00001.qfp.names", "a sidecar of a shard of")):
        with pytest.raises(quarnel.QuarnelError, match=f"{target}: this is {message}"):
            database.write_fps(library / target)
    rows = np.zeros((2, 4), np.uint64)
    for metadata, message in (({"fingerprint": "banana"}, "\"fingerprint\" must be an object"),
                              ({"fingerprint": {"type": "morgan", "radius": -1}}, "radius must be 0 or more"),
                              ({"made": object()}, "cannot be written as JSON")):
        with pytest.raises(quarnel.QuarnelError, match=message):
            quarnel.save_database(rows, library / "new.qfp", metadata=metadata)
    with pytest.raises(quarnel.QuarnelError, match="a sidecar's name"):
        quarnel.save_database(rows, library / "lib.qfp.names")
    assert digests(library) == before
    # The same database written to a new name still works, and a good
    # metadata sidecar is kept.
    assert db.write_fps(library / "lib.fps") == 30
    saved = quarnel.save_database(rows, library / "new.qfp", metadata={"fingerprint": {"type": "maccs"}})
    assert saved.fingerprint_spec.type == "maccs"


class FullDisk(io.FileIO):
    """A file on a disk with `room` bytes left among all such files: past
    it every write fails, as on a full disk, so closing a file with
    unwritten data fails again."""

    room = 0

    def write(self, data):
        if len(data) > FullDisk.room:
            raise OSError(errno.ENOSPC, "No space left on device")
        FullDisk.room -= len(data)
        return super().write(data)


def temporary_file_on_full_disk(mode, dir, prefix, suffix, delete, encoding):
    handle, path = tempfile.mkstemp(suffix, prefix, dir)
    os.close(handle)
    stream = io.BufferedWriter(FullDisk(path, "w"))
    return stream if "b" in mode else io.TextIOWrapper(stream, encoding=encoding)


def test_a_write_that_runs_out_of_space_leaves_nothing_and_names_the_file(library, monkeypatch, capsys):
    # Shards 0 to 2 are complete when shard 3 fills the disk; they must go
    # although closing the unfinished shard fails again.
    (library / "long.smi").write_text("".join(f"C{'C' * (i % 7)} m{i}\n" for i in range(40)))
    before = digests(library)
    monkeypatch.setattr(tempfile, "NamedTemporaryFile", temporary_file_on_full_disk)
    monkeypatch.setattr(FullDisk, "room", 9_000)
    monkeypatch.chdir(library)
    assert quarnel.cli.main(["fingerprint", "long.smi", "-o", "long.qfpset", "--shard-rows", "10",
                             "--workers", "1", "-q"]) == 1
    assert capsys.readouterr().err == f"{ERROR}long-00003.qfp: No space left on device\n"
    assert digests(library) == before
    # A database rewritten on a full disk keeps its old files, sidecars
    # included: the new metadata must not replace the old before the rows
    # are on disk.
    monkeypatch.setattr(FullDisk, "room", 7_000)
    assert quarnel.cli.main(["fingerprint", "mols.smi", "-o", "lib.qfp", "--radius", "3", "--workers", "1", "-q"]) == 1
    assert capsys.readouterr().err == f"{ERROR}lib.qfp: No space left on device\n"
    assert digests(library) == before
    monkeypatch.undo()
    done = run("export", "lib.qfp", "-o", "/dev/full", cwd=library)
    assert done.stderr == f"{ERROR}/dev/full: No space left on device\n"
