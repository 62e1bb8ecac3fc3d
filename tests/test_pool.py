"""The per-call worker pool, seen from outside: how many threads a call
starts, that they leave by themselves, and what happens when they cannot be
started.  Threads are counted in /proc/<pid>/task."""

import errno
import json
import os
import queue
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import _quarnel as q


def task_count(pid="self"):
    return len(os.listdir(f"/proc/{pid}/task"))


def settled_task_count(quiet=0.3, timeout=30):
    """The thread count once it has stopped changing (earlier calls' workers
    may still be leaving)."""
    deadline = time.monotonic() + timeout
    last, since = task_count(), time.monotonic()
    while time.monotonic() < deadline:
        time.sleep(0.01)
        now = task_count()
        if now != last:
            last, since = now, time.monotonic()
        elif time.monotonic() - since >= quiet:
            break
    return last


def wait_for_task_count(limit, timeout=30):
    deadline = time.monotonic() + timeout
    while task_count() > limit and time.monotonic() < deadline:
        time.sleep(0.01)
    return task_count()


def test_workers_leave_after_each_call(small_set):
    base = settled_task_count()
    q.internal_tanimoto_parallel(small_set * 20, n_threads=8)
    assert wait_for_task_count(base) <= base
    for _ in range(300):  # a long series must not pile threads up
        q.bulk_tanimoto_parallel(small_set, small_set, n_threads=4, agg="mean")
        q.bulk_tanimoto_parallel_topk(small_set, small_set, k=3, n_threads=3)
        q.internal_tanimoto_parallel(small_set, n_threads=5)
    assert wait_for_task_count(base) <= base


# A child that, for each thread count on its command line, waits for a "go"
# and then makes one call long enough to be watched from outside; "env:K=V"
# sets an environment variable in between.
WATCHED_CHILD = textwrap.dedent("""
    import os, sys, time
    import numpy  # whatever threads it starts are there before counting
    from rdkit import DataStructs
    import _quarnel

    a, b = DataStructs.ExplicitBitVect(32768), DataStructs.ExplicitBitVect(32768)
    a.SetBitsFromList(list(range(0, 32768, 3)))
    b.SetBitsFromList(list(range(0, 32768, 5)))
    fps = [a, b] * 1000  # long enough for the sampler outside to see every worker

    def tasks():
        return len(os.listdir("/proc/self/task"))

    base = tasks()
    print("base", base, flush=True)
    for step in sys.argv[1:]:
        if step.startswith("env:"):
            name, value = step[4:].split("=", 1)
            os.environ[name] = value
            continue
        deadline = time.monotonic() + 30
        while tasks() > base and time.monotonic() < deadline:
            time.sleep(0.01)
        print("ready", flush=True)
        sys.stdin.readline()
        _quarnel.internal_tanimoto_parallel(fps, n_threads=int(step), agg="mean")  # mean is never cut short
        print("done", flush=True)
""")


