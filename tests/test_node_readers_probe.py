"""Node readers on nodes built by the test module: a lookup handle reads
the node it found and converts JSON values; the pending fatal of the graph is
raised first."""

import pytest


class Fatal(BaseException):
    pass


def test_lookup_handle_reads_the_found_node(kit_probe):
    probe = kit_probe.make_probe()
    value = object()
    handle = probe.make_node(value, lookup=True)
    assert handle.cache() is value
    assert handle.cache_entry() == (True, value)
    assert handle.status() == "settled"
    empty = probe.make_node(lookup=True)
    assert empty.cache() is None and empty.cache_entry() == (False, None)
    assert empty.status() == "sentinel"


def test_json_values_read_through_lookup_handles_only(kit_probe):
    probe = kit_probe.make_probe()
    handle = probe.make_node(lookup=True, json='{"n":[1,2.0]}')
    first = handle.cache()
    assert first == {"n": [1, 2.0]} and type(first["n"][1]) is float
    assert handle.cache() is not first
    plain = probe.make_node(json='{"n":1}')
    assert plain.cache() is None
    assert plain.cache_entry() == (False, None)
    assert plain.status() == "settled"


def test_readers_raise_the_pending_fatal_first(kit_probe):
    probe = kit_probe.make_probe()
    node = probe.make_node(1, lookup=True)
    for reader in (node.status, node.cache, node.cache_entry):
        stored = Fatal()
        probe.record(stored)
        with pytest.raises(Fatal) as info:
            reader()
        assert info.value is stored
    assert node.cache() == 1


def test_readers_take_no_arguments(kit_probe):
    node = kit_probe.make_probe().make_node(1)
    for reader in (node.status, node.cache, node.cache_entry):
        with pytest.raises(TypeError, match="takes no arguments"):
            reader(1)
    assert node.status.__text_signature__ == "($self)"
