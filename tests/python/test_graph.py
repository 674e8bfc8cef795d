"""Collections with a graph index, made by build/make_graph_collection: found
by get_collection, searched through the graph, saved by sync and reopened
without a rebuild. (A damaged index file: graph_collection_test.cpp.)"""
import os
import subprocess
import sys
import time

import numpy as np
import pytest

import tessarin

TOOL = os.path.join(os.path.dirname(os.path.dirname(tessarin.__file__)), "make_graph_collection")
DIM = 16


def make_graph_collection(db_path, name, metric="l2", *params):
    params = params or (16, 32, 16, 100, 40, 0.36)
    return subprocess.run([TOOL, db_path, name, str(DIM), metric, *map(str, params)],
                          capture_output=True, text=True)


MAX = 2**64 - 1


@pytest.mark.parametrize("params, message", [
    ((0, 0, 0, 0, 0, 0), "M must be between 1 and 4096, got 0"),
    ((16, 0, 16, 100, 40, 0.36), "M_MAX0 must be between 1 and 4096, got 0"),
    ((16, 32, 0, 100, 40, 0.36), "M_MAX must be between 1 and 4096, got 0"),
    ((4097, 32, 16, 100, 40, 0.36), "M must be between 1 and 4096, got 4097"),
    ((16, MAX, 16, 100, 40, 0.36), f"M_MAX0 must be between 1 and 4096, got {MAX}"),
    ((16, 32, 4097, 100, 40, 0.36), "M_MAX must be between 1 and 4096, got 4097"),
    ((16, 32, 16, MAX, 40, 0.36), f"EF_CONSTRUCTION must be between 0 and 32768, got {MAX}"),
    ((16, 32, 16, 100, 32769, 0.36), "EF_SEARCH must be between 0 and 32768, got 32769"),
    ((16, 32, 16, 100, 40, "nan"), "ML must be between 0 and 4, got nan"),
    ((16, 32, 16, 100, 40, "inf"), "ML must be between 0 and 4, got inf"),
    ((16, 32, 16, 100, 40, -0.5), "ML must be between 0 and 4, got -0.5"),
    ((16, 32, 16, 100, 40, 4.01), "ML must be between 0 and 4, got 4.01"),
    ((16, 32, 16, 100, 40, "4.0000000001"), "ML must be between 0 and 4, got 4.0000000001"),
    ((16, 32, 16, 100, 40, "1e400"), "ML must be between 0 and 4, got 1e400"),
    ((16, 32, 16, 100, 99999999999999999999, 0.36),
     "EF_SEARCH must be between 0 and 32768, got 99999999999999999999"),
    ((1, 1, 1, 0, 0, 0), None),
    ((4096, 4096, 4096, 32768, 32768, 4), None),
])
def test_tool_refuses_graph_parameters_out_of_range(db_path, params, message):
    made = make_graph_collection(db_path, "g", "l2", *params)
    if message is None:
        assert made.returncode == 0 and tessarin.Tessarin(db_path).collections() == ["g"]
    else:  # refused before anything is created
        assert made.returncode == 1 and f"make_graph_collection: {message}\n" == made.stderr
        assert not os.path.exists(db_path)


ARGS = ("NAME", "DIM", "METRIC", "M", "M_MAX0", "M_MAX", "EF_CONSTRUCTION", "EF_SEARCH", "ML",
        "SEVENTH")
GOOD = ("g", "16", "l2", "16", "32", "16", "100", "40", "0.36", "7")


