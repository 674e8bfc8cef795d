"""Argument matching and extraction: the exact TypeError wording, positional
versus keyword, None defaults, and the exceptions passed through unprefixed."""
import pathlib

import pytest

V = [1.0, 0.0, 0.0, 0.0]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.add(V), "Collection.add() missing 1 required positional argument: 'metadata'"),
        (lambda c: c.add(), "Collection.add() missing 2 required positional arguments: 'vector' and 'metadata'"),
        (lambda c: c.upsert(), "Collection.upsert() missing 3 required positional arguments: 'id', 'vector', and 'metadata'"),
        (lambda c: c.upsert("x", metadata={}), "Collection.upsert() missing 1 required positional argument: 'vector'"),
        (lambda c: c.add(V, {}, None, None, 1), "Collection.add() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda c: c.search(V, 1, None, 2), "Collection.search() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda c: c.get("a", "b"), "Collection.get() takes 1 positional arguments but 2 were given"),
        (lambda c: c.search(V, 3, where={}), "Collection.search() got an unexpected keyword argument 'where'"),
        (lambda c: c.add(V, {}, "x", id="y"), "Collection.add() got multiple values for argument 'id'"),
        (lambda c: c.add(V, [1]), "argument 'metadata': 'list' object cannot be converted to 'PyDict'"),
        (lambda c: c.add(V, None), "argument 'metadata': 'NoneType' object cannot be converted to 'PyDict'"),
        (lambda c: c.add(V, {}, id=5), "argument 'id': 'int' object cannot be converted to 'PyString'"),
        (lambda c: c.add(V, {}, ttl=1.5), "argument 'ttl': 'float' object cannot be interpreted as an integer"),
        (lambda c: c.search(V, "3"), "argument 'k': 'str' object cannot be interpreted as an integer"),
        (lambda c: c.search(V, 3, []), "argument 'where_': 'list' object cannot be converted to 'PyDict'"),
        (lambda c: c.delete(b"id"), "argument 'id': 'bytes' object cannot be converted to 'PyString'"),
        (lambda c: c.add_batch([V], "ab"), "argument 'metadatas': Can't extract `str` to `Vec`"),
        (lambda c: c.add_batch([V], [{}, 3]), "argument 'metadatas': 'int' object cannot be converted to 'PyDict'"),
        (lambda c: c.add_batch([V], {}), "argument 'metadatas': 'dict' object cannot be converted to 'Sequence'"),
        (lambda c: c.add_batch([V], [{}], ids=[7]), "argument 'ids': 'int' object cannot be converted to 'PyString'"),
        (lambda c: c.add_batch([V], [{}], ttls=[None, "x"]), "argument 'ttls': 'str' object cannot be interpreted as an integer"),
        (lambda c: c.add_batch("ab", [{}]), "Can't extract `str` to `Vec`"),
        (lambda c: c.add("abcd", {}), "Can't extract `str` to `Vec`"),
        (lambda c: c.add(5, {}), "'int' object cannot be converted to 'Sequence'"),
        (lambda c: c.search({1: 2}, 1), "'dict' object cannot be converted to 'Sequence'"),
        (lambda c: c.export_to_file(pathlib.Path("x")), "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
        (lambda c: c.compact(1), "Collection.compact() takes no arguments (1 given)"),
        (lambda c: type(c).get(object(), "x"), "descriptor 'get' for 'builtins.Collection' objects doesn't apply to a 'object' object"),
        # Range and encoding errors pass unprefixed, in their own types.
        (lambda c: c.add(V, {}, ttl=-1), OverflowError),
        (lambda c: c.search(V, -1), OverflowError),
        (lambda c: c.add(V, {}, ttl=2**64), OverflowError),
        (lambda c: c.add_batch([V], [{}], ttls=[-5]), OverflowError),
        (lambda c: c.add(V, {}, id="\ud800"), UnicodeEncodeError),  # a lone surrogate
        (lambda c: c.get("\udfff"), UnicodeEncodeError),
    ],
)
def test_argument_errors(coll, raised, call, message):
    if isinstance(message, str):
        assert str(raised(TypeError, lambda: call(coll))) == message
    else:
        assert "argument" not in str(raised(message, lambda: call(coll)))


def test_conversion_errors_order_cause_and_item_errors(coll, raised):
    # A prefixed error keeps the conversion error as its cause.
    err = raised(TypeError, lambda: coll.add(V, {}, id=5))
    assert isinstance(err.__cause__, TypeError)
    assert str(err.__cause__) == "'int' object cannot be converted to 'PyString'"
    # metadata is checked before id, and argument types before conversions;
    # a vector that cannot be converted wins over metadata that cannot be dumped
    assert "'metadata'" in str(raised(TypeError, lambda: coll.add(V, [], id=5)))
    assert "'metadatas'" in str(raised(TypeError, lambda: coll.add_batch("ab", "ab")))
    assert "Sequence" in str(raised(TypeError, lambda: coll.add(5, {"x": object()})))
    # Item conversion errors pass unchanged.
    assert "must be real number, not str" in str(raised(TypeError, lambda: coll.add([1.0, "a", 0.0, 0.0], {})))
    assert "not JSON serializable" in str(raised(TypeError, lambda: coll.add(V, {"x": object()})))


def test_positional_keyword_and_none_defaults(db, coll):
    assert coll.add(V, {}, "x", 10) == "x"
    assert coll.add(vector=V, metadata={}, id="y", ttl=None) == "y"
    auto = coll.add(V, {}, None)
    assert len(auto) == 36 and auto.count("-") == 4
    assert [r.id for r in coll.search(V, 3, where_=None)] == [r.id for r in coll.search(V, 3)]
    assert coll.add_batch(vectors=[V], metadatas=[{}], ids=None, ttls=None)[0] != ""
    assert coll.upsert(id="x", vector=V, metadata={}, ttl=None) is None
    for method in (coll.preload, coll.sync, db.sync, db.recovery_stats):  # (compact: above)
        with pytest.raises(TypeError, match="takes no arguments"):
            method(1)
