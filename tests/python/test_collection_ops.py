"""Collection operations through Python: results, counts and the exception
type of each method."""
import gc
import json
import os
import subprocess

import numpy as np
import pytest

from tessarin import Tessarin

E0 = [1.0, 0.0, 0.0, 0.0]
E1 = [0.0, 1.0, 0.0, 0.0]


def test_add_get_upsert_delete(coll):
    assert len(coll.add(E0, {"topic": "a"})) == 36
    assert coll.add(E1, {}, id="x") == "x"
    r = coll.get("x")
    assert (r.id, r.score, r.metadata) == ("x", 0.0, {})
    assert coll.get("missing") is None
    assert coll.preload() is None and coll.sync() is None and len(coll) == 2
    assert coll.upsert("x", E1, {"v": 2}) is None
    assert coll.get("x").metadata == {"v": 2}
    assert coll.delete("x") is True
    assert coll.delete("x") is False and coll.get("x") is None and len(coll) == 1
    # (A batch's dimension errors: test_conversions.py; non-finite values: below.)
    assert coll.add_batch(np.zeros((0, 4), dtype=np.float32), []) == []
    ids = coll.add_batch([E0, E1], [{}, {}], ttls=[None, 60])
    assert len(ids) == 2 and all(len(i) == 36 for i in ids) and len(coll) == 3


def test_search_orders_and_filters(coll):
    coll.add_batch(np.eye(4, dtype=np.float32), [{"k": i, "even": i % 2 == 0} for i in range(4)],
                   ids=["a", "b", "c", "d"])
    assert [h.id for h in coll.search(np.array([1, 0.5, 0, 0], dtype=np.float32), 2)] == ["a", "b"]
    assert coll.search(E0, 0) == []
    assert [h.id for h in coll.search(E0, 4, where_={"even": False})] == ["b", "d"]
    assert [h.id for h in coll.search(E0, 4, {"k": {"$gte": 2}})] == ["c", "d"]


def test_compact_export_import_and_their_os_errors(db, coll, tmp_path, raised):
    coll.add(E0, {"a": 1}, id="one")
    coll.add(E1, {"b": [1, 2]}, id="two")
    coll.add(E1, {}, id="gone", ttl=0)
    coll.sync()
    stats = coll.compact()
    assert (stats.expired_removed, stats.tombstones_removed, stats.bytes_freed) == (1, 0, 16)
    assert repr(stats) == ("CompactStats(expired_removed=1, tombstones_removed=0, bytes_freed=16, "
                           f"duration_ms={stats.duration_ms})")
    path = str(tmp_path / "out.ndjson")
    assert coll.export_to_file(path) == 2
    stats = db.collection("copy", 4).import_from_file(path=path)
    assert (stats.imported, stats.skipped, stats.failed) == (2, 0, 0)
    assert repr(stats).startswith("ImportStats(imported=2, skipped=0, failed=0, duration_ms=")
    assert db.get_collection("copy").get("two").metadata == {"b": [1, 2]}
    # File errors are OSErrors, with the engine's text.
    missing_dir = str(tmp_path / "no" / "such" / "dir.ndjson")
    assert raised(OSError, lambda: coll.export_to_file(missing_dir)).args[0].startswith("I/O error: ")
    with pytest.raises(OSError, match="^Invalid dimensions: expected 2, got 4$"):
        db.collection("small", 2).import_from_file(path)


def test_export_writes_to_a_device_and_a_fifo_as_they_are(coll, tmp_path):
    coll.add_batch(np.eye(4, dtype=np.float32), [{"k": i} for i in range(4)])
    assert coll.export_to_file("/dev/null") == 4
    plain, fifo, received = (str(tmp_path / n) for n in ("plain", "fifo", "received"))
    assert coll.export_to_file(plain) == 4
    os.mkfifo(fifo)
    # The export keeps the interpreter lock while its open waits for a
    # reader, so the reader is another process.
    with open(received, "wb") as out:
        reader = subprocess.Popen(["cat", fifo], stdout=out)
    try:
        assert coll.export_to_file(fifo) == 4
        assert reader.wait(timeout=60) == 0
    finally:
        reader.kill()

    def content(path):  # without the moment of the export
        with open(path, encoding="utf-8") as f:
            header, *records = map(json.loads, f)
        return {**header, "exported_at": None}, records

    assert content(received) == content(plain)


def test_compact_over_a_damaged_record_row_is_an_os_error(db_path, raised):
    c = Tessarin(db_path).collection("c", 4)
    c.add(E0, {"tag": "damaged-here"}, id="a")
    c.add(E1, {}, id="b")
    c.sync()
    del c
    gc.collect()
    # The row's metadata made invalid UTF-8 in place: the store's pages stay
    # sound, the record no longer decodes.
    store = os.path.join(db_path, "collections", "c", "meta.redb")
    data = open(store, "rb").read()
    assert b"damaged-here" in data
    with open(store, "wb") as f:
        f.write(data.replace(b"damaged-here", b"\xff" * len("damaged-here")))
    c = Tessarin(db_path).get_collection("c")
    error = raised(OSError, c.compact)
    assert error.args[0].startswith("Serialization error: string is not valid utf8"), error.args


def test_deepest_metadata_add_accepts_round_trips(db, coll, tmp_path, raised):
    deep = {}
    for _ in range(126):
        deep = {"k": deep}  # 127 levels
    coll.add(E0, deep, id="deep")
    error = raised(ValueError, lambda: coll.add(E0, {"k": deep}))
    assert error.args[0].startswith("Invalid JSON: recursion limit exceeded")
    path = str(tmp_path / "deep.ndjson")
    assert coll.export_to_file(path) == 1
    stats = db.collection("copy", 4).import_from_file(path)
    assert (stats.imported, stats.failed) == (1, 0)
    assert db.get_collection("copy").get("deep").metadata == deep


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf")])
def test_non_finite_vectors_are_refused_before_anything_changes(db, tmp_path, raised, bad):
    c = db.collection("finite", 3, "dot")
    c.add([1.0, 1.0, 1.0], {"v": 1}, id="x")
    message = "Invalid input: vector component 2 is not a finite number"
    for call in (lambda: c.add([1.0, 2.0, bad], {}),
                 lambda: c.add(np.array([1.0, 2.0, bad], dtype=np.float32), {}, id="x"),
                 lambda: c.upsert("x", [1.0, 2.0, bad], {"v": 2})):
        assert raised(ValueError, call).args == (message,)
    assert raised(ValueError, lambda: c.add_batch(np.array([[1, 1, 1], [1, bad, 1]], dtype=np.float32), [{}, {}])
                  ).args == ("Invalid input: vectors[1] component 1 is not a finite number",)
    assert len(c) == 1 and c.get("x").metadata == {"v": 1}

    # An import counts such a line as failed and goes on.
    path = tmp_path / "in.ndjson"
    c.export_to_file(str(path))
    header = path.read_text().splitlines()[0]
    path.write_text("\n".join([header] + [json.dumps(o) for o in [
        {"id": "big", "vector": [1e39, 0, 0], "metadata": {}, "created_at": 0},
        {"id": "ok", "vector": [0, 1, 0], "metadata": {}, "created_at": 0}]]) + "\n")
    stats = c.import_from_file(str(path))
    assert (stats.imported, stats.failed) == (1, 1)
    assert c.get("big") is None and c.get("ok") is not None
