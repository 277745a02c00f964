#include <gtest/gtest.h>

#include "checkpoint/restore_prepare.hpp"
#include "checkpoint_test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

std::string prepare_error(const Json& checkpoint, const RestoreRegistry& registry = builtin_registry()) {
  auto read = deserialize_checkpoint(checkpoint);
  EXPECT_TRUE(read.has_value()) << (read ? "" : read.error());
  if (!read) return "<unreadable>";
  auto r = restore_graph_prepare(*read, registry, "checkpoint", std::nullopt);
  EXPECT_FALSE(r.has_value()) << checkpoint.dump();
  return r ? std::string("<prepared>") : r.error();
}

PreparedCheckpoint prepare_ok(const Json& checkpoint, const RestoreRegistry& registry = builtin_registry()) {
  auto read = deserialize_checkpoint(checkpoint);
  EXPECT_TRUE(read.has_value());
  auto r = restore_graph_prepare(*read, registry, "checkpoint", std::nullopt);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
  return r ? std::move(*r) : PreparedCheckpoint{};
}

Json with_mount(Json root, const std::string& at, Json child) {
  root["mounts"].push_back(Json{{"at", at}, {"checkpoint", std::move(child)}});
  return root;
}

}  // namespace

TEST(RestorePrepare, FormatIdIsExact) {
  Json c = checkpoint_record({});
  for (const char* v : {"korvalinth.checkpoint.v2", "korvalinth.checkpoint.v1 ", "", "KORVALINTH.checkpoint.v1"}) {
    c["version"] = v;
    EXPECT_EQ(prepare_error(c), "restore_graph: unsupported checkpoint version at checkpoint") << v;
  }
  Json bad_child = checkpoint_record({});
  bad_child["version"] = "x";
  EXPECT_EQ(prepare_error(with_mount(checkpoint_record({}), "sub", bad_child)),
            "restore_graph: unsupported checkpoint version at checkpoint.mounts.sub");
  Json deeper = with_mount(checkpoint_record({}), "a", with_mount(checkpoint_record({}), "b", bad_child));
  EXPECT_EQ(prepare_error(deeper), "restore_graph: unsupported checkpoint version at checkpoint.mounts.a.mounts.b");
}

TEST(RestorePrepare, EmptyCheckpointAndPairedDescriptors) {
  PreparedCheckpoint empty = prepare_ok(checkpoint_record({}, "g"));
  EXPECT_TRUE(empty.nodes.empty());
  EXPECT_EQ(empty.checkpoint.name, "g");

  Json one_edge = checkpoint_record({});
  one_edge["edges"].push_back(Json{{"from", "a"}, {"to", "zz"}});
  EXPECT_EQ(prepare_error(one_edge), "restore_graph: edge 'a' -> 'zz' references a missing node");

  RestoreRegistry registry = builtin_registry();
  PreparedCheckpoint p = prepare_ok(checkpoint_record({node_record("b"), node_record("a", {"b", "b"})}), registry);
  ASSERT_EQ(p.nodes.size(), 2u);
  EXPECT_EQ(p.nodes.begin()->first, "a");  // ordered by id
  EXPECT_EQ(p.nodes.at("a").deps, (std::vector<std::string>{"b", "b"}));
  EXPECT_EQ(p.nodes.at("a").descriptor, std::get<SharedRestoreDescriptor>(registry.at("state")));
}

TEST(RestorePrepare, NodeRecordRefusalsInOrder) {
  // A repeated id is refused before its own factory or status is looked at.
  Json dup = node_record("a");
  dup["status"] = "bogus";
  EXPECT_EQ(prepare_error(checkpoint_record({node_record("a"), dup})), "restore_graph: duplicate node id 'a'");

  Json local = node_record("l");
  local["factory"] = Json{{"kind", "local-only"}, {"name", "effect"}, {"reason", "why not"}};
  local["status"] = "bogus";
  EXPECT_EQ(prepare_error(checkpoint_record({local})), "restore_graph: node 'l' uses local-only factory 'effect' (why not)");

  RestoreRegistry without_builtins;
  add_function_definition(without_builtins, "state", double_json);
  EXPECT_EQ(prepare_error(checkpoint_record({node_record("s")}), RestoreRegistry{}),
            "restore_graph: missing registry descriptor for 'state' (node 's')");
  // A ref naming a function definition is no descriptor.
  EXPECT_EQ(prepare_error(checkpoint_record({node_record("s")}), without_builtins),
            "restore_graph: missing registry descriptor for 'state' (node 's')");

  for (const char* s : {"Settled", "settle", "", "settled "}) {
    Json n = node_record("n");
    n["status"] = s;
    EXPECT_EQ(prepare_error(checkpoint_record({n})), std::string("restore_graph: node 'n' has invalid status '") + s + "'");
  }
  for (const char* s : {"pending", "dirty"}) {
    Json n = node_record("n");
    n["status"] = s;
    EXPECT_EQ(prepare_error(checkpoint_record({n})),
              std::string("restore_graph: node 'n' has non-quiescent status '") + s +
                  "' that cannot be checkpoint-restored yet");
  }
  for (const char* s : {"sentinel", "settled", "resolved", "completed", "errored"}) {
    Json n = node_record("n");
    n["status"] = s;
    prepare_ok(checkpoint_record({n}));
  }
}

