#include <gtest/gtest.h>

#include "checkpoint_test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// create() of the registry's descriptor for ref on one record.
RestoreOutcome create_with(const std::string& ref, const Json& record_json, const RestoreRegistry& registry) {
  GraphCheckpointNode record = *deserialize_checkpoint(checkpoint_record({record_json}))->nodes.begin();
  const GraphCheckpointFactory& f = record.factory;
  RestoreCreateRequest request{record.id,
                               record.deps,
                               record,
                               registry,
                               f.config ? &*f.config : nullptr,
                               f.config_version ? &*f.config_version : nullptr};
  return std::get<SharedRestoreDescriptor>(registry.at(ref))->create(request);
}

std::string failure_of(const RestoreOutcome& o) {
  const auto* f = std::get_if<RestoreFailure>(&o);
  return f ? f->text : "<no failure>";
}

Json map_record(const std::string& id, std::vector<std::string> deps, std::optional<Json> config,
                std::optional<Json> config_version = std::nullopt) {
  Json n = node_record(id, std::move(deps), "map");
  if (config) n["factory"]["config"] = *config;
  if (config_version) n["factory"]["configVersion"] = *config_version;
  return n;
}

// Records DATA payloads as JSON and ERROR texts.
struct JsonLog final : Sink {
  std::vector<std::string> log;
  void call(const Message& m) override {
    if (m.kind() == MessageKind::Data) log.push_back(json_of(m.value()).dump());
    if (m.kind() == MessageKind::Error) log.push_back("ERROR " + m.error_value()->display());
  }
};

}  // namespace

TEST(RestoreDescriptors, StateDescriptorRefusals) {
  const RestoreRegistry r = builtin_registry();
  Json with_dep = node_record("s", {"a"});
  with_dep["factory"]["config"] = Json::object();
  EXPECT_EQ(failure_of(create_with("state", with_dep, r)), "restore_graph: state node 's' cannot restore deps");
  Json with_config = node_record("s");
  with_config["factory"]["config"] = Json::object();
  with_config["factory"]["configVersion"] = 1;
  EXPECT_EQ(failure_of(create_with("state", with_config, r)),
            "restore_graph: built-in state descriptor does not accept config");
  Json with_version = node_record("s");
  with_version["factory"]["configVersion"] = 1;
  EXPECT_EQ(failure_of(create_with("state", with_version, r)),
            "restore_graph: built-in state descriptor does not accept configVersion");
  Json bad_meta = node_record("s");
  bad_meta["meta"] = Json{{"a", "fine"}, {"k", 1}, {"z", true}};
  EXPECT_EQ(failure_of(create_with("state", bad_meta, r)), "restore_graph: node 's' meta field 'k' must be a string");
  for (Json v : {Json(nullptr), Json::array(), Json::object(), Json(false), Json(1.5)}) {
    Json m = node_record("s");
    m["meta"] = Json{{"q", v}};
    EXPECT_EQ(failure_of(create_with("state", m, r)), "restore_graph: node 's' meta field 'q' must be a string");
  }
}

TEST(RestoreDescriptors, StateDescriptorRequestsAStateNode) {
  const RestoreRegistry r = builtin_registry();
  Json n = node_record("s");
  n["name"] = "given";
  n["meta"] = Json{{"k", "v"}, {"a", "b"}};
  RestoreOutcome o = create_with("state", n, r);
  auto* request = std::get_if<StateNodeRequest>(&o);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->kind, "state");
  EXPECT_EQ(request->options.name, "given");
  EXPECT_EQ(request->options.metadata, (std::map<std::string, std::string>{{"a", "b"}, {"k", "v"}}));
  ASSERT_TRUE(request->options.restore);
  EXPECT_EQ(request->options.restore->ref, "state");
  EXPECT_FALSE(request->options.restore->config);
  EXPECT_EQ(request->options.versioning.choice, VersioningForm::Choice::GraphPolicy);
  EXPECT_FALSE(request->options.pull_id);

  // Built by restore: no deps, no function, no value before its state is
  // installed; registered as "state" under the id with the record's name.
  auto g = GraphContainer::create("g");
  NodeHandle h = restore_state_node(*g, "s", std::move(request->options));
  {
    auto a = g->core()->borrow();
    EXPECT_TRUE(a->topology_at(h.index()).deps.empty());
    EXPECT_FALSE(a->call_at(h.index()).key);
    EXPECT_FALSE(a->edge_at(h.index()).cache);
    EXPECT_EQ(a->edge_at(h.index()).state.status(), NodeStatus::Sentinel);
  }
  const auto rows = g->node_table().borrow();
  EXPECT_EQ((*rows)[0].id(), "s");
  EXPECT_EQ((*rows)[0].kind, "state");
  EXPECT_EQ((*rows)[0].name(), "given");
  EXPECT_EQ((*rows)[0].metadata().at("k"), "v");
}

