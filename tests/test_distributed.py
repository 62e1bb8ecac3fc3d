"""Sharded databases searched locally and on a Dask cluster of two worker
processes on loopback, against one search over a single file of all rows."""

import contextlib
import json
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import quarnel
from quarnel.fingerprint_file import HEADER

# Dask's worker processes would run, and leak-check, the whole interpreter
# under the sanitizer (and importing Dask alone leaks interpreter objects);
# the engine calls they make are covered without it.
if os.environ.get("QUARNEL_SANITIZER"):
    pytest.skip("Dask under a sanitizer", allow_module_level=True)

distributed = pytest.importorskip("distributed")
import quarnel.distributed as cluster_search  # noqa: E402  (needs Dask)

K = 5


def children():
    """This process's descendants, less multiprocessing's resource tracker,
    which lives as long as this process and ends with it."""
    import psutil

    found = set()
    for process in psutil.Process().children(recursive=True):
        with contextlib.suppress(psutil.Error):
            if process.status() != psutil.STATUS_ZOMBIE and "resource_tracker" not in " ".join(process.cmdline()):
                found.add(process.pid)
    return found


@pytest.fixture(scope="module")
def client():
    before = children()
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()
    deadline = time.monotonic() + 10
    while children() - before and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not children() - before, "the cluster left processes behind"


@pytest.fixture(scope="module")
def rows(tmp_path_factory, molecule_fps):
    """Packed rows of real molecules, with 50 duplicated so that equal
    scores straddle windows; the single file of them all; the queries."""
    folder = tmp_path_factory.mktemp("shards")
    quarnel.save_fingerprints(molecule_fps + molecule_fps[:50], folder / "all.qfp")
    quarnel.save_fingerprints(molecule_fps[::15], folder / "queries.qfp")
    count, n_bits = HEADER.unpack((folder / "all.qfp").read_bytes()[:8])
    words = np.fromfile(folder / "all.qfp", "<u8", offset=8).reshape(count, -1)
    return folder, words, n_bits


def write_shards(folder, words, n_bits, sizes, name):
    """A manifest of shards of the given sizes (zeros allowed)."""
    entries, start = [], 0
    for number, size in enumerate(sizes):
        path = folder / f"{name}-{number}.qfp"
        path.write_bytes(HEADER.pack(size, n_bits) + words[start:start + size].tobytes())
        entries.append({"path": path.name, "rows": size, "n_bits": n_bits})
        start += size
    assert start == len(words)
    manifest = folder / f"{name}.qfpset"
    manifest.write_text(json.dumps({"format": "quarnel-shards", "version": 1, "shards": entries}))
    return manifest


def canonical(indices, scores):
    """Rows in tie-rule order, with those tied at the k-th place blanked:
    which of them survive is not the same for every window layout."""
    order = np.lexsort((indices, -scores), axis=-1)
    indices = np.take_along_axis(np.asarray(indices, np.int64), order, axis=1)
    scores = np.take_along_axis(scores, order, axis=1)
    return np.where(scores > scores[:, -1:], indices, -1)


def single_file(folder):
    indices, scores = quarnel.bulk_tanimoto_mmap_topk(folder / "queries.qfp", folder / "all.qfp", K)
    return indices, scores, quarnel.bulk_tanimoto_mmap(folder / "queries.qfp", folder / "all.qfp", agg="max")


LAYOUTS = [([350], None), ([0, 120, 0, 230, 0], 7), ([1, 1, 1, 1, 0, 346], 1), ([97, 0, 253], 64)]


@pytest.mark.parametrize("sizes, window_rows", LAYOUTS)
def test_sharded_search_equals_one_file(client, rows, sizes, window_rows):
    folder, words, n_bits = rows
    database = quarnel.Database(write_shards(folder, words, n_bits, sizes, f"layout{len(sizes)}"))
    indices, scores, highest = single_file(folder)

    remote = cluster_search.search(client, folder / "queries.qfp", database, k=K, window_rows=window_rows,
                                   n_threads=1)
    local = database.search(folder / "queries.qfp", k=K, window_rows=window_rows)
    assert remote.indices.dtype == np.int64
    np.testing.assert_array_equal(remote.scores, scores)
    np.testing.assert_array_equal(canonical(remote.indices, remote.scores), canonical(indices, scores))
    # The same windows give the same answer here and there, ties included.
    np.testing.assert_array_equal(remote.indices, local.indices)
    np.testing.assert_array_equal(remote.scores, local.scores)
    np.testing.assert_array_equal(
        cluster_search.max_similarity(client, folder / "queries.qfp", database, window_rows=window_rows),
        highest)


