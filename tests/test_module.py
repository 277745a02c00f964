import importlib
import subprocess
import sys
import textwrap

import pytest

import korvalinth
from korvalinth import _native


# The module's names in the order start-up adds them; classes arrive
# as the extension grows, so the present ones must keep this order.
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


# Every method's parameters, class by class in table order, as the text
# signature gives them (without "$self, "); members not built yet are
# skipped, but those present keep this order.
METHODS = {
    "Graph": [
        ("checkpoint", ""), ("state", "value, name=None"), ("state_empty", "name=None"),
        ("_wire_bridge", "session_id, name=None"), ("_wire_bridge_protobuf", "bridge, name=None"),
        ("_wire_edge_group", "bridge, inbound_edges, name=None"),
        ("_wire_edge_group_outbound", "bridge, outbound_edges, name=None"),
        ("_wire_bridge_ack_driver", "bridge, clock, timeout_ms, name=None"),
        ("producer", "callback, name=None"),
        ("node", "deps, callback, name=None, partial=False, complete_when_deps_complete=True, "
                 "error_when_deps_error=True, terminal_as_real_input=False, pausable=None, pull_id=None, "
                 "restore_ref=None, restore_config=None, restore_config_version=None"),
        ("_conformance_node", "deps, callback, name=None, partial=False, complete_when_deps_complete=True, "
                              "error_when_deps_error=True, terminal_as_real_input=False, pausable=None, pull_id=None"),
        ("_conformance_async_node", "deps, name=None, pausable=None"),
        ("_conformance_async_source", "name=None, pausable=None"),
        ("_async_source", "callback, name=None, pausable=None"),
        ("_async_node", "deps, callback, name=None, pausable=None"),
        ("derived", "deps, callback, name=None"), ("effect", "deps, callback, name=None"),
        ("batch", "callback"), ("describe", ""), ("_find", "id"), ("_set_state_by_id", "id, value"),
        ("observe", "callback"), ("raise_pending_fatal", ""),
    ],
    "Node": [
        ("set", "value"), ("send", "value"), ("pause", "lock_id"), ("resume", "lock_id"), ("invalidate", ""),
        ("_up_dirty", ""), ("_up_teardown", ""), ("_conformance_up_pull", "pull_id, params=None"),
        ("_conformance_up_pull_toward", "toward_dep, pull_id, params=None"),
        ("_conformance_up_data_forbidden", "value"), ("_conformance_immediate_subscribe_dep", "dep, callback"),
        ("_conformance_immediate_unsubscribe_dep", "dep, callback"),
        ("_conformance_immediate_replace_deps", "deps, callback"),
        ("_conformance_c21_replace_with_live_dep", "dep, async_handle"), ("_down_resolved", ""),
        ("_down_dirty", ""), ("_conformance_c22_down_data", "value"), ("_down_invalidate", ""),
        ("_down_data_data_invalidate", "first, second"), ("_conformance_c12_down_data_resolved", "value"),
        ("_down_data_complete", "value"), ("_down_complete", ""), ("_down_teardown", ""), ("_down_error", "message"),
        ("cache", ""), ("cache_entry", ""), ("status", ""), ("subscribe", "callback"),
    ],
    "Ctx": [
        ("dep_len", ""), ("data_entry", "index"), ("wave_data", "sentinel"), ("terminal", "index"),
        ("_pull_context", ""), ("emit", "value"), ("state_entry", ""), ("set_state", "value"),
        ("state_persist", "on=True"), ("on_invalidate", "callback"), ("on_deactivation", "callback"),
        ("_rewire_next_subscribe_dep", "dep, callback"), ("_rewire_next_unsubscribe_dep", "dep, callback"),
        ("_rewire_next_replace_deps", "deps, callback"),
        ("_up_next_pull", "pull_id, params=None, toward_dep=None"),
        ("_up_pull", "pull_id, params=None, toward_dep=None"), ("_conformance_up_data", "value"),
        ("_conformance_down_complete", ""),
    ],
    "AsyncCtx": [("emit", "value"), ("complete", ""), ("resolve", "value"), ("error", "message"), ("is_live", ""),
                 ("on_deactivation", "callback")],
    "Subscription": [("unsubscribe", "")],
    "ConformanceAsyncHandle": [("has_pending", ""), ("resolve", "value"), ("invalidate_live_deps", "")],
    "RestoreContext": [("register_state", ""), ("register_node", "callback, factory=None")],
    "RestoreRegistry": [],
    "CanonicalProtobufValidation": [], "CanonicalProtobufRoundtrip": [],
    "_WireBridge": [("release", "")], "_WireBridgeProtobuf": [("release", "")],
    "_WireEdgeGroup": [("release", "")],
    "_WireBridgeAckDriver": [("release", ""), ("_conformance_ack_timeout", "seq, attempt, observed_at_ms")],
}
GETTERS = {
    "RestoreContext": ["id", "name", "deps", "config", "config_version", "checkpoint"],
    "CanonicalProtobufValidation": ["ok", "category", "message"],
    "CanonicalProtobufRoundtrip": ["ok", "bytes", "category", "message"],
    "_WireBridge": ["status", "issues"],
    "_WireBridgeProtobuf": ["inbound_bytes", "outbound_bytes", "status", "issues"],
    "_WireEdgeGroup": ["inbound_edges", "status", "issues"],
    "_WireBridgeAckDriver": ["timeouts", "status", "issues"],
}
INTERNAL_NAMES = {
    "Graph": "_native::PyGraph", "Node": "_native::PyNode", "Ctx": "_native::PyCtx",
    "Subscription": "_native::PySubscription", "RestoreContext": "_native::PyRestoreContext",
    "RestoreRegistry": "_native::PyRestoreRegistry",
    **{name: f"_native::Py{name.lstrip('_')}" for name in ["CanonicalProtobufValidation", "CanonicalProtobufRoundtrip",
                                                           "_WireBridge", "_WireBridgeProtobuf",
                                                           "_WireEdgeGroup", "_WireBridgeAckDriver"]},
}