def workers_seen(env, steps):
    """The number of worker threads present during each call of the child."""
    child_env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    child_env.update(env)
    child = subprocess.Popen([sys.executable, "-c", WATCHED_CHILD, *map(str, steps)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=child_env, text=True)
    lines = queue.Queue()
    reader = threading.Thread(target=lambda: [lines.put(line.split()) for line in child.stdout] + [lines.put(None)])
    reader.start()
    seen, base = [], None
    try:
        while (line := lines.get(timeout=120)) is not None:
            if line[0] == "base":
                base = int(line[1])
            elif line[0] == "ready":
                child.stdin.write("go\n")
                child.stdin.flush()
                peak = 0
                while True:
                    try:
                        if lines.get_nowait() == ["done"]:
                            break
                    except queue.Empty:
                        peak = max(peak, task_count(child.pid))
                seen.append(peak - base)
    finally:
        child.stdin.close()
        assert child.wait(timeout=60) == 0
        reader.join()
    return seen


@pytest.fixture(scope="module")
def processor_count():
    # The most seen in two tries: the sampler can only miss workers.
    count = max(workers_seen({}, [0])[0] for _ in range(2))
    assert 1 <= count <= len(os.sched_getaffinity(0))
    return count


def workers_seen_settled(env, steps, expected, attempts=3):
    """workers_seen, retried: a sampler outside the process can miss a worker
    of a short call on a busy machine (it never sees one too many)."""
    for _ in range(attempts):
        seen = workers_seen(env, steps)
        if seen == expected:
            break
    return seen


def test_default_thread_count_from_environment():
    # Read once, at the first default use; an explicit count ignores it.
    steps = [0, "env:RAYON_NUM_THREADS=5", -5, 4, 1]
    assert workers_seen_settled({"RAYON_NUM_THREADS": "3"}, steps, [3, 3, 4, 1]) == [3, 3, 4, 1]
    assert workers_seen_settled({"RAYON_NUM_THREADS": "+5", "RAYON_RS_NUM_CPUS": "2"}, [-1], [5]) == [5]
    # A malformed first variable falls through to the second.
    assert workers_seen_settled({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "4"}, [0], [4]) == [4]


@pytest.mark.parametrize("env", [
    {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "6"},  # 0 skips the second variable
    {"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "x"},
    {"RAYON_RS_NUM_CPUS": "0"},
])
def test_default_thread_count_falls_back_to_processors(env, processor_count):
    assert workers_seen_settled(env, [0], [processor_count]) == [processor_count]


# A child that caps its address space so that 2 MiB worker stacks soon run
# out, then asks each engine for far more threads than fit.
STARVED_CHILD = textwrap.dedent("""
    import json, os, resource, time
    import numpy
    from rdkit import DataStructs
    import _quarnel

    def tasks():
        return len(os.listdir("/proc/self/task"))

    before = tasks()
    fps = [DataStructs.ExplicitBitVect(64) for _ in range(3)]
    fps[0].SetBitsFromList([1, 2])
    fps[1].SetBitsFromList([2])
    _quarnel.bulk_tanimoto_parallel(fps, fps, n_threads=1)  # first-use setup done

    def wait_for(limit):
        deadline = time.monotonic() + 30
        while tasks() > limit and time.monotonic() < deadline:
            time.sleep(0.01)
        return tasks()

    base = wait_for(before)
    with open("/proc/self/status") as status:
        vm_kib = next(int(l.split()[1]) for l in status if l.startswith("VmSize:"))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    calls = [
        lambda: _quarnel.bulk_tanimoto_parallel(fps, fps, n_threads=70000),
        lambda: _quarnel.bulk_tanimoto_parallel_topk(fps, fps, n_threads=5000),
        lambda: _quarnel.internal_tanimoto_parallel(fps, n_threads=5000, agg="mean"),
    ]
    errors = []
    for call in calls:
        resource.setrlimit(resource.RLIMIT_AS, ((vm_kib + 48 * 1024) * 1024, hard))
        try:
            call()
            outcome = None
        except BaseException as error:
            outcome = [type(error).__name__, str(error)]
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        errors.append(outcome)
        wait_for(base)
    print(json.dumps({"errors": errors, "left": wait_for(base) - base,
                      "after": _quarnel.internal_tanimoto_parallel(fps, n_threads=4).tolist()}))
""")


@pytest.mark.skipif(os.environ.get("QUARNEL_SANITIZER") == "address",
                    reason="AddressSanitizer reserves terabytes of address space and fails its own "
                           "allocations first, so an address-space cap cannot starve thread creation")
def test_pool_that_cannot_be_built():
    out = subprocess.run([sys.executable, "-c", STARVED_CHILD], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    report = json.loads(out.stdout)
    for error in report["errors"]:
        assert error is not None, "a call succeeded without its threads"
        kind, message = error
        assert kind == "RuntimeError"
        prefix = "Failed to build thread pool: "
        assert message.startswith(prefix), message
        code = int(message.rsplit("(os error ", 1)[1].rstrip(")"))
        assert code in (errno.EAGAIN, errno.ENOMEM)
        assert message == f"{prefix}{os.strerror(code)} (os error {code})"
    # The threads of the half-built pools left, and the module still works.
    assert report["left"] <= 0
    assert report["after"] == [0.5, 0.0, 0.0]
