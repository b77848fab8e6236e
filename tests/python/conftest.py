import pytest

from qel import NativeBlobCache

BUDGET = 64 << 20


@pytest.fixture
def cache_dir(tmp_path):
    return str(tmp_path / "cache")


@pytest.fixture
def cache(cache_dir):
    opened = NativeBlobCache(cache_dir, BUDGET, 0)
    yield opened
    opened.close()
