import korvalinth
from korvalinth import _native


def test_version():
    assert _native.version() == "0.0.0"
    assert korvalinth.__version__ == "0.0.0"
