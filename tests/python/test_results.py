"""Result objects and collection properties: fresh metadata per access,
reprs, immutability."""
import numpy as np
import pytest

import tessarin

INF = float("inf")


@pytest.mark.parametrize(
    "vector, query, text",
    [([0.5, 0], [1, 0], "0.5000"), ([0.03125, 0], [1, 0], "0.0312"),
     ([1e-05, 0], [1, 0], "0.0000"), ([-0.25, 0], [1, 0], "-0.2500"),
     ([1, 0], [INF, 0], "inf"), ([1, 0], [-INF, 0], "-inf"),
     ([0, 1], [INF, 0], "NaN")],  # inf*0 + 0*1 scores NaN
)
def test_score_repr(db, vector, query, text):
    c = db.collection("dot2", 2, "dot")
    c.add(np.array(vector, dtype=np.float32), {"k": 1}, id="r'q")
    (hit,) = c.search(query, 1)
    assert repr(hit) == f"SearchResult(id='r'q', score={text}, metadata={{\"k\":1}})"


def test_metadata_is_a_new_object_on_every_access(coll):
    r = coll.get(coll.add([1, 0, 0, 0], {"b": 1, "a": [1.5, None]}))
    first = r.metadata
    assert first == {"a": [1.5, None], "b": 1}
    assert r.metadata is not first
    first["a"].append(7)
    assert r.metadata == {"a": [1.5, None], "b": 1}


def test_properties_and_results_are_read_only(coll):
    assert (coll.name, coll.dimensions, coll.metric) == ("docs", 4, "cosine")
    assert coll.vectors_size_bytes == 64 + 4096 * 4
    assert repr(coll) == "Collection(name='docs', dimensions=4, metric='cosine')"
    r = coll.get(coll.add([1, 0, 0, 0], {}))
    stats = coll.compact()
    assert isinstance(r, tessarin.SearchResult) and isinstance(stats, tessarin.CompactStats)
    for obj, names in [(coll, ["name", "dimensions", "metric", "vectors_size_bytes", "extra"]),
                       (r, ["id", "score", "metadata", "other"]), (stats, ["bytes_freed"])]:
        for name in names:
            with pytest.raises(AttributeError):
                setattr(obj, name, 1)
    assert not hasattr(r, "__dict__")
