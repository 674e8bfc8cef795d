"""Module start-up: class registration, docstrings, signatures,
re-initialisation and refusal of sub-interpreters."""
import importlib.machinery
import importlib.util
import inspect
import sys

import pytest

import tessarin

CLASS_NAMES = ["Tessarin", "Collection", "SearchResult", "CompactStats", "RecoveryStats", "ImportStats"]


def test_the_six_classes_are_builtins_types_and_only_tessarin_is_constructible(raised):
    assert tessarin.__all__ == CLASS_NAMES  # registration order
    assert sorted(n for n in dir(tessarin) if not n.startswith("_")) == sorted(CLASS_NAMES)
    for name in CLASS_NAMES:
        cls = getattr(tessarin, name)
        assert isinstance(cls, type)
        assert (cls.__module__, cls.__qualname__, cls.__name__) == ("builtins", name, name)
        if name != "Tessarin":
            assert str(raised(TypeError, cls)) == f"No constructor defined for {name}"


def test_signatures_and_docstrings():
    T, C = tessarin.Tessarin, tessarin.Collection
    assert T.__text_signature__ == "(path)" and C.__text_signature__ is None
    signatures = {T: "(path)", C.add: "(self, /, vector, metadata, id=None, ttl=None)",
                  C.search: "(self, /, vector, k, where_=None)",
                  T.collection: "(self, /, name, dim, metric='cosine')", C.sync: "(self, /)"}
    for obj, text in signatures.items():
        assert str(inspect.signature(obj)) == text
    # Every class, method and property is documented (the texts are constants).
    for cls in [getattr(tessarin, name) for name in CLASS_NAMES]:
        members = [m for n, m in vars(cls).items() if not n.startswith("_")]
        assert cls.__doc__ and all(m.__doc__ for m in members), cls
    assert C.add.__doc__.startswith("Add a vector to the collection.\n\nArgs:\n")


def test_second_init_returns_the_same_module_object():
    loader = importlib.machinery.ExtensionFileLoader("tessarin", tessarin.__file__)
    spec = importlib.util.spec_from_file_location("tessarin", tessarin.__file__, loader=loader)
    again = importlib.util.module_from_spec(spec)
    assert again is tessarin and sys.modules["tessarin"] is tessarin


def test_import_in_a_subinterpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        script = f"import sys\nsys.path[:] = {sys.path!r}\nimport tessarin\n"
        with pytest.raises(interpreters.RunFailedError) as info:
            interpreters.run_string(interp, script)
        assert "ImportError" in str(info.value)
        assert "PyO3 modules do not yet support subinterpreters" in str(info.value)
    finally:
        interpreters.destroy(interp)
    # The first interpreter keeps its module.
    assert tessarin.Tessarin.__module__ == "builtins"
