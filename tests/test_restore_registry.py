"""restore_registry, RestoreRegistry, RestoreContext and Python restore descriptors."""

import collections.abc
import gc
import weakref

import pytest

from korvalinth import Graph, RestoreContext, RestoreRegistry, restore_graph, restore_registry
from restore_support import Entry, checkpoint, cp_node


def one_node(ref, **kw):
    return checkpoint([cp_node("n", ref=ref, **kw)])


def restore_one(entries, ref="py", **kw):
    return restore_graph(one_node(ref, **kw), restore_registry(entries))


# ---- restore_registry ----


def test_signatures():
    assert restore_registry.__text_signature__ == "(entries, include_builtins=True)"
    assert restore_graph.__text_signature__ == "(checkpoint, registry)"
    assert RestoreContext.register_state.__text_signature__ == "($self)"
    assert RestoreContext.register_node.__text_signature__ == "($self, callback, factory=None)"


def test_registry_and_context_cannot_be_made_from_python():
    for cls in (RestoreRegistry, RestoreContext):
        with pytest.raises(TypeError):
            cls()


def test_builtins_are_state_and_map_only():
    reg = restore_registry([])
    assert type(reg) is RestoreRegistry
    assert restore_graph(one_node("state"), reg).describe()["nodes"][0]["factory"] == "state"
    # "map" resolves: the descriptor itself then refuses the node.
    with pytest.raises(RuntimeError, match=r"^restore_graph: map node 'n' requires exactly one dep$"):
        restore_graph(one_node("map"), reg)
    with pytest.raises(RuntimeError, match=r"^restore_graph: missing registry descriptor for 'other' \(node 'n'\)$"):
        restore_graph(one_node("other"), reg)
    bare = restore_registry([], include_builtins=False)
    for ref in ("state", "map"):
        with pytest.raises(RuntimeError, match=rf"^restore_graph: missing registry descriptor for '{ref}' \(node 'n'\)$"):
            restore_graph(one_node(ref), bare)


def test_entry_refs_are_checked_before_duplicates():
    state_entry = Entry("state", lambda ctx: ctx.register_state())
    with pytest.raises(ValueError, match=r"^duplicate restore registry ref 'state'$"):
        restore_registry([state_entry])
    # Without the built-ins the entry is simply registered.
    restore_graph(one_node("state"), restore_registry([state_entry], include_builtins=False))
    with pytest.raises(ValueError, match=r"^duplicate restore registry ref 'x'$"):
        restore_registry([Entry("x", None), Entry("y", None), Entry("x", None)])
    with pytest.raises(ValueError, match=r"^restore registry entry 'ref' must be a string$"):
        restore_registry([Entry(5, None)])
    # A bad entry after a duplicate is reported first.
    with pytest.raises(ValueError, match=r"^restore registry entries must expose a string 'ref'$"):
        restore_registry([Entry("x", None), Entry("x", None), object()])


def test_an_entry_whose_ref_cannot_be_read():
    class Raising:
        @property
        def ref(self):
            raise KeyError("nope")

    class StrSubclass(str):
        pass

    with pytest.raises(ValueError, match=r"^restore registry entries must expose a string 'ref'$") as info:
        restore_registry([Raising()])
    assert info.value.__context__ is None
    # A str subclass is a string.
    restore_registry([Entry(StrSubclass("sub"), None)])


def test_entries_must_be_a_sequence_other_than_str():
    with pytest.raises(TypeError) as info:
        restore_registry("state")
    assert str(info.value) == "Can't extract `str` to `Vec`"
    assert info.value.__notes__ == ["while processing 'entries'"]
    for value, type_name in (({}, "dict"), (set(), "set"), (iter([]), "list_iterator")):
        with pytest.raises(TypeError) as info:
            restore_registry(value)
        assert str(info.value) == f"'{type_name}' object is not an instance of 'Sequence'"
    with pytest.raises(TypeError) as info:
        restore_registry([], include_builtins=1)
    assert info.value.__notes__ == ["while processing 'include_builtins'"]
    # A tuple works, and so does a registered collections.abc.Sequence.
    restore_registry((Entry("a", None),))

    class Registered:
        def __init__(self, items):
            self.items = items

        def __iter__(self):
            return iter(self.items)

        def __len__(self):
            return len(self.items)

    collections.abc.Sequence.register(Registered)
    restore_registry(Registered([Entry("b", None)]))


