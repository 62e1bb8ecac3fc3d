"""Saving and loading fingerprint files: the bytes on disk, what loading makes
of hand-made files, and how failures are raised or reported on stderr."""

import os
import pathlib
import struct
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given

import _quarnel as q
import reference
from reference import ListLike
from reference import fingerprint

SHORT_READ = "failed to fill whole buffer"


def encode(fps):
    """The file the writer must produce, built from each vector's on-bits."""
    if not fps:
        return bytes(8)
    n_bits = fps[0].GetNumBits()
    n_words = (n_bits + 63) // 64
    words = np.zeros((len(fps), n_words), dtype="<u8")
    for row, fp in enumerate(fps):
        for bit in fp.GetOnBits():
            words[row, bit // 64] |= np.uint64(1) << np.uint64(bit % 64)
    return struct.pack("<II", len(fps), n_bits) + words.tobytes()


def hand_made(path, count, n_bits, words=(), tail=b""):
    path.write_bytes(struct.pack("<II", count, n_bits) + struct.pack(f"<{len(words)}Q", *words) + tail)
    return path


def same_vectors(loaded, saved):
    assert len(loaded) == len(saved)
    for got, want in zip(loaded, saved):
        assert got is not want
        assert got.GetNumBits() == want.GetNumBits()
        assert got.GetNumOnBits() == want.GetNumOnBits()
        assert list(got.GetOnBits()) == list(want.GetOnBits())


def raises_exactly(exc_type, message, fn, *args):
    with pytest.raises(exc_type) as info:
        fn(*args)
    assert type(info.value) is exc_type
    assert str(info.value) == message


def report(capfd):
    """What the writer printed since the last look, as one line."""
    err = capfd.readouterr().err
    assert err.count("\n") == 1, err
    return err.rstrip("\n")


class Uniterable(ListLike):
    __iter__ = None


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("files")


# ---------------------------------------------------------------------------
# The bytes on disk


def test_golden_files(tmp_path, rng):
    path = tmp_path / "f.bin"
    fps = reference.random_fingerprints(rng, 3, 2048)
    for seq in (fps, tuple(fps), ListLike(fps)):
        assert q.save_fingerprints(seq, path) is None
        data = path.read_bytes()
        assert len(data) == 776 and data[:8] == bytes.fromhex("0300000000080000")
        assert data == encode(fps)

    q.save_fingerprints([fingerprint(100, [99])], str(path))
    assert path.read_bytes() == bytes.fromhex("0100000064000000" "0000000000000000" "0000000008000000")

    q.save_fingerprints([], path)
    assert path.read_bytes() == bytes(8)
    assert q.load_fingerprints(path) == []

    q.save_fingerprints([fingerprint(0)] * 3, path)
    assert path.read_bytes() == bytes.fromhex("0300000000000000")
    assert [fp.GetNumBits() for fp in q.load_fingerprints(path)] == [0, 0, 0]


def test_saving_truncates_a_longer_file(tmp_path, molecule_fps):
    path = tmp_path / "f.bin"
    q.save_fingerprints(molecule_fps, path)
    q.save_fingerprints(molecule_fps[:2], path)
    assert path.read_bytes() == encode(molecule_fps[:2])


def test_morgan_round_trip(tmp_path, molecule_fps):
    path = tmp_path / "nci.bin"
    q.save_fingerprints(molecule_fps, path)
    assert path.stat().st_size == 8 + len(molecule_fps) * 32 * 8
    loaded = q.load_fingerprints(path)
    same_vectors(loaded, molecule_fps)
    assert sum(fp.GetNumOnBits() for fp in loaded) == sum(fp.GetNumOnBits() for fp in molecule_fps)
    # The loaded objects are ordinary vectors for the rest of the module.
    assert np.array_equal(q.bulk_tanimoto_parallel(loaded[:20], loaded),
                          q.bulk_tanimoto_parallel(molecule_fps[:20], molecule_fps))


@given(reference.fingerprint_lists(1, max_size=6))
def test_any_width_round_trip(workdir, lists):
    (fps,) = lists
    path = workdir / "any.bin"
    q.save_fingerprints(fps, path)
    assert path.read_bytes() == encode(fps)
    same_vectors(q.load_fingerprints(path), fps)


# ---------------------------------------------------------------------------
# Loading hand-made files


def test_words_are_split_into_rows_and_cut_at_the_length(tmp_path):
    ones = 2**64 - 1
    path = hand_made(tmp_path / "f.bin", 2, 70, [1 << 63 | 1, ones, 0, 1 << 5 | 1 << 6 | 1 << 63])
    first, second = q.load_fingerprints(path)
    assert list(first.GetOnBits()) == [0, 63, 64, 65, 66, 67, 68, 69]
    assert list(second.GetOnBits()) == [69]
    assert (first.GetNumOnBits(), second.GetNumOnBits()) == (8, 1)
    # The cleared bits stay cleared when the vectors are written again.
    q.save_fingerprints([first, second], path)
    assert struct.unpack("<4Q", path.read_bytes()[8:]) == (1 << 63 | 1, 0x3F, 0, 1 << 5)

    hand_made(path, 1, 64, [ones])
    assert q.load_fingerprints(path)[0].GetNumOnBits() == 64
    hand_made(path, 1, 1, [ones])
    assert list(q.load_fingerprints(path)[0].GetOnBits()) == [0]


def test_what_follows_the_rows_is_ignored(tmp_path):
    path = hand_made(tmp_path / "f.bin", 1, 64, [5], tail=b"\xff" * 13)
    assert list(q.load_fingerprints(path)[0].GetOnBits()) == [0, 2]
    for n_bits in (0, 64, 2**32 - 1):
        hand_made(path, 0, n_bits, tail=b"junk" * 5)
        assert q.load_fingerprints(path) == []
    hand_made(path, 2, 0, tail=b"junk")
    assert [fp.GetNumBits() for fp in q.load_fingerprints(path)] == [0, 0]


def test_short_files(tmp_path):
    path = tmp_path / "f.bin"
    for size in range(8):
        path.write_bytes(b"\x01" * size)
        raises_exactly(OSError, SHORT_READ, q.load_fingerprints, path)
    hand_made(path, 2, 64, [7])
    raises_exactly(OSError, SHORT_READ, q.load_fingerprints, path)
    hand_made(path, 1, 2048, [1] * 31, tail=b"\0" * 7)  # one byte short
    raises_exactly(OSError, SHORT_READ, q.load_fingerprints, path)
    # An 8-byte header announcing ~2**61 bytes fails before allocating them.
    hand_made(path, 2**32 - 1, 2**32 - 1)
    raises_exactly(OSError, SHORT_READ, q.load_fingerprints, path)


def test_rows_arriving_in_pieces_through_a_pipe(tmp_path, molecule_fps):
    # Another process feeds the pipe: loading holds the interpreter lock, so a
    # thread of this one could not.
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    source = tmp_path / "source.bin"
    source.write_bytes(encode(molecule_fps[:5]))
    feed = ("import sys, time\n"
            "data = open(sys.argv[1], 'rb').read()\n"
            "with open(sys.argv[2], 'wb', buffering=0) as out:\n"
            "    for start in range(0, len(data), 300):\n"
            "        out.write(data[start:start + 300]); time.sleep(0.001)\n")
    writer = subprocess.Popen([sys.executable, "-c", feed, str(source), str(fifo)])
    try:
        same_vectors(q.load_fingerprints(fifo), molecule_fps[:5])
    finally:
        assert writer.wait(timeout=60) == 0


def test_load_os_errors(tmp_path):
    afile = tmp_path / "f.bin"
    afile.write_bytes(bytes(8))
    raises_exactly(FileNotFoundError, "No such file or directory (os error 2)",
                   q.load_fingerprints, tmp_path / "missing.bin")
    raises_exactly(IsADirectoryError, "Is a directory (os error 21)", q.load_fingerprints, tmp_path)
    raises_exactly(NotADirectoryError, "Not a directory (os error 20)", q.load_fingerprints, afile / "x")


def test_loading_works_before_rdkit_is_imported(tmp_path):
    path = hand_made(tmp_path / "f.bin", 1, 8, [0xFF])
    code = (f"import sys, _quarnel\n"
            f"assert 'rdkit' not in sys.modules\n"
            f"[fp] = _quarnel.load_fingerprints({str(path)!r})\n"
            f"print(type(fp).__name__, list(fp.GetOnBits()))\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.stdout, done.stderr) == ("ExplicitBitVect [0, 1, 2, 3, 4, 5, 6, 7]\n", "")


# ---------------------------------------------------------------------------
# Writer failures: printed, never raised


def test_partial_writes_are_reported(tmp_path, capfd):
    path = tmp_path / "f.bin"
    short, long = fingerprint(1024, [3]), fingerprint(2048, [3])

    assert q.save_fingerprints([short, long], path) is None
    assert report(capfd) == "ValueError: Inconsistent fingerprint lengths"
    assert path.read_bytes() == encode([short, short])[:136]
    raises_exactly(OSError, SHORT_READ, q.load_fingerprints, path)

    assert q.save_fingerprints([7, short], path) is None
    assert report(capfd).startswith("TypeError: ")
    assert path.read_bytes() == b""

    q.save_fingerprints([short, short, "x", short], path)
    assert report(capfd).startswith("TypeError: ")
    assert path.read_bytes() == encode([short] * 4)[:8 + 2 * 128]

    path.write_bytes(b"old")
    assert q.save_fingerprints(Uniterable([short]), path) is None
    assert report(capfd) == "TypeError: Expected a sequence"
    assert path.read_bytes() == b""


def test_open_failures_create_nothing(tmp_path, capfd):
    afile = tmp_path / "f.bin"
    afile.write_bytes(b"keep")
    cases = [
        (tmp_path / "no-dir" / "f.bin", "No such file or directory (os error 2)"),
        (tmp_path, "Is a directory (os error 21)"),
        (afile / "f.bin", "Not a directory (os error 20)"),
    ]
    for path, text in cases:
        # fps is not looked at once the open failed: one report only.
        assert q.save_fingerprints([1, 2], path) is None
        assert report(capfd) == f"ValueError: cannot open '{path}' for writing: {text}"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f.bin"]
    assert afile.read_bytes() == b"keep"


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_lost_writes_are_reported(capfd, molecule_fps):
    # An 8-byte file fails at the final flush, a large one in a write.
    for fps in ([], molecule_fps):
        assert q.save_fingerprints(fps, "/dev/full") is None
        assert report(capfd) == "OSError: No space left on device (os error 28)"


# ---------------------------------------------------------------------------
# Path bytes


def test_name_bytes_are_kept(tmp_path, capfd):
    fps = [fingerprint(100, [1, 99])]
    for raw in (b"fp-\xff.bin", "fp-é.bin".encode()):
        name = os.fsdecode(raw)
        for path in (os.path.join(str(tmp_path), name), pathlib.Path(tmp_path, name)):
            q.save_fingerprints(fps, path)
            assert os.listdir(os.fsencode(tmp_path)) == [raw]
            same_vectors(q.load_fingerprints(path), fps)
            os.remove(path)
    assert capfd.readouterr().err == ""


def test_embedded_nul_is_refused(tmp_path):
    path = str(tmp_path / "f.bin")
    raises_exactly(ValueError, "embedded null byte", q.save_fingerprints, [], path + "\0x")
    raises_exactly(ValueError, "embedded null byte", q.load_fingerprints, path + "\0x")
    raises_exactly(ValueError, "embedded null byte", q.load_fingerprints, pathlib.Path(path + "\0"))
    assert list(tmp_path.iterdir()) == []