def test_worker_killed_mid_search(client, rows):
    folder, words, n_bits = rows
    database = quarnel.Database(write_shards(folder, words, n_bits, [150, 200], "killed"))
    pids = client.run(os.getpid)
    killed = {}
    finished = threading.Event()

    def kill_a_busy_worker():
        while not finished.is_set():
            busy = [worker for worker, keys in client.processing().items() if keys]
            if busy:
                os.kill(pids[busy[0]], signal.SIGKILL)
                killed["pid"] = pids[busy[0]]
                return
            time.sleep(0.005)

    killer = threading.Thread(target=kill_a_busy_worker)
    killer.start()
    try:
        result = cluster_search.search(client, folder / "queries.qfp", database, k=K, window_rows=1,
                                       n_threads=1)
    finally:
        finished.set()
        killer.join()
    assert "pid" in killed, "no worker was killed while the search ran"
    local = database.search(folder / "queries.qfp", k=K, window_rows=1)
    np.testing.assert_array_equal(result.indices, local.indices)
    np.testing.assert_array_equal(result.scores, local.scores)
    client.wait_for_workers(2, timeout=60)


def test_missing_or_truncated_shard_fails_whole_search(client, rows):
    folder, words, n_bits = rows
    manifest = write_shards(folder, words, n_bits, [100, 100, 150], "broken")
    database = quarnel.Database(manifest)
    shard = folder / "broken-1.qfp"
    whole = shard.read_bytes()

    # Gone after the client opened the database: the workers find out.
    shard.unlink()
    with pytest.raises(quarnel.QuarnelError, match="broken-1.qfp") as failure:
        cluster_search.search(client, folder / "queries.qfp", database, k=K, window_rows=30)
    assert "on worker tcp://127.0.0.1:" in str(failure.value)
    with pytest.raises(quarnel.QuarnelError, match="shard .*broken-1.qfp is missing"):
        quarnel.Database(manifest)

    shard.write_bytes(whole[:-8])
    with pytest.raises(quarnel.QuarnelError, match="broken-1.qfp.*truncated"):
        cluster_search.max_similarity(client, folder / "queries.qfp", database)
    with pytest.raises(quarnel.QuarnelError, match="broken-1.qfp.*truncated"):
        quarnel.Database(manifest)

    shard.write_bytes(HEADER.pack(1, 1024) + bytes(128))
    listed = json.loads(manifest.read_text())
    listed["shards"][1].update(rows=1, n_bits=1024)
    manifest.write_text(json.dumps(listed))
    with pytest.raises(quarnel.QuarnelError, match="different bit lengths"):
        quarnel.Database(manifest)

def test_command_line_shards_and_searches_on_the_cluster(client, tmp_path):
    smiles = tmp_path / "mols.smi"
    with open("/usr/share/RDKit/Data/NCI/first_5K.smi") as source:
        smiles.write_text("".join(source.readlines()[:700]))

    def quarnel_cli(*args):
        return subprocess.run([sys.executable, "-m", "quarnel", *map(str, args)], cwd=tmp_path, check=True,
                              capture_output=True, text=True).stdout

    quarnel_cli("fingerprint", smiles, "--shard-rows", 250, "-q", "--workers", 1)
    quarnel_cli("fingerprint", smiles, "-o", "one.qfp", "-q", "--workers", 1)
    info = quarnel_cli("info", "mols.qfpset")
    assert "shards: 3" in info and "shard 2: mols-00002.qfp rows 500 to 699 (200 rows" in info

    local = quarnel_cli("search", smiles, "mols.qfpset", "-q")
    assert quarnel_cli("search", smiles, "mols.qfpset", "-q", "--scheduler", client.scheduler.address) == local
    single = quarnel_cli("search", smiles, "one.qfp", "-q")
    assert [line.split("\t")[-1] for line in single.splitlines()] == \
        [line.split("\t")[-1] for line in local.splitlines()]