def class_named(name):
    """The module's class of that name; ConformanceAsyncHandle is reached
    only through the hooks that return one."""
    if name == "ConformanceAsyncHandle":
        return type(_native.Graph()._conformance_async_source()[1])
    return getattr(_native, name)


@pytest.mark.parametrize("class_name", sorted(METHODS))
def test_class_tables_methods_signatures_and_docs(class_name):
    cls = class_named(class_name)
    members = [name for name in vars(cls) if not name.startswith("__")]
    methods = [(name, params) for name, params in METHODS[class_name] if name in members]
    getters = [name for name in GETTERS.get(class_name, []) if name in members]
    assert members == [name for name, _ in methods] + getters
    for name, params in methods:
        method = getattr(cls, name)
        assert method.__text_signature__ == "($self" + (", " + params if params else "") + ")", name
        assert not method.__doc__
    for name in getters:
        assert not getattr(cls, name).__doc__
    assert cls.__module__ == "_native"
    assert cls.__doc__ == ("" if class_name == "Graph" else None)


@pytest.mark.parametrize("class_name", sorted(set(METHODS) - {"Graph"}))
def test_only_graph_can_be_instantiated(class_name):
    cls = class_named(class_name)
    with pytest.raises(TypeError, match=f"^cannot create '_native.{class_name}' instances$"):
        cls()


def test_objects_name_their_internal_type_when_used_on_another_thread():
    from conftest import run_in_thread

    from korvalinth._native import Graph, restore_registry

    graph = Graph()
    node = graph.state(1, name="n")
    kept = []
    sub = graph.node([node], lambda ctx: kept.append(ctx)).subscribe(lambda k, p: None)
    registry = restore_registry([])
    contexts = []

    class Entry:
        ref = "state"

        def create(self, ctx):
            contexts.append(ctx)
            ctx.register_state()

    restore_graph = _native.restore_graph
    plain = Graph()
    plain.state(1)
    checkpoint = plain.checkpoint()
    restore_graph(checkpoint, restore_registry([Entry()], include_builtins=False))
    validation = _native._validate_canonical_wire_edge_frame(b"")
    roundtrip = _native._roundtrip_canonical_wire_edge_frame(b"")
    adapter = graph._wire_bridge_protobuf(bridge := graph._wire_bridge("s"))
    edge_group = graph._wire_edge_group(bridge, ["e"])
    driver = graph._wire_bridge_ack_driver(bridge, node, 10)
    calls = {
        "Graph": graph.describe, "Node": node.status, "Ctx": kept[0].dep_len, "Subscription": sub.unsubscribe,
        "RestoreContext": lambda: contexts[0].id,
        "RestoreRegistry": lambda: restore_graph(checkpoint, registry),
        "CanonicalProtobufValidation": lambda: validation.ok,
        "CanonicalProtobufRoundtrip": lambda: roundtrip.bytes,
        "_WireBridge": bridge.release, "_WireBridgeProtobuf": lambda: adapter.status,
        "_WireEdgeGroup": edge_group.release,
        "_WireBridgeAckDriver": driver.release,
    }
    for class_name, call in calls.items():
        raised = run_in_thread(call)["raised"]
        assert type(raised).__name__ == "PanicException" and isinstance(raised, BaseException)
        assert str(raised) == f"{INTERNAL_NAMES[class_name]} is unsendable, but sent to another thread"
    sub.unsubscribe()
