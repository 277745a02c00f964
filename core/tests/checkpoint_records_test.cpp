#include <gtest/gtest.h>

#include "checkpoint/checkpoint_read_errors.hpp"
#include "checkpoint/checkpoint_records.hpp"

using namespace korvalinth;

namespace {

Json node_json(std::string id = "n") {
  return Json::parse(R"({"id":")" + id + R"(","factory":{"kind":"registry-ref","ref":"state"},"status":"settled",
    "deps":[],"value":{"kind":"SENTINEL"},"terminal":{"kind":"none"},
    "lifecycle":{"activated":false,"hasCalledFnOnce":false},
    "ctxState":{"persist":false,"value":{"kind":"SENTINEL"}}})");
}

Json root_json(Json nodes = Json::array()) {
  return Json::object({{"version", "korvalinth.checkpoint.v1"}, {"nodes", std::move(nodes)}, {"edges", Json::array()}});
}

// The reader's error for a root holding one node with `key` set to `value`.
std::string node_field_error(const std::string& key, Json value) {
  Json node = node_json();
  node[key] = std::move(value);
  auto r = deserialize_checkpoint(root_json(Json::array({node})));
  EXPECT_FALSE(r.has_value()) << key;
  return r ? std::string() : r.error();
}

std::string read_error(const Json& root) {
  auto r = deserialize_checkpoint(root);
  EXPECT_FALSE(r.has_value());
  return r ? std::string() : r.error();
}

GraphCheckpoint read_ok(const Json& root) {
  auto r = deserialize_checkpoint(root);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
  return r ? *r : GraphCheckpoint{};
}

std::vector<std::string> keys_of(const Json& object) {
  std::vector<std::string> keys;
  for (const auto& [k, v] : object.items()) keys.push_back(k);
  return keys;
}

}  // namespace

TEST(CheckpointReadErrors, TextForms) {
  EXPECT_EQ(describe_unexpected(Json(nullptr)), "null");
  EXPECT_EQ(describe_unexpected(Json(true)), "boolean `true`");
  EXPECT_EQ(describe_unexpected(Json(false)), "boolean `false`");
  EXPECT_EQ(describe_unexpected(Json(5)), "integer `5`");
  EXPECT_EQ(describe_unexpected(Json(-3)), "integer `-3`");
  EXPECT_EQ(describe_unexpected(Json(18446744073709551615ULL)), "integer `18446744073709551615`");
  EXPECT_EQ(describe_unexpected(Json(1.5)), "floating point `1.5`");
  EXPECT_EQ(describe_unexpected(Json(2.0)), "floating point `2.0`");
  // Floats are told in plain decimal, never with an exponent, and always
  // with a decimal point.
  EXPECT_EQ(describe_unexpected(Json(1e-7)), "floating point `0.0000001`");
  EXPECT_EQ(describe_unexpected(Json(-2.5e-3)), "floating point `-0.0025`");
  EXPECT_EQ(describe_unexpected(Json(1e20)), "floating point `100000000000000000000.0`");
  EXPECT_EQ(describe_unexpected(Json(1.25e17)), "floating point `125000000000000000.0`");
  EXPECT_EQ(describe_unexpected(Json(123456.789)), "floating point `123456.789`");
  EXPECT_EQ(describe_unexpected(Json(-0.0)), "floating point `-0.0`");
  EXPECT_EQ(describe_unexpected(Json(5e-324)), "floating point `0." + std::string(323, '0') + "5`");
  EXPECT_EQ(describe_unexpected(Json("ab")), "string \"ab\"");
  EXPECT_EQ(describe_unexpected(Json("q\"\\\n\t\x01")), R"(string "q\"\\\n\t\u{1}")");
  EXPECT_EQ(describe_unexpected(Json::array()), "sequence");
  EXPECT_EQ(describe_unexpected(Json::object()), "map");
  EXPECT_EQ(missing_field_error("id"), "missing field `id`");
  EXPECT_EQ(invalid_type_error(Json(nullptr), "a sequence"), "invalid type: null, expected a sequence");
  EXPECT_EQ(invalid_length_error(4, struct_with_elements("struct GraphCheckpoint", 5)),
            "invalid length 4, expected struct GraphCheckpoint with 5 elements");
  EXPECT_EQ(struct_with_elements("struct variant GraphCheckpointValue::Data", 1),
            "struct variant GraphCheckpointValue::Data with 1 element");
  EXPECT_EQ(elements_in_sequence(0), "0 elements in sequence");
  EXPECT_EQ(elements_in_sequence(1), "1 element in sequence");
  EXPECT_EQ(elements_in_sequence(3), "3 elements in sequence");
  const std::string_view two[] = {"SENTINEL", "DATA"};
  const std::string_view three[] = {"none", "COMPLETE", "ERROR"};
  EXPECT_EQ(unknown_variant_error("data", two), "unknown variant `data`, expected `SENTINEL` or `DATA`");
  EXPECT_EQ(unknown_variant_error("Error", three),
            "unknown variant `Error`, expected one of `none`, `COMPLETE`, `ERROR`");
}

