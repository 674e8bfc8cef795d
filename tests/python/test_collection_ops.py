"""Collection operations through Python: results, counts, properties and the
exception type of each method."""
import json
import os

import numpy as np
import pytest

E0 = [1.0, 0.0, 0.0, 0.0]
E1 = [0.0, 1.0, 0.0, 0.0]


def test_add_get_delete_round_trip(coll):
    rid = coll.add(E0, {"topic": "a"})
    assert len(rid) == 36
    assert coll.add(E1, {}, id="x") == "x"
    assert len(coll) == 2  # queued writes count before any flush
    r = coll.get("x")
    assert (r.id, r.score, r.metadata) == ("x", 0.0, {})
    assert coll.get("missing") is None
    assert coll.delete("x") is True
    assert coll.delete("x") is False
    assert coll.delete("missing") is False
    assert coll.get("x") is None
    coll.sync()
    assert len(coll) == 1


def test_ttl_zero_counts_until_stored(coll):
    coll.add(E0, {}, ttl=0)
    assert len(coll) == 1
    coll.sync()
    assert len(coll) == 0


def test_upsert_replaces(coll):
    coll.add(E0, {"v": 1}, id="u")
    coll.sync()
    assert coll.upsert("u", E1, {"v": 2}) is None
    assert coll.get("u").metadata == {"v": 2}
    assert [r.id for r in coll.search(E1, 5)] == ["u"]


def test_search_orders_and_filters(coll):
    coll.add_batch(
        np.eye(4, dtype=np.float32),
        [{"k": i, "even": i % 2 == 0} for i in range(4)],
        ids=["a", "b", "c", "d"],
    )
    hits = coll.search(np.array([1, 0.5, 0, 0], dtype=np.float32), 2)
    assert [h.id for h in hits] == ["a", "b"]
    assert hits[0].score > hits[1].score
    assert coll.search(E0, 0) == []
    assert [h.id for h in coll.search(E0, 4, where_={"even": False})] == ["b", "d"]
    assert [h.id for h in coll.search(E0, 4, {"k": {"$gte": 2}})] == ["c", "d"]
    assert len(coll.search(E0, 10, where_={})) == 4


def test_add_batch_results_and_errors(coll):
    assert coll.add_batch(np.zeros((0, 4), dtype=np.float32), []) == []
    ids = coll.add_batch([E0, E1], [{}, {}], ttls=[None, 60])
    assert len(ids) == 2 and all(len(i) == 36 for i in ids)
    assert len(coll) == 2
    with pytest.raises(ValueError) as info:
        coll.add_batch([E0, E0, E0], [{}, {}])
    assert info.value.args == ("Invalid input: vectors and metadatas must have same length",)
    with pytest.raises(ValueError, match="^Invalid input: ids must have same length as vectors$"):
        coll.add_batch([E0], [{}], ids=["a", "b"])
    with pytest.raises(ValueError, match="^Dimension mismatch: expected 4, got 3$"):
        coll.add_batch([E0, [1.0, 2.0, 3.0]], [{}, {}])
    assert len(coll) == 2


def test_properties_and_repr(coll):
    assert coll.name == "docs"
    assert coll.dimensions == 4
    assert coll.metric == "cosine"
    assert coll.vectors_size_bytes == 64 + 4096 * 4
    assert repr(coll) == "Collection(name='docs', dimensions=4, metric='cosine')"
    assert coll.preload() is None
    for prop in ("name", "dimensions", "metric", "vectors_size_bytes"):
        with pytest.raises(AttributeError):
            setattr(coll, prop, 1)
    with pytest.raises(AttributeError):
        coll.extra = 1


def test_compact_stats(coll):
    coll.add(E0, {}, id="gone")
    coll.add(E1, {}, id="keep")
    coll.sync()
    coll.delete("gone")
    stats = coll.compact()
    assert stats.tombstones_removed + stats.expired_removed >= 0
    assert repr(stats) == (
        f"CompactStats(expired_removed={stats.expired_removed}, "
        f"tombstones_removed={stats.tombstones_removed}, bytes_freed={stats.bytes_freed}, "
        f"duration_ms={stats.duration_ms})"
    )
    assert [r.id for r in coll.search(E0, 5)] == ["keep"]


def test_export_import_round_trip(db, coll, tmp_path):
    coll.add(E0, {"a": 1}, id="one")
    coll.add(E1, {"b": [1, 2]}, id="two")
    path = str(tmp_path / "out.ndjson")
    assert coll.export_to_file(path) == 2
    other = db.collection("copy", 4)
    stats = other.import_from_file(path=path)
    assert (stats.imported, stats.skipped, stats.failed) == (2, 0, 0)
    assert repr(stats).startswith("ImportStats(imported=2, skipped=0, failed=0, duration_ms=")
    assert other.get("two").metadata == {"b": [1, 2]}


def test_file_errors_are_os_errors(db, coll, tmp_path):
    with pytest.raises(OSError) as info:
        coll.export_to_file(str(tmp_path / "no" / "such" / "dir.ndjson"))
    assert info.value.args[0].startswith("I/O error: ")
    with pytest.raises(OSError):
        coll.import_from_file(str(tmp_path / "missing.ndjson"))
    small = db.collection("small", 2)
    small.add([1.0, 2.0], {})
    path = str(tmp_path / "small.ndjson")
    small.export_to_file(path)
    with pytest.raises(OSError, match="^Invalid dimensions: expected 4, got 2$"):
        coll.import_from_file(path)


def test_collection_outlives_database_object(db_path):
    import tessarin

    db = tessarin.Tessarin(db_path)
    c = db.collection("keep", 4)
    del db
    c.add(E0, {}, id="k")
    c.sync()
    assert c.get("k").id == "k"
    assert os.path.isdir(os.path.join(db_path, "collections", "keep"))


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf")])
def test_non_finite_vectors_are_refused_before_anything_changes(db, tmp_path, bad):
    c = db.collection("finite", 3, "dot")
    c.add([1.0, 1.0, 1.0], {"v": 1}, id="x")
    message = "Invalid input: vector component 2 is not a finite number"
    for call in (lambda: c.add([1.0, 2.0, bad], {}),
                 lambda: c.add(np.array([1.0, 2.0, bad], dtype=np.float32), {}, id="x"),
                 lambda: c.upsert("x", [1.0, 2.0, bad], {"v": 2})):
        with pytest.raises(ValueError) as info:
            call()
        assert info.value.args == (message,)
    with pytest.raises(ValueError) as info:
        c.add_batch(np.array([[1, 1, 1], [1, bad, 1]], dtype=np.float32), [{}, {}])
    assert info.value.args == ("Invalid input: vectors[1] component 1 is not a finite number",)
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