TEST(RestorePrepare, CarriedJsonIsStrictInFieldOrder) {
  Json n = node_record("a");
  n["value"] = Json{{"kind", "DATA"}, {"data", -0.0}};
  EXPECT_EQ(prepare_error(checkpoint_record({n})),
            "checkpoint: strictJsonCodec: JSON number at a.value is not strict canonical JSON compatible");
  n["factory"]["config"] = Json{{"x", Json::array({1, -0.0})}};
  EXPECT_EQ(prepare_error(checkpoint_record({n})),
            "checkpoint: strictJsonCodec: JSON number at a.factory.config.x[1] is not strict canonical JSON compatible");

  struct Case {
    const char* member;
    Json holder;
    const char* path;
  };
  const Json big = Json(9007199254740992ULL);
  const Case cases[] = {
      {"configVersion", big, "a.factory.configVersion"},
      {"ctxState", Json{{"persist", false}, {"value", {{"kind", "DATA"}, {"data", big}}}}, "a.ctxState"},
      {"backendState", Json{{"k", big}}, "a.backendState.k"},
      {"terminal", Json{{"kind", "ERROR"}, {"error", big}}, "a.terminal.error"},
      {"meta", Json{{"b", "ok"}, {"k", big}}, "a.meta.k"},
  };
  for (const Case& c : cases) {
    Json m = node_record("a");
    if (std::string(c.member) == "configVersion")
      m["factory"]["configVersion"] = c.holder;
    else
      m[c.member] = c.holder;
    EXPECT_EQ(prepare_error(checkpoint_record({m})),
              std::string("checkpoint: strictJsonCodec: JSON integer at ") + c.path + " is outside the safe integer range");
  }
  // A meta value that is strict JSON but no string passes this phase.
  Json meta = node_record("a");
  meta["meta"] = Json{{"k", 1}};
  prepare_ok(checkpoint_record({meta}));
}

TEST(RestorePrepare, VersionObjects) {
  auto version_error = [](Json version) {
    Json n = node_record("a");
    n["version"] = std::move(version);
    return prepare_error(checkpoint_record({n}));
  };
  EXPECT_EQ(version_error(Json{{"level", 0}}), "restore_graph: a.version has unexpected node version fields");
  EXPECT_EQ(version_error(Json{{"level", 0}, {"counter", -1}}),
            "restore_graph: a.version.counter must be a non-negative safe integer");
  EXPECT_EQ(version_error(Json{{"level", 0}, {"counter", 3.5}}),
            "restore_graph: a.version.counter must be a non-negative safe integer");
  // 2^53 is no strict JSON, which the decoder checks first.
  EXPECT_EQ(version_error(Json{{"level", 0}, {"counter", 9007199254740992ULL}}),
            "restore_graph: node version metadata is not strict canonical JSON compatible (D112): "
            "strictJsonCodec: JSON integer at a.version.counter is outside the safe integer range");
  EXPECT_EQ(version_error(Json{{"level", 1}, {"counter", 0}, {"cid", "c"}, {"prev", "p"}}),
            "restore_graph: a.version.prev must be null when counter is 0");
  EXPECT_EQ(version_error(Json{{"level", 1.0}, {"counter", 0}}), "restore_graph: a.version.level must be 0 or 1");
  EXPECT_EQ(version_error(Json("v")), "restore_graph: a.version must be an object");
  EXPECT_EQ(version_error(Json{{"level", 0}, {"counter", -0.0}}),
            "restore_graph: node version metadata is not strict canonical JSON compatible (D112): "
            "strictJsonCodec: JSON number at a.version.counter is not strict canonical JSON compatible");
  Json ok = node_record("a");
  ok["version"] = Json{{"level", 0}, {"counter", 3}};
  prepare_ok(checkpoint_record({ok}));
}

