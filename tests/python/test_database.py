"""Tessarin: opening, the registry operations, errors and repr."""
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import tessarin
from tessarin import Tessarin

LOCKED = "Database error: Database already open. Cannot acquire lock."


def test_open_locks_the_directory_and_constructor_arguments(db_path, raised):
    db = Tessarin(path=db_path)
    assert repr(db) == "Tessarin(collections=0)"
    assert os.path.exists(os.path.join(db_path, "meta.redb"))
    assert raised(OSError, lambda: Tessarin(db_path)).args == (LOCKED,)
    del db
    Tessarin(db_path)  # the lock went with the last reference
    assert str(raised(TypeError, lambda: Tessarin(pathlib.Path(db_path)))) == (
        "argument 'path': 'PosixPath' object cannot be converted to 'PyString'")
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'path'"):
        Tessarin()


def test_collection_metrics_and_errors(db, raised):
    assert db.collection("a", 4).metric == "cosine"  # (names in any case: distance_test.cpp)
    assert db.collection("e", 4, metric="EUCLIDEAN").metric == "l2"
    db.collection("c", 8)
    # The engine's texts, whole (the order of the checks: database_test.cpp).
    for args, message in [
        (("m", 4, "manhattan"), "Invalid metric 'manhattan'. Expected: cosine, dot, l2"),
        (("z", 0), "Invalid input: Dimensions must be greater than 0"),
        (("c", 8, "l2"), "Collection already exists: Collection 'c' exists with metric Cosine, not L2"),
    ]:
        assert raised(ValueError, lambda: db.collection(*args)).args == (message,)
    raised(OverflowError, lambda: db.collection("z", -1))
    assert db.collections() == ["a", "c", "e"]


def test_registry_get_list_drop_and_reopen(db_path, raised):
    db = Tessarin(db_path)
    assert raised(KeyError, lambda: db.get_collection("nope")).args == ("Collection not found: nope",)
    for name in ("b", "a", "B"):
        db.collection(name, 2)
    a = db.get_collection("a")
    assert a is not db.collection("a", 2)
    rid = a.add([1.0, 0.0], {"k": 1})
    assert db.get_collection("a").get(rid).id == rid  # one shared state
    assert db.collections() == ["B", "a", "b"]
    assert repr(db) == "Tessarin(collections=3)"

    # (Dropping an unknown name, and the order of the list: database_test.cpp.)
    assert db.drop_collection(name="b") is None
    assert db.drop_collection("a") is None and len(a) == 1  # the dropped state lives on in its object
    b = db.get_collection("B")
    del db, a
    b.add([1.0, 0.0], {}, id="k")  # a collection outlives its Tessarin object
    b.sync()
    del b
    db = Tessarin(db_path)
    assert repr(db) == "Tessarin(collections=1)"
    assert db.get_collection("B").get("k").id == "k"


def test_drop_refuses_a_collection_another_process_has_open(db_path, raised):
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
        assert raised(OSError, lambda: db.drop_collection("c")).args == (LOCKED,)
        assert db.collections() == ["c"]
        del db
    finally:
        child.communicate("go\n", timeout=60)
    assert child.returncode == 0
    c = Tessarin(db_path).get_collection("c")
    assert c.get("a").metadata == {"k": "kept"}


def test_sync_and_recovery_stats(db):
    db.collection("s", 4).add([1.0, 2.0, 3.0, 4.0], {})
    assert db.sync() is None
    stats = db.recovery_stats()
    assert isinstance(stats, tessarin.RecoveryStats)
    assert (stats.promoted, stats.rolled_back, stats.tombstones) == (0, 0, 0)
    assert repr(stats) == "RecoveryStats(promoted=0, rolled_back=0, tombstones=0)"


