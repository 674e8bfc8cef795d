import pytest


@pytest.fixture
def db_path(tmp_path):
    """A fresh database directory path (not yet created)."""
    return str(tmp_path / "db")