TEST(CheckpointRead, MissingFields) {
  EXPECT_EQ(read_error(Json::parse(R"({"nodes":[],"edges":[]})")), "missing field `version`");
  EXPECT_EQ(read_error(Json::parse(R"({"version":"v","edges":[]})")), "missing field `nodes`");
  EXPECT_EQ(read_error(Json::parse(R"({"version":"v","nodes":[]})")), "missing field `edges`");
  Json node = node_json();
  node.erase("id");
  node.erase("status");
  EXPECT_EQ(read_error(root_json(Json::array({node}))), "missing field `id`");
  for (const char* key : {"factory", "status", "deps", "value", "terminal", "lifecycle", "ctxState"}) {
    Json n = node_json();
    n.erase(key);
    EXPECT_EQ(read_error(root_json(Json::array({n}))), std::string("missing field `") + key + "`");
  }
  EXPECT_EQ(node_field_error("value", Json::parse(R"({"kind":"DATA"})")), "missing field `data`");
  EXPECT_EQ(node_field_error("value", Json::parse(R"({"data":1})")), "missing field `kind`");
  EXPECT_EQ(node_field_error("value", Json::array()), "missing field `kind`");
  EXPECT_EQ(node_field_error("terminal", Json::parse(R"({"kind":"ERROR"})")), "missing field `error`");
  EXPECT_EQ(node_field_error("factory", Json::parse(R"({"kind":"registry-ref","config":1})")),
            "missing field `ref`");
  EXPECT_EQ(node_field_error("factory", Json::parse(R"({"kind":"local-only"})")), "missing field `name`");
  EXPECT_EQ(node_field_error("factory", Json::parse(R"({"kind":"local-only","name":"x"})")),
            "missing field `reason`");
  EXPECT_EQ(node_field_error("lifecycle", Json::parse(R"({"activated":true})")), "missing field `hasCalledFnOnce`");
  EXPECT_EQ(node_field_error("ctxState", Json::parse(R"({"persist":true})")), "missing field `value`");
  Json edge_root = root_json();
  edge_root["edges"] = Json::parse(R"([{"to":"b"}])");
  EXPECT_EQ(read_error(edge_root), "missing field `from`");
  Json mount_root = root_json();
  mount_root["mounts"] = Json::parse(R"([{"at":"m"}])");
  EXPECT_EQ(read_error(mount_root), "missing field `checkpoint`");
}

