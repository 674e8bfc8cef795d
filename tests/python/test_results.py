"""Result objects: properties, fresh metadata per access, reprs, immutability."""
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


def test_score_is_the_float32_widened(dot1):
    dot1.add([0.1], {})
    (hit,) = dot1.search([1.0], 1)
    assert hit.score == 0.10000000149011612


def test_metadata_is_a_new_object_on_every_access(coll):
    rid = coll.add([1, 0, 0, 0], {"b": 1, "a": [1.5, None]})
    r = coll.get(rid)
    first = r.metadata
    assert first == {"a": [1.5, None], "b": 1}
    assert r.metadata is not first
    first["a"].append(7)
    assert r.metadata == {"a": [1.5, None], "b": 1}
    assert repr(r).endswith('metadata={"a":[1.5,null],"b":1})')


def test_results_are_read_only(coll):
    rid = coll.add([1, 0, 0, 0], {})
    r = coll.get(rid)
    stats = coll.compact()
    for obj, name in [(r, "id"), (r, "score"), (r, "metadata"), (stats, "bytes_freed")]:
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)
    with pytest.raises(AttributeError):
        r.other = 1
    assert not hasattr(r, "__dict__")
    assert isinstance(r, tessarin.SearchResult) and isinstance(stats, tessarin.CompactStats)


def test_property_docstrings():
    assert tessarin.SearchResult.metadata.__doc__ == "Get the metadata as a Python dict."
    assert tessarin.ImportStats.failed.__doc__ == "Number of records that failed to import."
    assert tessarin.RecoveryStats.rolled_back.__doc__ == "Records rolled back (incomplete writes)."
