"""Deps lists and option arguments as node-building methods read them,
driven through the test module."""

import sys

import pytest


def note_of(info):
    return getattr(info.value, "__notes__", None)


# Both roads that read deps: the general one and the node factories' inline one.
DEPS_READERS = ["deps_of", "dep_refs_of"]


@pytest.mark.parametrize("reader", DEPS_READERS)
def test_deps_keep_order_and_repeats(kit_probe, reader):
    deps_of = getattr(kit_probe, reader)
    probe = kit_probe.make_probe()
    a, b = probe.make_node(1), probe.make_node(2)

    class Deps(list):
        pass

    assert deps_of([]) == [] and deps_of(()) == []
    out = deps_of([a, b, a])
    assert out[0] is a and out[1] is b and out[2] is a
    assert deps_of((b, a)) == [b, a]
    assert deps_of(Deps([a])) == [a]


@pytest.mark.parametrize("reader", DEPS_READERS)
def test_deps_refusals(kit_probe, reader):
    deps_of = getattr(kit_probe, reader)
    probe = kit_probe.make_probe()
    a = probe.make_node(1)
    cases = [
        ("ab", "Can't extract `str` to `Vec`"),
        (b"ab", "'int' object is not an instance of 'Node'"),
        ((n for n in [a]), "'generator' object is not an instance of 'Sequence'"),
        (None, "'None' is not an instance of 'Sequence'"),
        (5, "'int' object is not an instance of 'Sequence'"),
        ([a, "x"], "'str' object is not an instance of 'Node'"),
        ([a, None], "'None' is not an instance of 'Node'"),
        ((a, 5), "'int' object is not an instance of 'Node'"),
    ]
    for deps, text in cases:
        with pytest.raises(TypeError) as info:
            deps_of(deps)
        assert str(info.value) == text
        assert note_of(info) == ["while processing 'deps'"]


@pytest.mark.parametrize("reader", DEPS_READERS)
def test_deps_iteration_errors_pass_up_and_nothing_leaks(kit_probe, reader):
    deps_of = getattr(kit_probe, reader)
    probe = kit_probe.make_probe()
    a = probe.make_node(1)

    class Broken(list):
        def __iter__(self):
            yield a
            raise KeyError("broken")

    before = sys.getrefcount(a)
    with pytest.raises(KeyError) as info:
        deps_of(Broken([a]))
    assert note_of(info) == ["while processing 'deps'"]
    for refused in ([a, a, 3], (a, a, 3)):
        with pytest.raises(TypeError):
            deps_of(refused)
    del info, refused
    assert sys.getrefcount(a) == before


def test_flags_take_only_bool(kit_probe):
    assert kit_probe.flag(True) is True and kit_probe.flag(False) is False
    for value, name in ((None, None), (0, "int"), (1, "int"), ("true", "str")):
        with pytest.raises(TypeError) as info:
            kit_probe.flag(value)
        expected = "'None' is not an instance of 'bool'" if name is None else f"'{name}' object is not an instance of 'bool'"
        assert str(info.value) == expected
        assert note_of(info) == ["while processing 'flag'"]


def test_texts_take_str_and_subclasses(kit_probe):
    class Text(str):
        pass

    assert kit_probe.text("") == ""
    assert kit_probe.text(Text("lock")) == "lock"
    for value in (None, True, 5):
        with pytest.raises(TypeError) as info:
            kit_probe.text(value)
        assert note_of(info) == ["while processing 'text'"]
    with pytest.raises(UnicodeEncodeError):
        kit_probe.text("\ud800")


def test_numpy_bool_is_taken_through_its_truth_value(kit_probe):
    numpy = pytest.importorskip("numpy")
    assert kit_probe.flag(numpy.bool_(True)) is True
    assert kit_probe.flag(numpy.bool_(False)) is False
    with pytest.raises(TypeError):
        kit_probe.flag(numpy.int64(1))


def test_node_options_defaults_and_values(kit_probe):
    # (name, partial, complete_when_deps_complete, error_when_deps_error,
    #  terminal_as_real_input, pausable mode, pull_id, anything unsettable set)
    assert kit_probe.node_options() == (None, False, True, True, False, 0, None, False)
    assert kit_probe.node_options(pausable=None) == kit_probe.node_options()
    assert kit_probe.node_options("n", True, False, False, True, "resumeAll", "") == (
        "n", True, False, False, True, 1, "", False)
    assert kit_probe.node_options(pausable="true")[5] == 0
    assert kit_probe.node_options(pausable="false", pull_id="p")[5:7] == (2, "p")


def test_node_options_refusals(kit_probe):
    for text in ("True", "", "resumeall", "false "):
        with pytest.raises(ValueError) as info:
            kit_probe.node_options(pausable=text)
        assert str(info.value) == "pausable must be true, 'resumeAll', or false"
        assert not getattr(info.value, "__notes__", None)
    cases = [
        ({"pausable": True}, "pausable", "'bool' object is not an instance of 'str'"),
        ({"name": 3}, "name", "'int' object is not an instance of 'str'"),
        ({"pull_id": False}, "pull_id", "'bool' object is not an instance of 'str'"),
        ({"partial": None}, "partial", "'None' is not an instance of 'bool'"),
        ({"terminal_as_real_input": 1}, "terminal_as_real_input", "'int' object is not an instance of 'bool'"),
    ]
    for kwargs, name, text in cases:
        with pytest.raises(TypeError) as info:
            kit_probe.node_options(**kwargs)
        assert str(info.value) == text
        assert info.value.__notes__ == [f"while processing '{name}'"]
