"""Python values to JSON values and back, driven through the test module:
the exact shapes accepted, the limits and the refusal texts."""

import collections
import enum
import math

import pytest

INT_RANGE = "checkpoint integer is outside strict JSON range"
NOT_FINITE = "checkpoint value must be finite strict JSON"
NOT_COMPATIBLE = "checkpoint value is not strict JSON compatible"
TOO_DEEP = "checkpoint value exceeds strict JSON nesting depth"


def refused(kit_probe, value, text):
    with pytest.raises(ValueError) as info:
        kit_probe.to_json_text(value)
    assert type(info.value) is ValueError
    assert str(info.value) == text
    assert not getattr(info.value, "__notes__", None)


def nested(levels):
    value = []
    for _ in range(levels):
        value = [value]
    return value


def test_objects_are_ordered_by_key_and_come_back_in_that_order(kit_probe):
    value = {"b": 1, "a": [1.5, None, True]}
    assert kit_probe.to_json_text(value) == '{"a":[1.5,null,true],"b":1}'
    back = kit_probe.json_roundtrip(value)
    assert back == value
    assert list(back) == ["a", "b"]
    # Byte order of the UTF-8 keys, not insertion order.
    assert list(kit_probe.json_roundtrip({"é": 0, "z": 1, "A": 2})) == ["A", "z", "é"]


def test_scalars_keep_their_kind(kit_probe):
    assert kit_probe.to_json_text(True) == "true"
    assert kit_probe.to_json_text(None) == "null"
    back = kit_probe.json_roundtrip([True, False, 1, 1.0, -0.0, "x"])
    assert [type(v) for v in back] == [bool, bool, int, float, float, str]
    assert math.copysign(1.0, back[4]) == -1.0
    assert kit_probe.json_roundtrip(5e-324) == 5e-324  # subnormals pass this conversion


def test_integer_limits(kit_probe):
    for value in (2**63, 2**64 - 1, -(2**63), 2**53, -1, 0):
        back = kit_probe.json_roundtrip(value)
        assert back == value and type(back) is int
    for value in (2**64, -(2**63) - 1, 10**40):
        refused(kit_probe, value, INT_RANGE)


def test_json_integers_become_python_ints(kit_probe):
    assert kit_probe.json_text_to_py("18446744073709551615") == 2**64 - 1
    assert kit_probe.json_text_to_py("-9223372036854775808") == -(2**63)
    assert kit_probe.json_text_to_py("9223372036854775807") == 2**63 - 1
    assert type(kit_probe.json_text_to_py("2.0")) is float
    assert kit_probe.json_text_to_py('{"k":[{"a":{}}],"b":"\\u00e9"}') == {"b": "é", "k": [{"a": {}}]}


def test_non_finite_floats_are_refused(kit_probe):
    for value in (math.nan, math.inf, -math.inf):
        refused(kit_probe, value, NOT_FINITE)
    refused(kit_probe, [1, {"a": math.nan}], NOT_FINITE)


def test_only_exact_builtin_types_are_taken(kit_probe):
    class Number(enum.IntEnum):
        ONE = 1

    class Text(str):
        pass

    class Items(list):
        pass

    for value in ((1, 2), {1, 2}, b"x", Number.ONE, Text("a"), Items(), collections.OrderedDict(),
                  collections.defaultdict(int), object(), 1j):
        refused(kit_probe, value, NOT_COMPATIBLE)


def test_keys_must_be_exact_str(kit_probe):
    class Key(str):
        pass

    for value in ({1: "a"}, {None: 1}, {Key("a"): 1}, {"a": {(1,): 2}}):
        refused(kit_probe, value, "checkpoint object keys must be strings")
    refused(kit_probe, {"\ud800": 1}, "checkpoint object keys must be strings")


def test_unencodable_str_value_keeps_the_interpreters_error(kit_probe):
    with pytest.raises(UnicodeEncodeError):
        kit_probe.to_json_text(["\ud800"])


def test_cycles_are_refused_and_shared_values_converted_twice(kit_probe):
    looped = [1]
    looped.append(looped)
    refused(kit_probe, looped, "checkpoint value contains a cyclic JSON array")
    mapping = {}
    mapping["self"] = [mapping]
    refused(kit_probe, mapping, "checkpoint value contains a cyclic JSON object")
    inner = [1, 2]
    assert kit_probe.to_json_text([inner, inner, {"a": inner, "b": inner}]) == '[[1,2],[1,2],{"a":[1,2],"b":[1,2]}]'


def test_nesting_depth_limit(kit_probe):
    assert kit_probe.json_roundtrip(nested(128)) == nested(128)
    refused(kit_probe, nested(129), TOO_DEEP)
    # The depth test comes first: even None below 128 levels is refused.
    deep_none = None
    for _ in range(129):
        deep_none = [deep_none]
    refused(kit_probe, deep_none, TOO_DEEP)
    deep_dict = {}
    for _ in range(129):
        deep_dict = {"k": deep_dict}
    refused(kit_probe, deep_dict, TOO_DEEP)


def test_deep_json_comes_back_without_a_depth_limit(kit_probe):
    text = "[" * 50000 + "]" * 50000
    value = kit_probe.json_text_to_py(text)
    depth = 0
    while value:
        value = value[0]
        depth += 1
    assert depth == 49999


def test_first_failure_wins_and_inputs_are_unchanged(kit_probe):
    value = {"a": [1, (2,)], "b": math.inf}
    refused(kit_probe, value, NOT_COMPATIBLE)
    assert value == {"a": [1, (2,)], "b": math.inf}