def test_a_failed_registry_releases_its_entries():
    entry = Entry("x", None)
    alive = weakref.ref(entry)
    with pytest.raises(ValueError):
        restore_registry([entry, Entry("x", None)])
    del entry
    gc.collect()
    assert alive() is None


# ---- RestoreContext ----


def test_context_describes_the_node():
    seen = []

    def create(ctx):
        seen.append((ctx.id, ctx.name, ctx.deps, ctx.config, ctx.config_version, ctx.checkpoint))
        assert ctx.deps is not ctx.deps
        assert ctx.config is ctx.config and ctx.checkpoint is ctx.checkpoint
        ctx.register_node(lambda c: None)

    cp = checkpoint(
        [cp_node("a", value=(1,)), cp_node("b", value=(2,)), cp_node("n", ref="py", deps=["b", "a"], config={"k": [1]})]
    )
    cp["nodes"][2]["factory"]["configVersion"] = 3
    cp["nodes"][2]["name"] = "named"
    restore_graph(cp, restore_registry([Entry("py", create)]))
    [(id, name, deps, config, config_version, record)] = seen
    assert (id, name, deps, config, config_version) == ("n", "named", ["b", "a"], {"k": [1]}, 3)
    assert record["id"] == id
    assert list(record) == sorted(record)
    assert record["factory"] == {"config": {"k": [1]}, "configVersion": 3, "kind": "registry-ref", "ref": "py"}


def test_context_without_name_or_config():
    seen = []

    def create(ctx):
        seen.append((ctx.name, ctx.config, ctx.config_version))
        ctx.register_state()

    restore_one([Entry("py", create)])
    assert seen == [(None, None, None)]


def test_a_second_registration_is_refused_and_the_first_kept():
    errors = []

    def create(ctx):
        ctx.register_state()
        try:
            ctx.register_node(lambda c: None)
        except RuntimeError as e:
            errors.append(str(e))
        try:
            ctx.register_state()
        except RuntimeError as e:
            errors.append(str(e))

    graph = restore_one([Entry("py", create)], value=(7,))
    assert errors == ["restore descriptor registered more than one node"] * 2
    assert graph.describe()["nodes"][0]["factory"] == "state"
    assert graph._find("n").cache() == 7


def test_a_context_kept_past_create_is_inert():
    kept = []

    def create(ctx):
        kept.append(ctx)
        ctx.register_state()

    restore_one([Entry("py", create)])
    [ctx] = kept
    assert ctx.id == "n" and ctx.deps == []
    for call in (ctx.register_state, lambda: ctx.register_node(print), lambda: ctx.register_node(print, "f")):
        with pytest.raises(RuntimeError, match=r"^restore descriptor context is only valid during create\(\)$"):
            call()


def test_register_node_factory_text():
    def registering(factory):
        def create(ctx):
            if factory is None:
                ctx.register_node(lambda c: None)
            else:
                ctx.register_node(lambda c: None, factory=factory)

        return create

    graph = restore_one([Entry("py", registering(None))])
    assert graph.describe()["nodes"][0]["factory"] == "node"
    graph = restore_one([Entry("py", registering("custom"))])
    assert graph.describe()["nodes"][0]["factory"] == "custom"

    def bad(ctx):
        ctx.register_node(lambda c: None, factory=1)

    with pytest.raises(RuntimeError, match=r"^TypeError: 'int' object is not an instance of 'str'$"):
        restore_one([Entry("py", bad)])


def test_the_restored_node_keeps_its_ref_name_and_metadata():
    graph = restore_graph(
        checkpoint([cp_node("n", ref="py", meta={"b": "2", "a": "1"}, name="n", config={"c": 1})]),
        restore_registry([Entry("py", lambda ctx: ctx.register_state())]),
    )
    [described] = graph.describe()["nodes"]
    assert described["metadata"] == {"a": "1", "b": "2"} and described["name"] == "n"
    [written] = graph.checkpoint()["nodes"]
    assert written["factory"] == {"config": {"c": 1}, "kind": "registry-ref", "ref": "py"}
    assert written["meta"] == {"a": "1", "b": "2"}