TEST(RestoreDescriptors, MapDescriptorRefusalsInOrder) {
  RestoreRegistry r = builtin_registry();
  const Json fn_double{{"fn", "double"}};
  EXPECT_EQ(failure_of(create_with("map", map_record("m", {"a", "b"}, fn_double), r)),
            "restore_graph: map node 'm' requires exactly one dep");
  EXPECT_EQ(failure_of(create_with("map", map_record("m", {}, std::nullopt), r)),
            "restore_graph: map node 'm' requires exactly one dep");
  EXPECT_EQ(failure_of(create_with("map", map_record("m", {"a"}, Json::array({1})), r)),
            "restore_graph: 'map' descriptor requires object config");
  EXPECT_EQ(failure_of(create_with("map", map_record("m", {"a"}, std::nullopt), r)),
            "restore_graph: 'map' descriptor requires object config");
  EXPECT_EQ(failure_of(create_with("map", map_record("m", {"a"}, Json{{"fn", "nowhere"}}, Json(1)), r)),
            "restore_graph: built-in map descriptor does not accept configVersion");
  EXPECT_EQ(failure_of(create_with("map", map_record("m", {"a"}, Json{{"fn", 1}}), r)),
            "restore_graph: 'map' config.fn must be a string definition ref");
  EXPECT_EQ(failure_of(create_with("map", map_record("m", {"a"}, Json{{"other", "double"}}), r)),
            "restore_graph: 'map' config.fn must be a string definition ref");
  EXPECT_EQ(failure_of(create_with("map", map_record("m", {"a"}, Json{{"fn", "nowhere"}}), r)),
            "restore_graph: missing function definition for 'nowhere' (node 'm')");
  EXPECT_EQ(failure_of(create_with("map", map_record("m", {"a"}, Json{{"fn", "state"}}), r)),
            "restore_graph: missing function definition for 'state' (node 'm')");
  Json bad_meta = map_record("m", {"a"}, fn_double);
  bad_meta["meta"] = Json{{"k", Json::array()}};
  EXPECT_EQ(failure_of(create_with("map", bad_meta, r)), "restore_graph: node 'm' meta field 'k' must be a string");

  RestoreOutcome ok = create_with("map", map_record("m", {"a"}, Json{{"fn", "double"}, {"ignored", 1}}), r);
  auto* computed = std::get_if<ComputedNodeRequest>(&ok);
  ASSERT_NE(computed, nullptr);
  EXPECT_EQ(computed->kind, "map");
  EXPECT_EQ(computed->options.restore->config, (Json{{"fn", "double"}, {"ignored", 1}}));
  auto* fn = dynamic_cast<BuiltinMapNodeFn*>(computed->fn.get());
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(fn->definition().name, "double");
}

TEST(RestoreDescriptors, MapNodeMapsEachJsonValueOnce) {
  auto g = GraphContainer::create("g");
  NodeHandle src = add_json_state(g, "src", Json(1));
  NodeHandle m = add_map_node(g, "m", src, "double", double_json);
  auto log = std::make_shared<JsonLog>();
  UnsubscribeFn sub = node_subscribe(m, log);
  EXPECT_EQ(log->log, L({"2"}));
  node_set(src, jv(21));
  EXPECT_EQ(log->log, L({"2", "42"}));
  // Values of other types are skipped without a call.
  node_set(src, make_value<std::string>("python-held"));
  EXPECT_EQ(log->log, L({"2", "42"}));
  // A definition's error text is the fault's exact text.
  node_set(src, jv("x"));
  EXPECT_EQ(log->log, L({"2", "42", "ERROR double: not an integer"}));
}

TEST(RestoreDescriptors, MapNodeSeparatesValuesOfOneWave) {
  auto g = GraphContainer::create("g");
  NodeHandle src = add_json_state(g, "src");
  NodeHandle m = add_fn_node(g, "m", deps_of({&src}), fn_of([](RunContext&) {}));
  auto log = std::make_shared<JsonLog>();
  UnsubscribeFn sub = node_subscribe(m, log);
  int calls = 0;
  BuiltinMapNodeFn fn(definition_of("x10", [&](const Json& v) -> std::expected<Json, std::string> {
    // Every value is collected before the first call.
    ++calls;
    return Json(v.get<int>() * 10);
  }));
  RunContext ctx;
  ctx.node = m.uncounted();
  ctx.inputs.emplace_back();
  WaveDeliveries& lists = ctx.inputs[0].deliveries_mut();
  lists.open_list();
  lists.push(jv(1));
  lists.push(jv(2));
  lists.open_list();
  lists.push(make_value<std::string>("skipped"));
  lists.push(nullptr);
  lists.push(jv(3));
  fn.run(ctx);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(log->log, L({"10", "20", "30"}));
  EXPECT_EQ(json_of(cache_of(m)), 30);
}