TEST(RestorePrepare, DepsAndEdgesDescribeTheSameLinks) {
  Json a = node_record("a");
  Json b = node_record("b", {"a"});
  Json c = node_record("c");
  EXPECT_EQ(prepare_error(checkpoint_record({node_record("x", {"nope"})})), "restore_graph: node 'x' has missing dep 'nope'");

  Json no_edges = checkpoint_record({a, b});
  no_edges["edges"] = Json::array();
  EXPECT_EQ(prepare_error(no_edges), "restore_graph: node 'b' dep 'a' is missing its edge");

  Json twice = checkpoint_record({a, b});
  twice["edges"].push_back(Json{{"from", "a"}, {"to", "b"}});
  EXPECT_EQ(prepare_error(twice), "restore_graph: duplicate edge 'a' -> 'b'");

  Json stray = checkpoint_record({a, b, c});
  stray["edges"].push_back(Json{{"from", "c"}, {"to", "b"}});
  EXPECT_EQ(prepare_error(stray), "restore_graph: edge 'c' -> 'b' is not present in target deps");
  Json ghost = checkpoint_record({a, b});
  ghost["edges"].push_back(Json{{"from", "ghost"}, {"to", "b"}});
  EXPECT_EQ(prepare_error(ghost), "restore_graph: edge 'ghost' -> 'b' is not present in target deps");

  // A dep named twice has, and needs, one edge.
  prepare_ok(checkpoint_record({a, node_record("d", {"a", "a"})}));
}

TEST(RestorePrepare, MountPaths) {
  Json empty_at = with_mount(checkpoint_record({}), "", checkpoint_record({}));
  EXPECT_EQ(prepare_error(empty_at), "restore_graph: mount path at checkpoint.mounts[] must not be empty");
  Json nested_empty = with_mount(checkpoint_record({}), "sub", empty_at);
  EXPECT_EQ(prepare_error(nested_empty), "restore_graph: mount path at checkpoint.mounts.sub.mounts[] must not be empty");
  Json twice = with_mount(with_mount(checkpoint_record({}), "m", checkpoint_record({})), "m", checkpoint_record({}));
  EXPECT_EQ(prepare_error(twice), "restore_graph: duplicate mount path 'm'");

  EXPECT_EQ(prepare_error(with_mount(checkpoint_record({}), "sub", checkpoint_record({node_record("sub::x")}))),
            "restore_graph: mounted checkpoint at 'sub' must use child-local node id 'x', not 'sub::x'");
  EXPECT_EQ(prepare_error(with_mount(checkpoint_record({}), "sub", checkpoint_record({node_record("sub::sub::a")}))),
            "restore_graph: mounted checkpoint at 'sub' must use child-local node id 'a', not 'sub::sub::a'");
  // Only the innermost mount path counts.
  Json inner = checkpoint_record({node_record("outer::x"), node_record("subx")});
  PreparedCheckpoint p = prepare_ok(with_mount(checkpoint_record({}), "outer", with_mount(checkpoint_record({}), "in", inner)));
  ASSERT_EQ(p.mounts.size(), 1u);
  EXPECT_EQ(p.mounts[0].first, "outer");
  EXPECT_EQ(p.mounts[0].second.mounts[0].second.nodes.size(), 2u);
  // Node texts in a child name the child-local id only.
  Json bad = node_record("x");
  bad["status"] = "pending";
  EXPECT_EQ(prepare_error(with_mount(checkpoint_record({}), "sub", checkpoint_record({bad}))),
            "restore_graph: node 'x' has non-quiescent status 'pending' that cannot be checkpoint-restored yet");
}

TEST(RestorePrepare, ParseCheckpointStatusNamesTheNode) {
  EXPECT_EQ(parse_checkpoint_status("completed", "n").value(), NodeStatus::Completed);
  EXPECT_EQ(parse_checkpoint_status("sentinel", "n").value(), NodeStatus::Sentinel);
  EXPECT_EQ(parse_checkpoint_status("PENDING", "n").error(), "restore_graph: node 'n' has invalid status 'PENDING'");
}