def test_paths_and_names_that_would_reach_the_wrong_file(tmp_path, db_path, raised):
    earlier = Tessarin(db_path)  # "b" is not open in the database that exports
    earlier.collection("b", 2).add([0.0, 1.0], {"k": 2}, id="b1")
    del earlier
    db = Tessarin(db_path)
    coll = db.collection("c", 2)
    coll.add([1.0, 0.0], {"k": 1}, id="a")
    coll.sync()
    cdir, bdir = (os.path.join(db_path, "collections", n) for n in ("c", "b"))
    own = [os.path.join(cdir, f) for f in ("vectors.bin", "meta.redb", "meta.redb-lock")]
    own += [os.path.join(db_path, f) for f in ("meta.redb", "meta.redb-lock")]
    pathlib.Path(bdir, "hnsw.index").write_bytes(b"graph")  # unread by a flat collection
    theirs = [os.path.join(bdir, f) for f in ("vectors.bin", "meta.redb", "meta.redb-lock", "hnsw.index")]
    alias = str(tmp_path / "alias")
    os.link(own[0], alias)
    os.link(theirs[1], str(tmp_path / "alias-b"))
    theirs.append(str(tmp_path / "alias-b"))
    kept = {p: pathlib.Path(p).read_bytes() for p in own + theirs if not p.endswith("-lock")}

    nul = "I/O error: file name contained an unexpected NUL byte"
    mine = "Invalid input: export target is a file of the database"
    cases = [
        (lambda: Tessarin(str(tmp_path / "x\0y")), OSError, nul),
        (lambda: coll.export_to_file(str(tmp_path / "out.ndjson\0.bak")), OSError, nul),
        (lambda: coll.import_from_file(str(tmp_path / "in.ndjson\0")), OSError, nul),
        (lambda: db.collection("n" * 256, 2), ValueError,
         "Invalid input: Collection name must be at most 255 bytes, got 256"),
        (lambda: coll.export_to_file(alias), OSError, mine),
    ]
    cases += [(lambda p=p: coll.export_to_file(p), OSError, mine) for p in own + theirs]
    cases += [(lambda p=p: coll.import_from_file(p), OSError, None) for p in own]
    for call, exc, message in cases:
        error = raised(exc, call)
        assert message is None or error.args == (message,)

    assert sorted(os.listdir(tmp_path)) == ["alias", "alias-b", "db"]  # nothing made at a cut path
    assert {p: pathlib.Path(p).read_bytes() for p in kept} == kept
    assert db.collections() == ["b", "c"] and coll.get("a") is not None
    assert [h.id for h in db.get_collection("b").search([0.0, 1.0], 1)] == ["b1"]
    del db, coll
    assert Tessarin(db_path).get_collection("c").get("a").metadata == {"k": 1}
    assert Tessarin(db_path).get_collection("b").get("b1").metadata == {"k": 2}


def test_export_refuses_every_target_inside_the_database_before_creating_it(
        tmp_path, db_path, raised, monkeypatch):
    db = Tessarin(db_path)
    coll = db.collection("c", 2)  # flat: it has no "hnsw.index"
    coll.add([1.0, 0.0], {}, id="a")
    coll.sync()
    cdir = os.path.join(db_path, "collections", "c")
    os.symlink(cdir, tmp_path / "linked")
    os.symlink(os.path.join(db_path, "collections", "named"), tmp_path / "dangling")
    (tmp_path / "elsewhere").mkdir()
    monkeypatch.chdir(tmp_path / "elsewhere")

    def tree():
        return sorted(os.path.join(d, n) for d, ds, fs in os.walk(db_path) for n in ds + fs)

    before = tree()
    for target in [os.path.join(db_path, "new.ndjson"),
                   os.path.join(db_path, "collections", "unused"),  # would block the name
                   os.path.join(cdir, "hnsw.index"),
                   str(tmp_path / "linked" / "out.ndjson"),
                   str(tmp_path / "dangling"),  # the open would create what it names
                   "../db/new.ndjson",
                   "../elsewhere/../db/collections/c/x"]:
        error = raised(OSError, lambda: coll.export_to_file(target))
        assert error.args == ("Invalid input: export target is a file of the database",), target
    assert tree() == before
    assert db.collection("unused", 2).add([0.0, 1.0], {})  # neither name is taken
    assert db.collection("named", 2).name == "named"