TEST(CheckpointRead, InvalidTypes) {
  EXPECT_EQ(read_error(Json("abc")), "invalid type: string \"abc\", expected struct GraphCheckpoint");
  EXPECT_EQ(read_error(Json(nullptr)), "invalid type: null, expected struct GraphCheckpoint");
  // A present entry's error wins over a missing field.
  EXPECT_EQ(read_error(root_json(Json::array({Json::object({{"deps", 5}})}))),
            "invalid type: integer `5`, expected a sequence");
  EXPECT_EQ(node_field_error("deps", Json::array({"a", 1})), "invalid type: integer `1`, expected a string");
  Json nodes_null = root_json();
  nodes_null["nodes"] = nullptr;
  EXPECT_EQ(read_error(nodes_null), "invalid type: null, expected a sequence");
  EXPECT_EQ(node_field_error("value", nullptr), "invalid type: null, expected internally tagged enum GraphCheckpointValue");
  EXPECT_EQ(node_field_error("factory", "state"),
            "invalid type: string \"state\", expected internally tagged enum GraphCheckpointFactory");
  EXPECT_EQ(node_field_error("terminal", 1.5),
            "invalid type: floating point `1.5`, expected internally tagged enum GraphCheckpointTerminal");
  EXPECT_EQ(node_field_error("value", Json::parse(R"({"kind":1})")), "invalid type: integer `1`, expected variant identifier");
  EXPECT_EQ(node_field_error("value", Json::array({nullptr})), "invalid type: null, expected variant identifier");
  EXPECT_EQ(node_field_error("id", true), "invalid type: boolean `true`, expected a string");
  EXPECT_EQ(node_field_error("name", 7), "invalid type: integer `7`, expected a string");
  EXPECT_EQ(node_field_error("status", Json::array()), "invalid type: sequence, expected a string");
  EXPECT_EQ(node_field_error("meta", Json::array()), "invalid type: sequence, expected a map");
  EXPECT_EQ(node_field_error("meta", "m"), "invalid type: string \"m\", expected a map");
  EXPECT_EQ(node_field_error("lifecycle", Json::parse(R"({"activated":"yes","hasCalledFnOnce":false})")),
            "invalid type: string \"yes\", expected a boolean");
  EXPECT_EQ(node_field_error("lifecycle", nullptr), "invalid type: null, expected struct GraphCheckpointLifecycle");
  EXPECT_EQ(node_field_error("ctxState", -2), "invalid type: integer `-2`, expected struct GraphCheckpointCtxState");
  EXPECT_EQ(node_field_error("ctxState", Json::parse(R"({"persist":null,"value":{"kind":"SENTINEL"}})")),
            "invalid type: null, expected a boolean");
  EXPECT_EQ(node_field_error("factory", Json::parse(R"({"kind":"registry-ref","ref":{}})")),
            "invalid type: map, expected a string");
  EXPECT_EQ(node_field_error("factory", Json::parse(R"({"kind":"local-only","name":"n","reason":false})")),
            "invalid type: boolean `false`, expected a string");
  Json bad_node = root_json(Json::array({"n"}));
  EXPECT_EQ(read_error(bad_node), "invalid type: string \"n\", expected struct GraphCheckpointNode");
  Json bad_edge = root_json();
  bad_edge["edges"] = Json::array({false});
  EXPECT_EQ(read_error(bad_edge), "invalid type: boolean `false`, expected struct GraphCheckpointEdge");
  Json bad_mount = root_json();
  bad_mount["mounts"] = Json::array({Json::object()});
  bad_mount["mounts"][0] = 3;
  EXPECT_EQ(read_error(bad_mount), "invalid type: integer `3`, expected struct GraphCheckpointMount");
  Json mounts_map = root_json();
  mounts_map["mounts"] = Json::object();
  EXPECT_EQ(read_error(mounts_map), "invalid type: map, expected a sequence");
  Json version_num = root_json();
  version_num["version"] = 1;
  EXPECT_EQ(read_error(version_num), "invalid type: integer `1`, expected a string");
}

TEST(CheckpointRead, UnknownVariants) {
  EXPECT_EQ(node_field_error("value", Json::parse(R"({"kind":"data","data":1})")),
            "unknown variant `data`, expected `SENTINEL` or `DATA`");
  EXPECT_EQ(node_field_error("terminal", Json::parse(R"({"kind":"Error","error":"x"})")),
            "unknown variant `Error`, expected one of `none`, `COMPLETE`, `ERROR`");
  EXPECT_EQ(node_field_error("factory", Json::parse(R"({"kind":"registry_ref","ref":"x"})")),
            "unknown variant `registry_ref`, expected `registry-ref` or `local-only`");
  EXPECT_EQ(node_field_error("factory", Json::array({"", "x"})),
            "unknown variant ``, expected `registry-ref` or `local-only`");
  // The tag is judged before the variant's fields.
  EXPECT_EQ(node_field_error("value", Json::parse(R"({"kind":"NOPE"})")),
            "unknown variant `NOPE`, expected `SENTINEL` or `DATA`");
}

