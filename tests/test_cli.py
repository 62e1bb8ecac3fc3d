"""The quarnel command line end to end, through subprocesses: from a SMILES
file to hits, and every way it must fail in one line."""

import gzip
import json
import re
import os
import resource
import signal
import stat
import subprocess
import sys
import time

import numpy as np
import pytest

import _quarnel
from conftest import NCI_SMILES

ERROR = "quarnel: error: "


def quarnel(*args, cwd=None, limit_file_bytes=None, timeout=120):
    def limit():
        if limit_file_bytes is not None:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a refused write, not a killed process
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit_file_bytes, limit_file_bytes))

    return subprocess.run([sys.executable, "-m", "quarnel", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, timeout=timeout, preexec_fn=limit)


def leftovers(folder):
    return sorted(p.name for p in folder.iterdir() if p.name.endswith(".part"))


@pytest.fixture(scope="module")
def nci_db(tmp_path_factory):
    """The first 600 NCI molecules, with a line RDKit cannot parse."""
    folder = tmp_path_factory.mktemp("cli")
    with open(NCI_SMILES) as lines:
        text = [next(lines) for _ in range(600)]
    text.insert(10, "C1CC bad_ring\n")
    (folder / "mols.smi").write_text("".join(text))
    done = quarnel("fingerprint", "mols.smi", "--workers", 2, cwd=folder)
    assert done.returncode == 0, done.stderr
    return folder, done


def test_fingerprint_info_search(nci_db):
    folder, made = nci_db
    assert "skipped 1 molecule RDKit could not parse: line 11" in made.stderr
    assert made.stdout == ""  # no bar, nothing but results on standard output
    meta = json.loads((folder / "mols.qfp.json").read_text())
    assert (meta["rows"], meta["skipped"], meta["fingerprint"]["type"]) == (600, 1, "morgan")
    assert meta["skipped_lines"] == [11]

    info = quarnel("info", "mols.qfp", cwd=folder)
    assert "rows: 600\n" in info.stdout and "bits: 2048\n" in info.stdout and "rows skipped: 1" in info.stdout

    # A query RDKit cannot parse keeps the others at their input rows; a tab
    # in a name does not add a field.
    (folder / "q.smi").write_text("CCO ethanol\nnot_smiles x\nc1ccccc1O phe\tnol\n")
    done = quarnel("search", "q.smi", "mols.qfp", "-k", 5, "--window-rows", 97, "-o", "hits.tsv", cwd=folder)
    assert done.returncode == 0, done.stderr
    assert "skipped 1 query RDKit could not parse: line 2\n" in done.stderr
    lines = (folder / "hits.tsv").read_text().splitlines()
    assert lines[0] == "query\tquery_row\trank\ttarget\ttarget_row\tscore"
    rows = [line.split("\t") for line in lines[1:]]
    assert {len(r) for r in rows} == {6}
    assert [r[:3] for r in rows[:6]] == [["ethanol", "0", str(rank)] for rank in range(1, 6)] + [["phe nol", "2", "1"]]
    names = (folder / "mols.qfp.names").read_text().splitlines()
    assert all(names[int(r[4])] == r[3] for r in rows)

    (folder / "q.smi").write_text("CCO ethanol\nc1ccccc1O phenol\n")
    quarnel("fingerprint", "q.smi", "-o", "q.qfp", "-q", cwd=folder)
    _, scores = _quarnel.bulk_tanimoto_mmap_topk(folder / "q.qfp", folder / "mols.qfp", k=5)
    assert np.array_equal(np.array([float(r[5]) for r in rows]).reshape(2, 5), scores)

    # A single window gives the engine's hits, ordered by score, then row;
    # queries as a .qfp.
    one = quarnel("search", "q.qfp", "mols.qfp", "-k", 3, cwd=folder)
    indices, scores = _quarnel.bulk_tanimoto_mmap_topk(folder / "q.qfp", folder / "mols.qfp", k=3)
    got = [line.split("\t") for line in one.stdout.splitlines()[1:]]
    expected = [sorted(zip(-s, i)) for i, s in zip(indices.tolist(), np.asarray(scores))]
    assert [(-float(r[5]), int(r[4])) for r in got] == [pair for row in expected for pair in row]


def test_usage_and_version():
    bare = quarnel()
    assert bare.returncode == 2 and bare.stderr.startswith("usage: quarnel") and "fingerprint" in bare.stderr
    assert quarnel("--version").stdout.startswith("quarnel ")


def test_bad_input_and_environment_fail_in_one_line(nci_db, tmp_path):
    folder, _ = nci_db
    (tmp_path / "short.qfp").write_bytes((folder / "mols.qfp").read_bytes()[:1000])
    (tmp_path / "bare.qfp").write_bytes((folder / "mols.qfp").read_bytes())
    _quarnel.save_fingerprints([], tmp_path / "empty.qfp")
    from reference import fingerprint

    _quarnel.save_fingerprints([fingerprint(1024, [1])], tmp_path / "narrow.qfp")
    (tmp_path / "q.smi").write_text("CCO\n")
    db = folder / "mols.qfp"
    whole = db.read_bytes()
    (tmp_path / "long.qfp").write_bytes(whole + bytes(256))  # more rows than its header says
    (tmp_path / "cut.smi.gz").write_bytes(gzip.compress((folder / "mols.smi").read_bytes())[:4000])
    (tmp_path / "fake.smi.gz").write_bytes(b"CC")
    for name, sidecar in (("list.qfp", "[1, 2]"), ("radius.qfp", '{"fingerprint": {"type": "morgan", '
                                                                  '"radius": "two"}}')):
        (tmp_path / name).write_bytes(whole)
        (tmp_path / f"{name}.json").write_text(sidecar)
    (tmp_path / "none.smi").write_text("")
    (tmp_path / "junk.smi").write_bytes(bytes(range(256)) * 20)
    (tmp_path / "bad.smi").write_text("C1CC x\nnot_smiles y\n" * 50)
    (tmp_path / "shards").mkdir()
    quarnel("fingerprint", "q.smi", "--type", "rdkit", "-o", "rdkit.qfp", "-q", cwd=tmp_path)
    inputs = sorted(p.name for p in tmp_path.iterdir())
    cases = [
        (["info", tmp_path / "nothing.qfp"], "No such file or directory"),
        (["search", "q.smi", tmp_path / "nothing.qfp"], "No such file or directory"),
        (["fingerprint", tmp_path / "nothing.smi"], "No such file or directory"),
        (["fingerprint", tmp_path / "short.qfp"], "not a molecule file"),
        (["info", tmp_path / "short.qfp"], "truncated fingerprint file"),
        (["search", tmp_path / "short.qfp", db], "truncated fingerprint file"),
        (["search", tmp_path / "narrow.qfp", db], "1024 bits"),
        (["search", "q.smi", tmp_path / "bare.qfp"], "no metadata"),
        (["fingerprint", "q.smi", "--bits", "0"], "argument --bits"),
        (["search", "q.smi", db, "-k", "-3"], "argument -k"),
        (["search", "q.smi", db, "--window-rows", "x"], "argument --window-rows"),
        (["fingerprint", "q.smi", "--type", "ecfp"], "argument --type"),
        (["fingerprint", "q.smi", "--type", "maccs", "--bits", "512"], "167 bits"),
        (["fingerprint", "q.smi", "-o", tmp_path / "no" / "such" / "x.qfp"], "No such file or directory"),
        (["fingerprint", "q.smi", "--type", "maccs", "--bits", "2048"], "167 bits"),
        (["fingerprint", "q.smi", "--type", "rdkit", "--radius", "3"], "radius does not apply to rdkit"),
        (["fingerprint", "q.smi", "--type", "atompair", "--features"], "features does not apply"),
        (["fingerprint", "none.smi"], "none.smi: no molecules"),
        (["fingerprint", "junk.smi"], "junk.smi: line 1 holds binary data"),
        (["fingerprint", "bad.smi"], "bad.smi: no fingerprint written: all 100 molecules"),
        (["fingerprint", "cut.smi.gz"], "cut.smi.gz: the compressed file is damaged or cut short"),
        (["fingerprint", "fake.smi.gz"], "fake.smi.gz: the compressed file is damaged"),
        (["search", "cut.smi.gz", db], "cut.smi.gz: the compressed file is damaged"),
        (["search", "q.smi", db, "--threads", "100000"], "thread count must be 1 to 1024"),
        (["cluster", db, "--threshold", "0.5", "--threads", "100000"], "thread count must be 1 to 1024"),
        (["fingerprint", "q.smi", "--workers", "0"], "argument --workers"),
        (["search", "q.smi", db, "-k", "0"], "argument -k"),
        (["search", "q.smi", "list.qfp"], "list.qfp.json: the metadata must be a JSON object"),
        (["info", "radius.qfp"], "radius.qfp.json: the fingerprint setting radius must be a whole number"),
        (["search", "q.smi", db, "-o", tmp_path / "nodir" / "hits.tsv"], f"{tmp_path}/nodir/hits.tsv: No such"),
        (["search", "q.smi", folder / "mols.smi"], "not a fingerprint database but a molecule file"),
        (["search", "q.smi", "rdkit.qfp", "--allow-mismatch", "-o", "rdkit.qfp"], "this is the input rdkit.qfp"),
        (["search", "q.smi", db, "-o", "q.smi"], "this is the input q.smi, which the output would replace"),
        (["cluster", "rdkit.qfp", "--threshold", "0.5", "-o", "rdkit.qfp.json"], "a sidecar of rdkit.qfp"),
        (["export", "rdkit.qfp", "-o", tmp_path / "rdkit.qfp"], "this is the input rdkit.qfp"),
        (["search", "q.smi", "shards"], "shards: a folder, not a fingerprint database"),
        (["search", "long.qfp", db], "long.qfp: not a fingerprint database: its header announces"),
        (["info", "long.qfp"], "announces 600 rows of 2048 bits (153608 bytes) but the file has 153864"),
        (["search", "rdkit.qfp", db], "fingerprinted as type=rdkit"),
        (["fingerprint", folder / "mols.smi", "--name-field", "NOPE", "-o", "x.qfp"], "name field applies to SDF"),
        (["fingerprint", "/usr/share/RDKit/Data/NCI/first_200.props.sdf", "--name-field", "NOPE", "-o", "x.qfp"],
         "no record has the name field 'NOPE'"),
    ]
    for args, message in cases:
        done = quarnel(*args, cwd=tmp_path)
        assert done.returncode != 0, args
        assert done.stderr.startswith(ERROR) and message in done.stderr, (args, done.stderr)
        assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr, done.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == inputs  # nothing written, nothing half-written
    assert quarnel("search", "rdkit.qfp", db, "--allow-mismatch", cwd=tmp_path).returncode == 0
    # Bits past the bit length are ignored by every command, info included.
    _quarnel.save_fingerprints([fingerprint(100, [1, 2])], tmp_path / "tail.qfp")
    raw = bytearray((tmp_path / "tail.qfp").read_bytes())
    raw[-1] = 0xFF  # bits 120..127 of a 100-bit row
    (tmp_path / "tail.qfp").write_bytes(bytes(raw))
    assert "mean bits set: 2.00\n" in quarnel("info", "tail.qfp", cwd=tmp_path).stdout
    for queries, database in (("empty.qfp", db), ("narrow.qfp", "empty.qfp")):
        done = quarnel("search", queries, database, cwd=tmp_path)
        assert (done.returncode, done.stdout.count("\n")) == (0, 1)  # the header only


def test_full_disk_leaves_no_file(nci_db, tmp_path):
    folder, _ = nci_db
    done = quarnel("fingerprint", folder / "mols.smi", "-o", tmp_path / "out.qfp", "--workers", 1,
                   limit_file_bytes=50_000, cwd=tmp_path)
    assert done.returncode == 1 and done.stderr.startswith(ERROR) and "File too large" in done.stderr
    assert list(tmp_path.iterdir()) == []


def test_interrupt_leaves_no_file(tmp_path):
    with open(NCI_SMILES) as source:
        (tmp_path / "big.smi").write_text(source.read() * 6)
    process = subprocess.Popen([sys.executable, "-m", "quarnel", "fingerprint", "big.smi", "-q"], cwd=tmp_path,
                               stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not leftovers(tmp_path) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert leftovers(tmp_path), "the command never started writing"
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=60)
    assert (process.returncode, err) == (130, "quarnel: interrupted\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["big.smi"]


def test_threshold_search_and_cluster(nci_db):
    folder, _ = nci_db
    quarnel("fingerprint", "mols.smi", "-o", "q.qfp", "-q", cwd=folder)  # every molecule as a query
    done = quarnel("search", "q.qfp", "mols.qfp", "--threshold", 0.6, "--window-rows", 150, cwd=folder)
    assert done.returncode == 0, done.stderr
    got = [line.split("\t") for line in done.stdout.splitlines()[1:]]
    dense = _quarnel.bulk_tanimoto_mmap(folder / "q.qfp", folder / "mols.qfp")
    expected = [(q, t, s) for q in range(len(dense)) for s, t in
                sorted(((-dense[q, t], t) for t in np.flatnonzero(dense[q] >= 0.6)))]
    assert [(int(r[1]), int(r[4]), -float(r[5])) for r in got] == expected
    capped = quarnel("search", "q.qfp", "mols.qfp", "--threshold", 0.6, "-k", 1, cwd=folder)
    best = [line.split("\t") for line in capped.stdout.splitlines()[1:]]
    first = {}
    for q, t, _ in expected:
        first.setdefault(q, t)
    assert [(int(r[1]), int(r[4])) for r in best] == sorted(first.items())
    assert {r[2] for r in best} == {"1"}

    import quarnel as package

    clustered = quarnel("cluster", "mols.qfp", "--threshold", 0.55, "--reordering", "-o", "c.tsv", cwd=folder)
    assert clustered.returncode == 0, clustered.stderr
    lines = (folder / "c.tsv").read_text().splitlines()
    assert lines[0] == "cluster\tposition\trow\tname"
    names = (folder / "mols.qfp.names").read_text().splitlines()
    clusters = package.butina(folder / "mols.qfp", 0.55, reordering=True)
    assert lines[1:] == [f"{c}\t{p}\t{row}\t{names[row]}" for c, members in enumerate(clusters, start=1)
                         for p, row in enumerate(members)]
    # A FIFO (or a device such as /dev/null) is written in place, not
    # replaced by a file.
    fifo = folder / "pipe"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE, text=True)
    assert quarnel("cluster", "mols.qfp", "--threshold", 0.9, "-q", "-o", fifo, cwd=folder).returncode == 0
    assert reader.communicate(timeout=60)[0].startswith("cluster\tposition\trow\tname\n")
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
    bad = quarnel("cluster", "mols.qfp", "--threshold", "nan", cwd=folder)
    assert bad.returncode == 2 and bad.stderr.startswith(ERROR)


def on_terminal(*args, cwd):
    """Runs the command with standard error on a pseudo-terminal; returns
    what the terminal showed."""
    import pty

    leader, follower = pty.openpty()
    process = subprocess.Popen([sys.executable, "-m", "quarnel", *map(str, args)], cwd=cwd,
                               stdout=subprocess.DEVNULL, stderr=follower)
    os.close(follower)
    shown = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:  # the command ended and closed the terminal
            break
        if not chunk:
            break
        shown += chunk
    os.close(leader)
    assert process.wait(timeout=120) == 0, shown
    return shown.decode(errors="replace")


def test_progress_on_a_terminal(tmp_path):
    with open(NCI_SMILES) as source:
        (tmp_path / "mols.smi").write_text(source.read())
    shown = on_terminal("fingerprint", "mols.smi", "--workers", 1, cwd=tmp_path)
    assert "fingerprint:" in shown and "%" in shown and "<" in shown  # percent and time left
    # A database big enough that one window takes a few seconds on one
    # thread, made as the SMILES queries would be fingerprinted.
    rng = np.random.default_rng(5)
    rows = rng.integers(0, 2**63, (150_000, 32), dtype=np.uint64) & rng.integers(0, 2**63, (150_000, 32),
                                                                                 dtype=np.uint64)
    with open(tmp_path / "big.qfp", "wb") as out:
        out.write(np.array([len(rows), 2048], "<u4").tobytes() + rows.tobytes())
    (tmp_path / "big.qfp.json").write_text(json.dumps({"fingerprint": {"type": "morgan", "n_bits": 2048}}))
    shown = on_terminal("search", "mols.smi", "big.qfp", "-k", 1, "--threads", 1, "-o", "hits.tsv", cwd=tmp_path)
    # It moves within the one window: some percentage between the ends.
    assert "search:" in shown and "queries" in shown and re.search(r"search:\s+[1-9][0-9]?%", shown), shown
    shown = on_terminal("cluster", "mols.qfp", "--threshold", 0.8, "-o", "c.tsv", cwd=tmp_path)
    assert "finding neighbours" in shown and "assigning" in shown


def test_threads_help_says_what_the_option_takes(nci_db):
    folder, _ = nci_db
    for command in ("search", "cluster", "pick"):
        shown = " ".join(quarnel(command, "-h").stdout.split())
        assert "--threads THREADS worker threads: 1 to 1024, or 0 or -1 for all CPUs (default -1)" in shown, shown
    for threads in (0, -1, 1024):
        done = quarnel("search", "CCO", "mols.qfp", "-k", 1, "--threads", threads, "-q", cwd=folder)
        assert done.returncode == 0 and done.stdout.count("\n") == 2, done.stderr
    refused = quarnel("search", "CCO", "mols.qfp", "--threads", -2, cwd=folder)
    assert refused.returncode == 2 and "or 0 or -1 for every CPU, not -2" in refused.stderr
