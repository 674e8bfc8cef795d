import json

import pytest


@pytest.fixture
def db_path(tmp_path):
    """A fresh database directory path (not yet created)."""
    return str(tmp_path / "db")


@pytest.fixture
def db(db_path):
    import tessarin

    return tessarin.Tessarin(db_path)


@pytest.fixture
def coll(db):
    """An empty 4-dimensional cosine collection named "docs"."""
    return db.collection("docs", 4)


@pytest.fixture
def dot1(db):
    """A 1-dimensional dot collection: searching [1.0] scores a record with
    exactly its stored float32 value."""
    return db.collection("dot1", 1, "dot")


@pytest.fixture
def raised():
    """raised(exc_type, call) -> the exception call() raised, which must be of
    exactly that type (not a subclass)."""

    def check(exc_type, call):
        with pytest.raises(exc_type) as info:
            call()
        assert type(info.value) is exc_type
        return info.value

    return check


@pytest.fixture
def exported(tmp_path):
    """exported(coll) -> {id: record dict} read back from an NDJSON export."""

    def read(coll):
        path = tmp_path / "export.ndjson"
        coll.export_to_file(str(path))
        lines = path.read_text(encoding="utf-8").splitlines()
        return {rec["id"]: rec for rec in map(json.loads, lines[1:])}

    return read