def test_a_relative_path_keeps_to_the_directory_it_opened(tmp_path, monkeypatch):
    """After a chdir into a directory holding another database at the same
    relative path, drop and create still act on the one that was opened."""
    mine, other = tmp_path / "mine", tmp_path / "other"
    mine.mkdir(), other.mkdir()
    monkeypatch.chdir(other)
    theirs = Tessarin("data")
    for name in ("notes", "n2"):
        theirs.collection(name, 2).add_batch([[1.0, float(i)] for i in range(10)], [{}] * 10)
    del theirs
    monkeypatch.chdir(mine)
    db = Tessarin("data")
    db.collection("notes", 2).add([1.0, 0.0], {})
    monkeypatch.chdir(other)
    db.drop_collection("notes")
    n2 = db.collection("n2", 2)
    n2.add([0.0, 1.0], {}, id="mine")
    n2.sync()
    del db, n2
    theirs = Tessarin(str(other / "data"))
    assert [len(theirs.get_collection(n)) for n in ("notes", "n2")] == [10, 10]
    assert theirs.get_collection("n2").get("mine") is None
    assert Tessarin(str(mine / "data")).get_collection("n2").get("mine") is not None


# Exports to hard links of the database's files after the database was
# renamed, or after a chdir away from its relative path, and to a link of a
# file that a collection of another database open in the process maps. Run
# in a child: a truncated mapped file kills the process.
EXPORT_AFTER_MOVE = """
import json, os, sys, tessarin
root, renamed = sys.argv[1], sys.argv[2] == "renamed"
os.chdir(root)
db = tessarin.Tessarin("A")
c, o = db.collection("c", 2), db.collection("o", 2)
c.add_batch([[float(i), 1.0] for i in range(100)], [{}] * 100)
x = tessarin.Tessarin("X").collection("x", 2)
for other in (o, x):
    other.add([1.0, 0.0], {})
    other.sync()
if renamed:
    os.rename("A", "B")
else:
    os.mkdir("elsewhere")
    os.chdir("elsewhere")
base = os.path.join(root, "B" if renamed else "A")
out = []
for i, f in enumerate(["collections/c/vectors.bin", "collections/o/vectors.bin", "meta.redb",
                       "meta.redb-lock", "collections/c/meta.redb-lock",
                       "../X/collections/x/vectors.bin"]):
    link = os.path.join(root, "link%d" % i)
    os.link(os.path.join(base, f), link)
    try:
        out.append(c.export_to_file(link))
    except OSError as e:
        out.append(str(e))
out += [len(c), len(c.search([1.0, 1.0], 1000)), len(o), len(x.search([1.0, 0.0], 5))]
try:
    db.collection("new", 2)
    out.append("created")
except ValueError as e:
    out.append(str(e))
print(json.dumps(out))
"""


@pytest.mark.parametrize("move", ["renamed", "chdir"])
def test_export_refuses_links_to_the_database_files_wherever_it_went(tmp_path, move):
    child = subprocess.run([sys.executable, "-c", EXPORT_AFTER_MOVE, str(tmp_path), move],
                           capture_output=True, text=True, timeout=120,
                           env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert child.returncode == 0, child.stderr
    out = json.loads(child.stdout)
    assert out[:6] == ["Invalid input: export target is a file of the database"] * 6
    assert out[6:10] == [100, 100, 1, 1]
    if move == "renamed":  # nothing is made at the old path
        assert out[10] == ("I/O error: Database directory '%s' was moved or replaced since it was "
                           "opened" % os.path.realpath(tmp_path / "A"))
        assert not os.path.exists(tmp_path / "A")
    else:
        assert out[10] == "created"
