"""The workers the package's calls share, seen from outside: they stay for
the next call instead of leaving, and a child forked after a call (a Dask
or multiprocessing worker) starts workers of its own rather than waiting on
the parent's, which it does not have.  Threads are counted in
/proc/self/task, in a child process so other tests' threads do not count."""

import json
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent("""
    import json, os, time
    import numpy as np
    import _quarnel

    rng = np.random.default_rng(7)
    db = rng.integers(0, 2**63, (3000, 32), dtype=np.uint64)
    queries = db[:200].copy()  # enough work to be shared out

    def search():
        indices, scores = _quarnel._scoring.cross_topk((queries, 2048), (db, 2048), 5, "tanimoto",
                                                       1.0, 1.0, 2, 0, 0)
        return [indices.tolist(), scores.tolist()]

    def settled_tasks():
        time.sleep(0.3)  # long enough for leaving workers to be gone
        return len(os.listdir("/proc/self/task"))

    base = settled_tasks()
    first = search()
    after_first = settled_tasks()
    search()
    after_second = settled_tasks()
    pid = os.fork()
    if pid == 0:
        try:
            alone = settled_tasks()
            report = {"same": search() == first, "alone": alone, "after": settled_tasks()}
            print(json.dumps({"child": report}), flush=True)
        finally:
            os._exit(0)
    _, status = os.waitpid(pid, 0)
    print(json.dumps({"parent": [after_first - base, after_second - base], "status": status}), flush=True)
""")


def test_workers_stay_between_calls_and_a_forked_child_starts_its_own():
    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    child = next(line["child"] for line in lines if "child" in line)
    parent = next(line for line in lines if "parent" in line)
    # Two workers came with the first call and were still there after the second.
    assert parent["parent"] == [2, 2]
    assert parent["status"] == 0
    # The child began with only the forking thread, and its call gave the
    # parent's answer on two workers of its own.
    assert child == {"same": True, "alone": 1, "after": 3}
