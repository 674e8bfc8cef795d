"""Tessarin: opening, the registry operations, errors and repr."""
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import tessarin
from tessarin import Tessarin

LOCKED = "Database error: Database already open. Cannot acquire lock."


def test_open_creates_directory_and_locks_it(db_path):
    db = Tessarin(db_path)
    assert os.path.isdir(os.path.join(db_path, "collections"))
    assert os.path.exists(os.path.join(db_path, "meta.redb"))
    with pytest.raises(IOError) as info:
        Tessarin(db_path)
    assert type(info.value) is OSError
    assert info.value.args == (LOCKED,)
    del db
    Tessarin(db_path)  # the lock went with the last reference


def test_constructor_arguments(db_path):
    with pytest.raises(TypeError) as info:
        Tessarin(pathlib.Path(db_path))
    assert str(info.value) == "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'path'"):
        Tessarin()
    assert repr(Tessarin(path=db_path)) == "Tessarin(collections=0)"


def test_metric_parsing(db):
    assert db.collection("a", 4).metric == "cosine"
    assert db.collection("a", 4, "COSINE").metric == "cosine"
    assert db.collection("e", 4, metric="EUCLIDEAN").metric == "l2"
    with pytest.raises(ValueError) as info:
        db.collection("m", 4, "manhattan")
    assert info.value.args == ("Invalid metric 'manhattan'. Expected: cosine, dot, l2",)
    assert db.collections() == ["a", "e"]


def test_collection_errors(db):
    with pytest.raises(ValueError) as info:
        db.collection("z", 0)
    assert info.value.args == ("Invalid input: Dimensions must be greater than 0",)
    with pytest.raises(ValueError, match=r"^Dimensions too large: maximum is 65536, got 65537$"):
        db.collection("z", 65537)
    with pytest.raises(OverflowError):
        db.collection("z", -1)
    db.collection("c", 8)
    with pytest.raises(ValueError, match=r"^Dimension mismatch: expected 8, got 16$"):
        db.collection("c", 16, "l2")
    with pytest.raises(ValueError) as info:
        db.collection("c", 8, "l2")
    assert info.value.args == ("Collection already exists: Collection 'c' exists with metric Cosine, not L2",)
    assert db.collections() == ["c"]


def test_get_collection(db):
    with pytest.raises(KeyError) as info:
        db.get_collection("nope")
    assert info.value.args == ("Collection not found: nope",)
    a = db.collection("a", 4)
    b = db.get_collection("a")
    assert a is not b
    rid = a.add([1.0, 0.0, 0.0, 0.0], {"k": 1})
    assert b.get(rid).id == rid  # one shared state


def test_collections_listing_and_repr_after_reopen(db_path):
    db = Tessarin(db_path)
    assert db.collections() == []
    db.collection("b", 2)
    db.collection("a", 2)
    db.collection("B", 2)
    assert db.collections() == ["B", "a", "b"]
    assert repr(db) == "Tessarin(collections=3)"
    del db
    db = Tessarin(db_path)
    assert repr(db) == "Tessarin(collections=3)"
    assert db.get_collection("a").dimensions == 2


def test_drop_collection(db):
    assert db.drop_collection("never") is None
    c = db.collection("gone", 4)
    c.add([1.0, 2.0, 3.0, 4.0], {})
    assert db.drop_collection(name="gone") is None
    assert db.collections() == []
    assert len(c) == 1  # the dropped state lives on in its Collection object
    with pytest.raises(KeyError):
        db.get_collection("gone")


def test_drop_refuses_a_collection_another_process_has_open(db_path):
    # The other process keeps the collection after its Tessarin object (and
    # with it the database lock) is gone.
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent("""
            import sys, tessarin
            c = tessarin.Tessarin(sys.argv[1]).collection("c", 2)
            print("open", flush=True)
            sys.stdin.readline()
            c.add([1.0, 2.0], {"k": "kept"}, id="a")
            c.sync()
        """), db_path],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    try:
        assert child.stdout.readline() == "open\n"
        db = Tessarin(db_path)
        with pytest.raises(OSError) as info:
            db.drop_collection("c")
        assert info.value.args == (LOCKED,)
        assert db.collections() == ["c"]
        del db
    finally:
        child.communicate("go\n", timeout=60)
    assert child.returncode == 0
    c = Tessarin(db_path).get_collection("c")
    assert c.get("a").metadata == {"k": "kept"}


def test_sync_and_recovery_stats(db):
    c = db.collection("s", 4)
    c.add([1.0, 2.0, 3.0, 4.0], {})
    assert db.sync() is None
    stats = db.recovery_stats()
    assert (stats.promoted, stats.rolled_back, stats.tombstones) == (0, 0, 0)
    assert repr(stats) == "RecoveryStats(promoted=0, rolled_back=0, tombstones=0)"
    assert isinstance(stats, tessarin.RecoveryStats)


def test_no_argument_methods_refuse_arguments(db):
    with pytest.raises(TypeError, match="takes no arguments"):
        db.sync(1)