TEST(CheckpointRead, ArrayForms) {
  Json root = Json::array({"korvalinth.checkpoint.v1", nullptr, Json::array({node_json()}), Json::array(), nullptr});
  GraphCheckpoint cp = read_ok(root);
  EXPECT_EQ(cp, read_ok(root_json(Json::array({node_json()}))));
  EXPECT_EQ(read_error(Json::array({"v", nullptr, Json::array(), Json::array()})),
            "invalid length 4, expected struct GraphCheckpoint with 5 elements");
  EXPECT_EQ(read_error(Json::array({"v", nullptr, Json::array(), Json::array(), nullptr, 1})),
            "invalid length 6, expected fewer elements in array");
  // Element errors come before the length check.
  EXPECT_EQ(read_error(Json::array({1})), "invalid type: integer `1`, expected a string");
  EXPECT_EQ(read_error(Json::array({"v", 2, Json::array(), Json::array(), nullptr, 1})),
            "invalid type: integer `2`, expected a string");

  // A node in array form, every field positional.
  Json n = node_json();
  Json node_array = Json::array({"n", "name", n["factory"], "settled", Json::array({"d"}), n["value"], nullptr,
                                 nullptr, n["terminal"], n["lifecycle"], n["ctxState"], nullptr});
  GraphCheckpoint with_array_node = read_ok(root_json(Json::array({node_array})));
  EXPECT_EQ(with_array_node.nodes[0].name, "name");
  EXPECT_EQ(with_array_node.nodes[0].deps, std::vector<std::string>{"d"});
  node_array.erase(11);
  EXPECT_EQ(read_error(root_json(Json::array({node_array}))),
            "invalid length 11, expected struct GraphCheckpointNode with 12 elements");

  Json edges = root_json();
  edges["edges"] = Json::array({Json::array({"a", "b"})});
  EXPECT_EQ(read_ok(edges).edges[0], (GraphCheckpointEdge{"a", "b"}));
  edges["edges"] = Json::array({Json::array({"a"})});
  EXPECT_EQ(read_error(edges), "invalid length 1, expected struct GraphCheckpointEdge with 2 elements");
  edges["edges"] = Json::array({Json::array({"a", "b", "c"})});
  EXPECT_EQ(read_error(edges), "invalid length 3, expected fewer elements in array");
  Json mounts = root_json();
  mounts["mounts"] = Json::array({Json::array({"m"})});
  EXPECT_EQ(read_error(mounts), "invalid length 1, expected struct GraphCheckpointMount with 2 elements");
  EXPECT_EQ(node_field_error("ctxState", Json::array({true})),
            "invalid length 1, expected struct GraphCheckpointCtxState with 2 elements");
  EXPECT_EQ(node_field_error("lifecycle", Json::array()),
            "invalid length 0, expected struct GraphCheckpointLifecycle with 2 elements");
}

