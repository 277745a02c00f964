import importlib
import subprocess
import sys
import textwrap

import pytest

import korvalinth
from korvalinth import _native


# The module's names in the order start-up adds them; classes arrive
# piece by piece, so the present ones must keep this order.
FULL_ORDER = [
    "CanonicalProtobufValidation",
    "CanonicalProtobufRoundtrip",
    "_WireBridge",
    "_WireBridgeProtobuf",
    "_WireEdgeGroup",
    "_WireBridgeAckDriver",
    "AsyncCtx",
    "Ctx",
    "Graph",
    "Node",
    "RestoreContext",
    "RestoreRegistry",
    "Subscription",
    "_validate_canonical_wire_bridge_envelope",
    "_validate_canonical_wire_edge_frame",
    "_roundtrip_canonical_wire_bridge_envelope",
    "_roundtrip_canonical_wire_edge_frame",
    "restore_graph",
    "restore_registry",
    "version",
]


def test_all_lists_the_classes_then_the_functions_in_order():
    assert {"Graph", "Node", "version"} <= set(_native.__all__)
    assert _native.__all__ == [name for name in FULL_ORDER if name in _native.__all__]
    for name in _native.__all__:
        assert hasattr(_native, name)
    assert korvalinth.__all__ == _native.__all__
    assert korvalinth.Graph is _native.Graph


def test_conformance_async_handle_is_not_a_module_attribute():
    assert not hasattr(_native, "ConformanceAsyncHandle")
    assert "ConformanceAsyncHandle" not in _native.__all__


def test_module_definition():
    assert _native.__doc__ == ""
    assert _native.__name__ == "korvalinth._native"
    assert _native.Graph.__module__ == "_native"
    assert _native.version.__module__ == "korvalinth._native"


def test_version():
    assert _native.version() == "0.0.0"
    assert korvalinth.__version__ == "0.0.0"
    assert _native.version.__text_signature__ == "()"


def test_version_with_arguments_is_refused_by_cpython():
    with pytest.raises(TypeError, match=r"version\(\) takes no arguments \(1 given\)"):
        _native.version(1)
    with pytest.raises(TypeError, match=r"version\(\) takes no keyword arguments"):
        _native.version(x=1)


def test_importing_again_in_the_same_interpreter_reuses_the_classes():
    first = sys.modules["korvalinth._native"]
    try:
        del sys.modules["korvalinth._native"]
        second = importlib.import_module("korvalinth._native")
        assert second is not first
        assert second.Graph is first.Graph
        assert second.__all__ == first.__all__
        assert second.version() == "0.0.0"
    finally:
        sys.modules["korvalinth._native"] = first
        korvalinth._native = first


def test_a_second_interpreter_cannot_import_the_module():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    # A fresh process, so that the main interpreter is known to import first.
    code = textwrap.dedent(
        """
        import korvalinth._native
        import _xxsubinterpreters as interpreters
        sub = interpreters.create(isolated=False)
        try:
            interpreters.run_string(sub, "import korvalinth._native")
        except interpreters.RunFailedError as e:
            print(e)
        else:
            print("imported")
        interpreters.destroy(sub)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == (
        "<class 'ImportError'>: korvalinth._native cannot be imported into a second interpreter: "
        "its classes are created once per process and belong to the interpreter that imported it first"
    )