@pytest.mark.parametrize("arg, text, message", [
    ("NAME", "", "Invalid input: Collection name must not be empty"),
    ("NAME", "a/b", "Invalid input: Collection name must not contain '/'"),
    ("DIM", "0", "DIM must be between 1 and 65536, got 0"),
    ("DIM", "65537", "DIM must be between 1 and 65536, got 65537"),
    ("DIM", " 16", "DIM is not a whole number:  16"),
    ("METRIC", "manhattan", "Invalid metric 'manhattan'. Expected: cosine, dot, l2"),
    ("M", "16 ", "M is not a whole number: 16 "),
    ("M_MAX0", "+32", "M_MAX0 is not a whole number: +32"),
    ("M_MAX", "0x10", "M_MAX is not a whole number: 0x10"),
    ("EF_CONSTRUCTION", "1e2", "EF_CONSTRUCTION is not a whole number: 1e2"),
    ("EF_SEARCH", "", "EF_SEARCH is not a whole number: "),
    ("ML", " 0.36", "ML is not a number:  0.36"),
    ("ML", "0.36 ", "ML is not a number: 0.36 "),
    ("ML", "+0.36", "ML is not a number: +0.36"),
    ("ML", "0x1p-2", "ML is not a number: 0x1p-2"),
    ("SEVENTH", "-7", "SEVENTH is not a whole number: -7"),
])
def test_tool_checks_every_argument_before_creating_anything(db_path, arg, text, message):
    args = list(GOOD)
    args[ARGS.index(arg)] = text
    made = subprocess.run([TOOL, db_path, *args], capture_output=True, text=True)
    assert (made.returncode, made.stderr) == (1, f"make_graph_collection: {message}\n")
    assert not os.path.exists(db_path)


def vectors(n, seed=0):
    return np.random.default_rng(seed).standard_normal((n, DIM), dtype=np.float32)


def test_graph_search_sync_and_reopen(db_path, capfd):
    # The tool makes a graph collection once, and refuses bad arguments.
    assert make_graph_collection(db_path, "g").returncode == 0
    again = make_graph_collection(db_path, "g")
    assert again.returncode == 1 and "Collection already exists: g" in again.stderr
    bad = make_graph_collection(db_path, "h", "manhattan")
    assert bad.returncode == 1 and "Invalid metric 'manhattan'" in bad.stderr
    assert tessarin.Tessarin(db_path).collections() == ["g"]

    # (Filters, deletes and the file a sync rewrites: graph_collection_test.cpp.)
    graph = tessarin.Tessarin(db_path).get_collection("g")
    data = vectors(1200)
    ids = graph.add_batch(data, [{}] * 1200)
    hits = graph.search(data[5], 3)
    assert hits[0].id == ids[5] and hits[0].score == 0.0
    assert "HNSW Build Profile (1200 nodes):" in capfd.readouterr().err
    graph.sync()
    del graph

    reopened = tessarin.Tessarin(db_path).get_collection("g")
    assert [h.id for h in reopened.search(data[7], 1)] == [ids[7]]
    assert capfd.readouterr().err == ""  # loaded, not rebuilt


def test_a_saved_index_never_outlives_a_released_slot(db_path):
    # The file of the last sync links each replaced record's slot as its old
    # vector while its (slot, id) pairs still match the records: the first
    # delete after the sync removes it, before a kill. (The same without a
    # kill, and a failed removal: graph_collection_test.cpp.)
    assert make_graph_collection(db_path, "g").returncode == 0
    tessarin.Tessarin(db_path).get_collection("g").add_batch(vectors(100), [{}] * 100,
                                                             ids=[f"r{i}" for i in range(100)])
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    child = subprocess.Popen([sys.executable, __file__, db_path], stdout=subprocess.PIPE, env=env)
    assert child.stdout.readline() == b"written\n"
    child.kill()
    index = os.path.join(db_path, "collections", "g", "hnsw.index")
    assert child.wait() == -9 and not os.path.exists(index)
    graph = tessarin.Tessarin(db_path).get_collection("g")
    new = vectors(20, seed=1)
    assert [graph.search(new[i], 1)[0].id for i in (12, 17)] == ["r12", "r17"]
    graph.sync()
    assert os.path.exists(index)


if __name__ == "__main__":  # the writer killed by the test above
    writer = tessarin.Tessarin(sys.argv[1]).get_collection("g")
    writer.sync()
    # Deletes r10 .. r19 and adds each again, with a new vector, in its old
    # slot (the free list hands the slot just freed out first).
    new = vectors(20, seed=1)
    for i in range(10, 20):
        assert writer.delete(f"r{i}")
        writer.add_batch(new[i:i + 1], [{}], ids=[f"r{i}"])
    print("written", flush=True)
    time.sleep(60)
