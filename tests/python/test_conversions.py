"""Vector and metadata conversions: NumPy fast paths against the item-by-item
road, float64 narrowing, and the stored metadata text."""
import numpy as np
import pytest


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.array([0.1], dtype=np.float64),
        lambda: [0.1],
        lambda: (0.1,),
        lambda: np.array([0.1, 0.2], dtype=np.float64)[:1],
        lambda: np.array([0.1, 0.2], dtype=np.float64)[::2],  # non-contiguous, item road
    ],
)
def test_float64_is_narrowed_to_nearest_float32_and_scores_widen_it(dot1, make):
    dot1.add(make(), {})
    (hit,) = dot1.search([1.0], 1)  # scores the stored float32 exactly
    assert hit.score == 0.10000000149011612  # float32 0x3DCCCCCD


def test_float64_overflow_becomes_infinity(dot1, raised):
    # Narrowed to an infinity, which a stored vector may not hold; a query may.
    for vector in (np.array([1e39]), [-1e39]):
        assert raised(ValueError, lambda: dot1.add(vector, {})).args == (
            "Invalid input: vector component 0 is not a finite number",)
    dot1.add([2.0], {})
    assert [r.score for r in dot1.search(np.array([1e39]), 1)] == [float("inf")]
    assert [r.score for r in dot1.search([-1e39], 1)] == [float("-inf")]


def test_numpy_and_list_inputs_store_identical_vectors(db, exported):
    c = db.collection("same", 3, "dot")
    inputs = {
        "f32": np.array([1, 2, 3], dtype=np.float32),
        "f64": np.array([1, 2, 3], dtype=np.float64),
        "list": [1.0, 2.0, 3.0],
        "ints": [1, 2, 3],
        "np_ints": np.array([1, 2, 3], dtype=np.int64),
        "f32_scalars": [np.float32(1), np.float32(2), np.float32(3)],
        "reversed": np.array([3, 2, 1], dtype=np.float32)[::-1],  # read in view order
        "readonly": np.frombuffer(np.array([1, 2, 3], dtype=np.float32).tobytes(), dtype=np.float32),
        "big_endian": np.array([1, 2, 3], dtype=">f4"),
    }
    for name, vector in inputs.items():
        c.add(vector, {}, id=name)
    records = exported(c)
    assert {name: records[name]["vector"] for name in inputs} == {name: [1.0, 2.0, 3.0] for name in inputs}


def test_wrong_length_is_a_dimension_mismatch(coll, raised):
    for call, got in [(lambda: coll.add(np.zeros(3, dtype=np.float32), {}), 3),
                      (lambda: coll.search([0.0] * 5, 1), 5),
                      (lambda: coll.add(np.zeros((4, 2), dtype=np.float32)[0], {}), 2)]:
        assert raised(ValueError, call).args == (f"Dimension mismatch: expected 4, got {got}",)


def test_batch_layouts_store_the_vectors_they_show(db, exported):
    c = db.collection("strided", 2, "dot")
    m = np.arange(12, dtype=np.float32).reshape(6, 2)
    c.add_batch(m[::2], [{}] * 3, ids=["a", "b", "c"])             # row stride 4 floats
    c.add_batch(np.asfortranarray(m[:2]), [{}, {}], ids=["d", "e"])  # column-major
    c.add_batch([[1, 2], np.array([3, 4], dtype=np.float64)], [{}, {}], ids=["f", "g"])
    ones = np.ones((1, 2), dtype=np.float32)
    c.add_batch(ones, [{}], ids=["h"])
    ones.resize((0, 2), refcheck=False)  # the buffer was released after the call
    m64 = np.random.default_rng(7).standard_normal((5, 2))
    assert c.add_batch(m64, [{}] * 5, ids=list("vwxyz")) == list("vwxyz")
    got = {k: v["vector"] for k, v in exported(c).items()}
    assert {k: got[k] for k in "abcdefgh"} == {
        "a": [0.0, 1.0], "b": [4.0, 5.0], "c": [8.0, 9.0], "d": [0.0, 1.0],
        "e": [2.0, 3.0], "f": [1.0, 2.0], "g": [3.0, 4.0], "h": [1.0, 1.0]}
    # A float64 matrix is narrowed as astype(float32) narrows it.
    assert np.array_equal(np.array([got[k] for k in "vwxyz"], dtype=np.float32), m64.astype(np.float32))


def test_metadata_is_stored_compact_with_sorted_keys(coll):
    r = coll.get(coll.add([1, 0, 0, 0], {"b": 1, "a": 2.50, "s": "é\n", "l": [1.5, None, True]}))
    assert repr(r).endswith('metadata={"a":2.5,"b":1,"l":[1.5,null,true],"s":"é\\n"})')
    assert r.metadata == {"a": 2.5, "b": 1, "l": [1.5, None, True], "s": "é\n"}
    assert list(r.metadata) == ["a", "b", "l", "s"]
    # Keys that json.dumps turns into the same text: the later member is kept.
    assert coll.get(coll.add([1, 0, 0, 0], {1: "int", "1": "str"})).metadata == {"1": "str"}


@pytest.mark.parametrize(
    "bad, problem",
    [(float("nan"), "expected value"), (float("inf"), "expected value"), (-float("inf"), "invalid number")],
)
def test_non_finite_metadata_is_invalid_json(coll, raised, bad, problem):
    error = raised(ValueError, lambda: coll.add([1, 0, 0, 0], {"x": bad}))
    assert str(error).startswith(f"Invalid JSON: {problem} at line 1 column")
    assert len(coll) == 0


def test_json_module_is_fetched_on_every_call(coll, monkeypatch):
    import json

    monkeypatch.setattr(json, "dumps", lambda d: '{"patched": true}')
    rid = coll.add([1, 0, 0, 0], {"x": 1})
    monkeypatch.undo()
    assert coll.get(rid).metadata == {"patched": True}


@pytest.mark.parametrize("length", [2**61, 2**40, -1, LookupError("no length")])
def test_a_sequence_length_is_only_a_hint(coll, raised, length):
    class Lie(list):  # iterates its own items whatever __len__ answers
        def __len__(self):
            if isinstance(length, Exception):
                raise length
            return length

    three, four = Lie([1.0, 0.0, 0.0]), Lie([1.0, 0.0, 0.0, 0.0])
    for call in [lambda: coll.add(three, {}), lambda: coll.upsert("u", three, {}),
                 lambda: coll.search(three, 1), lambda: coll.add_batch([three], [{}])]:
        assert raised(ValueError, call).args == ("Dimension mismatch: expected 4, got 3",)
    assert coll.add(four, {}, id="one") == "one"
    assert coll.add_batch(Lie([four, four]), Lie([{}, {}]), ids=Lie(["a", "b"]),
                          ttls=Lie([None, 60])) == ["a", "b"]
