"""Module start-up: class registration, docstrings, re-initialisation and
refusal of sub-interpreters."""
import importlib.machinery
import importlib.util
import inspect
import sys

import pytest

import tessarin

CLASS_NAMES = ["Tessarin", "Collection", "SearchResult", "CompactStats", "RecoveryStats", "ImportStats"]


def test_all_lists_the_six_classes_in_registration_order():
    assert tessarin.__all__ == CLASS_NAMES
    public = [name for name in dir(tessarin) if not name.startswith("_")]
    assert sorted(public) == sorted(CLASS_NAMES)
    assert all(isinstance(getattr(tessarin, name), type) for name in public)


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_classes_report_builtins_module(name):
    cls = getattr(tessarin, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__name__ == name


@pytest.mark.parametrize("name", CLASS_NAMES[1:])
def test_only_tessarin_has_a_constructor(name):
    with pytest.raises(TypeError) as info:
        getattr(tessarin, name)()
    assert str(info.value) == f"No constructor defined for {name}"


def test_tessarin_signature_and_docstring():
    assert str(inspect.signature(tessarin.Tessarin)) == "(path)"
    assert tessarin.Tessarin.__text_signature__ == "(path)"
    assert tessarin.Tessarin.__doc__ == (
        "Tessarin vector database.\n\n"
        "A lightweight, serverless, single-file vector database for AI agent memory."
    )
    assert tessarin.Collection.__doc__ == "A collection of vectors with associated metadata."
    assert tessarin.Collection.__text_signature__ is None
    assert tessarin.__doc__ == (
        "Tessarin Python module.\n\nA lightweight, serverless vector database for AI agent memory."
    )


def test_method_signatures():
    sig = inspect.signature(tessarin.Collection.add)
    assert str(sig) == "(self, /, vector, metadata, id=None, ttl=None)"
    assert str(inspect.signature(tessarin.Collection.search)) == "(self, /, vector, k, where_=None)"
    assert str(inspect.signature(tessarin.Tessarin.collection)) == "(self, /, name, dim, metric='cosine')"
    assert str(inspect.signature(tessarin.Collection.sync)) == "(self, /)"
    assert tessarin.Collection.add.__doc__.startswith("Add a vector to the collection.\n\nArgs:\n")
    assert tessarin.Collection.name.__doc__ == "Collection name."


def test_second_init_returns_the_same_module_object():
    loader = importlib.machinery.ExtensionFileLoader("tessarin", tessarin.__file__)
    spec = importlib.util.spec_from_file_location("tessarin", tessarin.__file__, loader=loader)
    again = importlib.util.module_from_spec(spec)
    assert again is tessarin
    assert again.Tessarin is tessarin.Tessarin
    assert sys.modules["tessarin"] is tessarin


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