TEST(CheckpointRead, TaggedArrayForms) {
  auto value_of = [](Json v) {
    Json node = node_json();
    node["value"] = std::move(v);
    return read_ok(root_json(Json::array({node}))).nodes[0].value;
  };
  EXPECT_EQ(value_of(Json::array({"DATA", 7})), GraphCheckpointValue::of_data(Json(7)));
  EXPECT_EQ(value_of(Json::array({"DATA", nullptr})), GraphCheckpointValue::of_data(Json(nullptr)));
  EXPECT_EQ(value_of(Json::array({"SENTINEL"})), GraphCheckpointValue::sentinel());
  EXPECT_EQ(node_field_error("value", Json::array({"SENTINEL", 1})), "invalid length 1, expected 0 elements in sequence");
  EXPECT_EQ(node_field_error("value", Json::array({"DATA"})),
            "invalid length 0, expected struct variant GraphCheckpointValue::Data with 1 element");
  EXPECT_EQ(node_field_error("value", Json::array({"DATA", 1, 2})), "invalid length 2, expected 1 element in sequence");
  EXPECT_EQ(node_field_error("terminal", Json::array({"COMPLETE", 1, 2})),
            "invalid length 2, expected 0 elements in sequence");
  EXPECT_EQ(node_field_error("terminal", Json::array({"ERROR"})),
            "invalid length 0, expected struct variant GraphCheckpointTerminal::Error with 1 element");
  EXPECT_EQ(node_field_error("factory", Json::array({"registry-ref", "r"})),
            "invalid length 1, expected struct variant GraphCheckpointFactory::RegistryRef with 3 elements");
  EXPECT_EQ(node_field_error("factory", Json::array({"registry-ref", "r", nullptr, nullptr, 5})),
            "invalid length 4, expected 3 elements in sequence");
  EXPECT_EQ(node_field_error("factory", Json::array({"local-only", "n"})),
            "invalid length 1, expected struct variant GraphCheckpointFactory::LocalOnly with 2 elements");
  EXPECT_EQ(node_field_error("factory", Json::array({"local-only", "n", "r", "x"})),
            "invalid length 3, expected 2 elements in sequence");
  EXPECT_EQ(node_field_error("factory", Json::array({"registry-ref", 1, nullptr, nullptr})),
            "invalid type: integer `1`, expected a string");

  Json node = node_json();
  node["factory"] = Json::array({"registry-ref", "double", Json::object({{"factor", 2}}), nullptr});
  node["terminal"] = Json::array({"ERROR", "boom"});
  GraphCheckpointNode read = read_ok(root_json(Json::array({node}))).nodes[0];
  EXPECT_EQ(read.factory, GraphCheckpointFactory::registry_ref("double", Json::object({{"factor", 2}})));
  EXPECT_EQ(read.terminal, GraphCheckpointTerminal::of_error(Json("boom")));
}

TEST(CheckpointRead, OptionalFieldsNullsAndUnknownKeys) {
  Json root = root_json(Json::array({node_json()}));
  GraphCheckpoint plain = read_ok(root);
  EXPECT_FALSE(plain.name.has_value());
  EXPECT_FALSE(plain.mounts.has_value());
  root["name"] = nullptr;
  root["mounts"] = nullptr;
  root["zzz"] = Json::array({1, 2});
  EXPECT_EQ(read_ok(root), plain);
  Json written = serialize_checkpoint(read_ok(root));
  EXPECT_FALSE(written.contains("name"));
  EXPECT_FALSE(written.contains("mounts"));
  EXPECT_FALSE(written.contains("zzz"));

  Json node = node_json();
  for (const char* key : {"name", "backendState", "version", "meta"}) node[key] = nullptr;
  node["extra"] = "dropped";
  node["factory"] = Json::parse(R"({"kind":"registry-ref","ref":"r","config":null,"configVersion":null,"x":1})");
  node["value"] = Json::parse(R"({"kind":"SENTINEL","data":5})");
  node["terminal"] = Json::parse(R"({"kind":"COMPLETE","error":[1]})");
  node["lifecycle"] = Json::parse(R"({"activated":true,"hasCalledFnOnce":true,"other":null})");
  GraphCheckpointNode n = read_ok(root_json(Json::array({node}))).nodes[0];
  EXPECT_FALSE(n.name || n.backend_state || n.version || n.meta);
  EXPECT_EQ(n.factory, GraphCheckpointFactory::registry_ref("r"));
  EXPECT_EQ(n.value, GraphCheckpointValue::sentinel());
  EXPECT_EQ(n.terminal, GraphCheckpointTerminal::complete());
  EXPECT_EQ(n.lifecycle, (GraphCheckpointLifecycle{true, true}));
  EXPECT_FALSE(serialize_checkpoint_node(n).contains("extra"));

  // DATA with a null is a held null, not a sentinel.
  Json held = node_json();
  held["value"] = Json::parse(R"({"kind":"DATA","data":null})");
  EXPECT_EQ(read_ok(root_json(Json::array({held}))).nodes[0].value, GraphCheckpointValue::of_data(Json(nullptr)));

  // Keys inside JSON-valued fields belong to the value and are kept.
  Json meta = node_json();
  meta["meta"] = Json::parse(R"({"k":"v","n":1})");
  meta["backendState"] = Json::parse(R"({"unknown":true})");
  GraphCheckpointNode m = read_ok(root_json(Json::array({meta}))).nodes[0];
  EXPECT_EQ(Json(*m.meta), Json::parse(R"({"k":"v","n":1})"));
  EXPECT_EQ(*m.backend_state, Json::parse(R"({"unknown":true})"));
}

