import pathlib

import pytest

import qel
from qel import NativeBlobCache

BUDGET = 64 << 20
# The suites test what ships: the wheel `make test-python` installs here, never
# the sources in python/.
WHEEL_VENV = pathlib.Path(__file__).resolve().parents[2] / "build" / "venv-wheel"


def pytest_configure(config):
    if not pathlib.Path(qel.__file__).resolve().is_relative_to(WHEEL_VENV.resolve()):
        raise pytest.UsageError(f"qel was imported from {qel.__file__}, not from the wheel installed in {WHEEL_VENV}: "
                                f"run make test-python, or {WHEEL_VENV}/bin/python -m pytest after make wheel-venv")


@pytest.fixture
def cache_dir(tmp_path):
    return str(tmp_path / "cache")


@pytest.fixture
def cache(cache_dir):
    opened = NativeBlobCache(cache_dir, BUDGET, 0)
    yield opened
    opened.close()
