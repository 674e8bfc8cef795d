"""Several Python threads adding and searching one collection at once (the
binding releases the interpreter lock around that engine work)."""
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import tessarin

TOOL = os.path.join(os.path.dirname(os.path.dirname(tessarin.__file__)), "make_graph_collection")


def run_all(threads):
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def test_threads_add_and_search_one_collection(db):
    c = db.collection("threads", 16, "l2")
    n_threads, per_thread = 4, 500
    errors = []
    data = np.random.default_rng(3).standard_normal((n_threads, per_thread, 16)).astype(np.float32)

    def writer(t):
        try:
            for i in range(per_thread):
                c.add(data[t, i], {"t": t, "i": i}, id=f"{t}-{i}")
        except Exception as e:  # reported below
            errors.append(e)

    def reader():
        try:
            for _ in range(100):
                hits = c.search(data[0, 0], 5, where_={"t": {"$in": [0, 1, 2, 3]}})
                assert len(hits) <= 5
        except Exception as e:
            errors.append(e)

    run_all([threading.Thread(target=writer, args=(t,)) for t in range(n_threads)]
            + [threading.Thread(target=reader) for _ in range(2)])
    assert errors == []
    assert len(c) == n_threads * per_thread
    for t in range(n_threads):
        (hit,) = c.search(data[t, 7], 1)
        assert hit.id == f"{t}-7" and hit.score == 0.0


def test_batch_adds_from_threads(db):
    c = db.collection("batches", 8)
    out = {}

    def batch(t):
        out[t] = c.add_batch(np.full((50, 8), t + 1, dtype=np.float32), [{"t": t}] * 50)

    run_all([threading.Thread(target=batch, args=(t,)) for t in range(4)])
    assert sum(len(ids) for ids in out.values()) == 200
    assert len(c) == 200


@pytest.mark.parametrize("graph", [False, True])
def test_each_thread_reads_its_writes_while_others_commit(db_path, graph):
    # Two threads add and at once read back (get, search, len) while a third
    # commits one-record batches: a write in flight of another thread's
    # group commit must never be missing.
    if graph:
        assert subprocess.run([TOOL, db_path, "c", "16", "l2", "16", "32", "16", "100", "64",
                               "0.36"]).returncode == 0
        c = tessarin.Tessarin(db_path).get_collection("c")
    else:
        c = tessarin.Tessarin(db_path).collection("c", 16, "l2")
    rng = np.random.default_rng(9)
    c.add_batch(rng.standard_normal((500, 16), dtype=np.float32), [{}] * 500)
    missed, stop = [], threading.Event()

    def batcher():
        r = np.random.default_rng(1)
        while not stop.is_set():
            c.add_batch(r.standard_normal((1, 16), dtype=np.float32), [{}])

    def writer(t):
        r = np.random.default_rng(10 + t)
        for i in range(300):
            v = r.standard_normal(16, dtype=np.float32)
            rid = c.add(v, {"t": t, "i": i}, id=f"{t}-{i}")
            hits = c.search(v, 1)
            if not hits or hits[0].id != rid or c.get(rid) is None or len(c) < 501 + i:
                missed.append(rid)

    background = threading.Thread(target=batcher)
    background.start()
    run_all([threading.Thread(target=writer, args=(t,)) for t in range(2)])
    stop.set()
    background.join()
    assert missed == []


# Searches on four threads beside an import whose every line is an upsert
# (the import keeps the interpreter lock, so a hang stops every thread of
# the process: it runs in a child, which the parent can time out).
IMPORT_BESIDE_SEARCHES = """
import sys, threading, time
import numpy as np
import tessarin
c = tessarin.Tessarin(sys.argv[1]).collection("c", 16, "l2")
data = np.random.default_rng(5).standard_normal((50000, 16)).astype(np.float32)
c.add_batch(data, [{}] * len(data), ids=[f"r{i}" for i in range(len(data))])
path = sys.argv[2]
c.export_to_file(path)
with open(path) as f:
    lines = f.readlines()[:21]  # the header and 20 stored ids
with open(path, "w") as f:
    f.writelines(lines)
stop = time.monotonic() + 2
def search():
    while time.monotonic() < stop:
        assert len(c.search(data[7], 10)) == 10
def load():
    while time.monotonic() < stop:
        assert c.import_from_file(path).imported == 20
threads = [threading.Thread(target=search) for _ in range(4)] + [threading.Thread(target=load)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print("done")
"""


def test_import_of_stored_ids_beside_searching_threads_finishes(tmp_path):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    child = subprocess.run(
        [sys.executable, "-c", IMPORT_BESIDE_SEARCHES, str(tmp_path / "db"), str(tmp_path / "in.ndjson")],
        env=env, capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout == "done\n"