TEST(CheckpointWrite, PresentNullsAreWrittenAndReadBackAbsent) {
  GraphCheckpointNode n;
  n.id = "a";
  n.status = "settled";
  n.backend_state = Json(nullptr);
  n.version = Json(nullptr);
  n.factory = GraphCheckpointFactory::registry_ref("r", Json(nullptr), Json(nullptr));
  Json written = serialize_checkpoint_node(n);
  EXPECT_TRUE(written.at("backendState").is_null());
  EXPECT_TRUE(written.at("version").is_null());
  EXPECT_TRUE(written.at("factory").at("config").is_null());
  EXPECT_TRUE(written.at("factory").at("configVersion").is_null());
  GraphCheckpoint cp{"korvalinth.checkpoint.v1", std::nullopt, {n}, {}, std::nullopt};
  GraphCheckpointNode back = read_ok(serialize_checkpoint(cp)).nodes[0];
  EXPECT_FALSE(back.backend_state.has_value());
  EXPECT_FALSE(back.version.has_value());
  EXPECT_EQ(back.factory, GraphCheckpointFactory::registry_ref("r"));
}

TEST(CheckpointWrite, WorkedExampleKeyOrderAndRoundTrip) {
  GraphCheckpointNode count;
  count.id = "count";
  count.name = "count";
  count.factory = GraphCheckpointFactory::registry_ref("state");
  count.status = "settled";
  count.value = GraphCheckpointValue::of_data(Json(2));
  count.lifecycle = {true, false};
  GraphCheckpointNode doubled = count;
  doubled.id = doubled.name.emplace("doubled");
  doubled.factory = GraphCheckpointFactory::registry_ref("double", Json::object({{"factor", 2}}));
  doubled.deps = {"count"};
  doubled.value = GraphCheckpointValue::of_data(Json(4));
  doubled.lifecycle = {true, true};
  GraphCheckpoint cp{"korvalinth.checkpoint.v1", "demo", {count, doubled}, {{"count", "doubled"}}, std::nullopt};

  Json written = serialize_checkpoint(cp);
  EXPECT_EQ(keys_of(written), (std::vector<std::string>{"edges", "name", "nodes", "version"}));
  EXPECT_EQ(written.dump(),
            R"({"edges":[{"from":"count","to":"doubled"}],"name":"demo","nodes":[)"
            R"({"ctxState":{"persist":false,"value":{"kind":"SENTINEL"}},"deps":[],)"
            R"("factory":{"kind":"registry-ref","ref":"state"},"id":"count",)"
            R"("lifecycle":{"activated":true,"hasCalledFnOnce":false},"name":"count","status":"settled",)"
            R"("terminal":{"kind":"none"},"value":{"data":2,"kind":"DATA"}},)"
            R"({"ctxState":{"persist":false,"value":{"kind":"SENTINEL"}},"deps":["count"],)"
            R"("factory":{"config":{"factor":2},"kind":"registry-ref","ref":"double"},"id":"doubled",)"
            R"("lifecycle":{"activated":true,"hasCalledFnOnce":true},"name":"doubled","status":"settled",)"
            R"("terminal":{"kind":"none"},"value":{"data":4,"kind":"DATA"}}],"version":"korvalinth.checkpoint.v1"})");
  EXPECT_EQ(read_ok(written), cp);

  // Every optional key present: the full node key order.
  GraphCheckpointNode full = doubled;
  full.backend_state = Json(1);
  full.version = Json::object({{"level", 0}, {"counter", 1}});
  full.meta = CheckpointMeta{{"b", "2"}, {"a", "1"}};
  full.terminal = GraphCheckpointTerminal::of_error(Json("e"));
  full.factory.config_version = Json(3);
  Json node = serialize_checkpoint_node(full);
  EXPECT_EQ(keys_of(node),
            (std::vector<std::string>{"backendState", "ctxState", "deps", "factory", "id", "lifecycle", "meta", "name",
                                      "status", "terminal", "value", "version"}));
  EXPECT_EQ(keys_of(node["factory"]), (std::vector<std::string>{"config", "configVersion", "kind", "ref"}));
  EXPECT_EQ(keys_of(node["terminal"]), (std::vector<std::string>{"error", "kind"}));
  EXPECT_EQ(keys_of(node["meta"]), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(keys_of(serialize_checkpoint_node(
                []{ GraphCheckpointNode l; l.factory = GraphCheckpointFactory::local_only("derived", "why"); return l; }())
                ["factory"]),
            (std::vector<std::string>{"kind", "name", "reason"}));

  // Mounts nest in the same form; a reordered, extended input reads the same.
  GraphCheckpoint parent{"korvalinth.checkpoint.v1", std::nullopt, {full}, {}, std::vector<GraphCheckpointMount>{}};
  parent.mounts->push_back(GraphCheckpointMount{"child", cp});
  Json parent_json = serialize_checkpoint(parent);
  EXPECT_EQ(keys_of(parent_json), (std::vector<std::string>{"edges", "mounts", "nodes", "version"}));
  EXPECT_EQ(keys_of(parent_json["mounts"][0]), (std::vector<std::string>{"at", "checkpoint"}));
  parent_json["mounts"][0]["checkpoint"]["unknown"] = 1;
  EXPECT_EQ(read_ok(parent_json), parent);
  GraphCheckpoint empty_mounts{"v", std::nullopt, {}, {}, std::vector<GraphCheckpointMount>{}};
  EXPECT_EQ(read_ok(serialize_checkpoint(empty_mounts)), empty_mounts);
}

TEST(CheckpointRead, NestedMountErrorsCarryNoPath) {
  Json child = root_json();
  child["edges"] = Json::array({Json::object({{"from", "a"}, {"to", 1}})});
  Json root = root_json();
  root["mounts"] = Json::array({Json::object({{"at", "m"}, {"checkpoint", child}})});
  EXPECT_EQ(read_error(root), "invalid type: integer `1`, expected a string");
}

TEST(CheckpointRead, DepthIsBoundedBeforeAnyWalk) {
  auto with_data_depth = [](int levels) {
    Json data = Json(1);
    for (int i = 0; i < levels; ++i) data = Json::array({std::move(data)});
    Json node = node_json();
    node["value"] = Json::object({{"kind", "DATA"}, {"data", std::move(data)}});
    // Moved, never copied: copying a tree this deep is what the reader guards against.
    Json nodes = Json::array();
    nodes.push_back(std::move(node));
    return root_json(std::move(nodes));
  };
  // root > nodes > node > value > data: the data tree starts at depth 4.
  EXPECT_TRUE(deserialize_checkpoint(with_data_depth(kCheckpointReadMaxDepth - 4)).has_value());
  EXPECT_EQ(read_error(with_data_depth(kCheckpointReadMaxDepth - 3)), "recursion limit exceeded");
  EXPECT_EQ(read_error(with_data_depth(300000)), "recursion limit exceeded");

  Json deep_mounts = root_json();
  for (int i = 0; i < 1000; ++i) {
    Json mount = Json::object();
    mount["at"] = "m";
    mount["checkpoint"] = std::move(deep_mounts);
    Json outer = root_json();
    outer["mounts"] = Json::array();
    outer["mounts"].push_back(std::move(mount));
    deep_mounts = std::move(outer);
  }
  EXPECT_EQ(read_error(deep_mounts), "recursion limit exceeded");
}