def test_metadata_values_must_be_strings():
    with pytest.raises(RuntimeError, match=r"^restore_graph: node 'n' meta field 'k' must be a string$"):
        restore_one([Entry("py", lambda ctx: ctx.register_state())], meta={"k": 1})


# ---- what create() raises ----


def test_an_exception_of_create_is_the_restore_error_text():
    def raising(exception):
        def create(ctx):
            raise exception

        return create

    with pytest.raises(RuntimeError, match=r"^ValueError: bad$"):
        restore_one([Entry("py", raising(ValueError("bad")))])
    with pytest.raises(RuntimeError, match=r"^KeyError: 'fn'$"):
        restore_one([Entry("py", raising(KeyError("fn")))])
    with pytest.raises(RuntimeError, match=r"^AttributeError: .*'create'"):
        restore_one([type("NoCreate", (), {"ref": "py"})()])
    with pytest.raises(RuntimeError, match=r"^restore_graph: descriptor 'py' did not register a node for 'n'$"):
        restore_one([Entry("py", lambda ctx: None)])


@pytest.mark.parametrize("fatal", [KeyboardInterrupt("stop"), SystemExit(3)])
def test_a_fatal_of_create_is_raised_and_the_slot_emptied(fatal):
    def create(ctx):
        raise fatal

    reg = restore_registry([Entry("py", create), Entry("ok", lambda ctx: ctx.register_state())])
    with pytest.raises(BaseException) as info:
        restore_graph(one_node("py"), reg)
    assert info.value is fatal
    graph = restore_graph(one_node("ok"), reg)
    assert graph.raise_pending_fatal() is None


def test_the_first_fatal_wins_over_later_ones():
    first, second = KeyboardInterrupt("first"), KeyboardInterrupt("second")
    fatals = iter([first, second])

    def create(ctx):
        raise next(fatals)

    cp = checkpoint([cp_node("a", ref="py"), cp_node("b", ref="py")])
    reg = restore_registry([Entry("py", create)])
    with pytest.raises(KeyboardInterrupt) as info:
        restore_graph(cp, reg)
    # The restore stops at the first failure, so the second create never ran.
    assert info.value is first
    assert next(fatals) is second


def test_graphs_restored_through_one_registry_share_its_slot():
    reg = restore_registry([])
    cp = checkpoint([cp_node("s", value=(1,))])
    g1, g2 = restore_graph(cp, reg), restore_graph(cp, reg)
    stored = KeyboardInterrupt("shared")

    def subscriber(kind, payload):
        if kind == "DATA" and payload == 2:
            raise stored

    s = g1._find("s")
    sub = s.subscribe(subscriber)
    # Delivered when the batch of another graph closes, under that graph's
    # guard: the fatal stays in the registry's slot.
    with pytest.raises(RuntimeError, match="^host boundary abort without pending fatal$"):
        Graph().batch(lambda: g1._set_state_by_id("s", 2))
    with pytest.raises(KeyboardInterrupt) as info:
        g2.raise_pending_fatal()
    assert info.value is stored
    assert g1.raise_pending_fatal() is None
    del sub


def test_a_pending_fatal_in_the_registry_is_raised_before_restoring():
    reg = restore_registry([Entry("py", lambda ctx: pytest.fail("create ran"))])
    g = restore_graph(checkpoint([cp_node("s", value=(1,))]), reg)
    stored = SystemExit(9)
    s = g._find("s")
    sub = s.subscribe(lambda kind, payload: (_ for _ in ()).throw(stored) if payload == 2 else None)
    with pytest.raises(RuntimeError):
        Graph().batch(lambda: g._set_state_by_id("s", 2))
    with pytest.raises(SystemExit) as info:
        restore_graph(object(), reg)
    assert info.value is stored
    del sub


def test_entries_whose_length_overstates_the_items():
    class Boastful:
        def __len__(self):
            return 2**62

        def __getitem__(self, index):
            if index:
                raise IndexError(index)
            return Entry("py", lambda ctx: ctx.register_state())

    reg = restore_registry(Boastful(), include_builtins=False)
    g = restore_graph(checkpoint([cp_node("s", ref="py", value=(1,))]), reg)
    assert g._find("s").cache() == 1
