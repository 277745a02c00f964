#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <unordered_set>
#include <vector>

#include "graph/graph_container.hpp"
#include "graph_test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

TEST(GraphRegistration, GeneratedIdsShareOneCounterAcrossKinds) {
  auto g = GraphContainer::create("g");
  NodeHandle a = add_state(g);
  NodeHandle b = add_node(g, {});
  NodeHandle c = add_state(g, "named");
  NodeHandle d = add_state(g);
  EXPECT_EQ(row_ids(g), (std::vector<std::string>{"state#0", "node#1", "named", "state#2"}));
  const auto rows = g->node_table().borrow();
  EXPECT_FALSE((*rows)[0].name());
  EXPECT_EQ((*rows)[2].name(), "named");
  EXPECT_EQ((*rows)[1].kind, "node");
  // A registered node is held once, by its id-map entry (its row refers to it).
  EXPECT_EQ(a.count()->count, 2u);
}

TEST(GraphRegistration, ExplicitNumbersRaiseTheCounterOnlyWhenWellFormed) {
  struct Case {
    const char* id;
    std::uint64_t counter;
  };
  const Case cases[] = {
      {"x#+5", 6},  {"x#-5", 0},    {"x#5a", 0}, {"x#", 0},    {"x", 0},    {"a#3#9", 10},
      {"a#9#x", 0}, {"x#+", 0},     {"x# 5", 0}, {"x#0", 1},   {"x#007", 8},
      {"x#18446744073709551616", 0},  // beyond 64 bits
      {"x#18446744073709551615", 0},  // would wrap the counter
  };
  for (const Case& c : cases) {
    auto g = GraphContainer::create(std::nullopt);
    add_state(g, c.id);
    EXPECT_EQ(g->unnamed_counter(), c.counter) << c.id;
  }
  // Only raised, never lowered; generated ids skip numbers taken by name.
  auto g = GraphContainer::create(std::nullopt);
  add_state(g, "state#0");
  add_state(g, "q#3");
  add_state(g, "q#1");
  EXPECT_EQ(g->unnamed_counter(), 4u);
  add_state(g);
  EXPECT_EQ(row_ids(g).back(), "state#4");
}

// A generated id is the kind, "#" and the counter in decimal, whatever the
// length of either.
TEST(GraphRegistration, GeneratedIdsSpellKindAndCounterAtEveryLength) {
  struct Case {
    const char* raise_with;  // a registered id that sets the counter
    const char* kind;
    const char* expected;
  };
  const Case cases[] = {
      {"x#8", "state", "state#9"},
      {"x#9", "state", "state#10"},
      {"x#18446744073709551613", "state", "state#18446744073709551614"},
      {"x#41", "a-kind-text-longer-than-a-short-string", "a-kind-text-longer-than-a-short-string#42"},
      {"x#18446744073709551613", "k", "k#18446744073709551614"},
  };
  for (const Case& c : cases) {
    auto g = GraphContainer::create(std::nullopt);
    add_state(g, c.raise_with);
    g->register_node(make_state(g->core()), c.kind, NodeOptions{});
    EXPECT_EQ(row_ids(g).back(), c.expected) << c.raise_with << " " << c.kind;
  }
}

TEST(GraphRegistration, AnExhaustedCounterFaultsInsteadOfRepeatingAnId) {
  auto g = GraphContainer::create(std::nullopt);
  add_state(g, "big#18446744073709551614");
  EXPECT_EQ(g->unnamed_counter(), std::numeric_limits<std::uint64_t>::max());
  NodeHandle n = make_state(g->core());
  UncountedNode look = n.uncounted();
  EXPECT_EQ(fault_text([&] { g->register_node(std::move(n), "state", NodeOptions{}); }), kUnnamedCounterExhausted);
  EXPECT_FALSE(is_live(look));
  EXPECT_EQ(row_ids(g).size(), 1u);
  // Named registration still works.
  add_state(g, "still-fine");
  EXPECT_EQ(row_ids(g).size(), 2u);
}

TEST(GraphRegistration, RefusalsReleaseTheNodeAndLeaveTheGraphUnchanged) {
  auto g = GraphContainer::create(std::nullopt);
  auto other = GraphContainer::create(std::nullopt);
  add_state(g, "taken");

  // A refused unnamed registration still uses up its number.
  NodeHandle foreign = make_state(other->core());
  UncountedNode foreign_look = foreign.uncounted();
  EXPECT_EQ(fault_text([&] { g->register_node(std::move(foreign), "state", NodeOptions{}); }),
            "graph node belongs to a different graph arena");
  EXPECT_FALSE(is_live(foreign_look));
  EXPECT_EQ(g->unnamed_counter(), 1u);

  NodeHandle dup = make_state(g->core());
  UncountedNode dup_look = dup.uncounted();
  EXPECT_EQ(fault_text([&] { g->register_node(std::move(dup), "state", NodeOptions::named("taken")); }),
            "duplicate graph node id 'taken'");
  EXPECT_FALSE(is_live(dup_look));

  g->released_ids().borrow_mut()->insert("gone");
  NodeHandle again = make_state(g->core());
  EXPECT_EQ(fault_text([&] { g->register_node(std::move(again), "state", NodeOptions::named("gone")); }),
            "graph node id 'gone' has been released from this graph lifecycle (D122)");
  EXPECT_FALSE(g->find("gone"));
  EXPECT_EQ(fault_text([&] { g->register_node_with_id(make_state(g->core()), "state", "gone", NodeOptions{}); }),
            "graph node id 'gone' has been released from this graph lifecycle (D122)");

  EXPECT_EQ(row_ids(g), std::vector<std::string>{"taken"});
  EXPECT_EQ(g->id_map().borrow()->size(), 1u);
  std::optional<NodeHandle> taken = g->find("taken");
  ASSERT_TRUE(taken);
  EXPECT_TRUE(taken->same_node((*g->node_table().borrow())[0].node().uncounted(g->core())));
  EXPECT_EQ(g->unnamed_counter(), 1u);
}

TEST(GraphRegistration, RowsKeepOptionsDataAndFindGivesCountedHandles) {
  auto g = GraphContainer::create(std::nullopt);
  NodeOptions o = NodeOptions::named("r");
  o.metadata = {{"b", "2"}, {"a", "1"}};
  o.restore = RegistryRef{"ref.x", Json{{"k", 1}}, std::nullopt};
  NodeHandle n = g->register_node_with_id(make_state(g->core()), "state", "restored#4", std::move(o));
  {
    const auto rows = g->node_table().borrow();
    const NodeEntry& row = rows->front();
    EXPECT_EQ(row.id(), "restored#4");
    EXPECT_EQ(row.name(), "r");
    EXPECT_EQ(row.metadata().begin()->first, "a");
    ASSERT_TRUE(row.restore());
    EXPECT_EQ(row.restore()->ref, "ref.x");
    EXPECT_EQ(*row.restore()->config, (Json{{"k", 1}}));
    EXPECT_FALSE(row.restore()->config_version);
  }
  EXPECT_EQ(g->unnamed_counter(), 5u);
  std::optional<NodeHandle> found = g->find("restored#4");
  ASSERT_TRUE(found);
  EXPECT_TRUE(found->counted());
  EXPECT_TRUE(found->same_node(n));
  EXPECT_EQ(n.count()->count, 3u);  // n, found and the one registration
  EXPECT_FALSE(g->find("restored#"));

  // The graph keeps its nodes alive until it goes.
  UncountedNode look = n.uncounted();
  n.drop();
  found->drop();
  EXPECT_TRUE(is_live(look));
  g.reset();
  EXPECT_FALSE(is_live(look));
}

TEST(GraphRegistration, SyntheticIdsAreGivenOncePerNode) {
  auto g = GraphContainer::create(std::nullopt);
  NodeHandle reg = add_state(g, "a");
  NodeHandle loose1 = make_state(g->core());
  NodeHandle loose2 = make_state(g->core());
  set_node_kind(loose2, "derived");

  std::vector<UncountedNode> list;
  list.push_back(reg.uncounted());
  list.push_back(loose1.uncounted());
  EXPECT_EQ(g->dep_ids(list), (std::vector<std::string>{"a", "~?#0"}));
  EXPECT_EQ(g->dep_ids(list), (std::vector<std::string>{"a", "~?#0"}));
  EXPECT_EQ(g->node_id_of(loose2, "p::"), "p::~derived#1");
  EXPECT_EQ(g->node_id_of_slow(loose1), "~?#0");
  EXPECT_EQ(g->node_id_of(reg, "p::"), "p::a");
  EXPECT_EQ(g->synthetic_counter(), 2u);

  // A stale node faults, and its number is spent.
  NodeHandle loose3 = make_state(g->core());
  UncountedNode stale = loose3.uncounted();
  loose3.drop();
  EXPECT_EQ(fault_text([&] { g->node_id_of_slow(stale); }), kStaleSlot);
  EXPECT_EQ(g->synthetic_counter(), 3u);
  NodeHandle loose4 = make_state(g->core());
  EXPECT_EQ(g->node_id_of(loose4), "~?#3");
}

TEST(GraphRegistration, DepChecksNameTheLabelAtTheFirstForeignDep) {
  auto g = GraphContainer::create(std::nullopt);
  auto other = GraphContainer::create(std::nullopt);
  NodeHandle mine = add_state(g, "mine");
  NodeHandle foreign = add_state(other, "foreign");
  g->check_deps_same_graph({}, "node");
  std::vector<UncountedNode> deps;
  deps.push_back(mine.uncounted());
  g->check_deps_same_graph(deps, "node");
  deps.push_back(foreign.uncounted());
  deps.push_back(foreign.uncounted());
  EXPECT_EQ(fault_text([&] { g->check_deps_same_graph(deps, "node"); }),
            "node dep belongs to a different graph; cross-graph deps require a wire bridge");
  EXPECT_EQ(fault_text([&] { other->check_deps_same_graph(deps, "w/bridge"); }),
            "w/bridge dep belongs to a different graph; cross-graph deps require a wire bridge");
}

TEST(GraphRegistration, NodesTakeTheDispatcherHookAndThenShareTheGraphHooks) {
  auto dispatcher = std::make_shared<Dispatcher>(std::initializer_list<std::uint8_t>{0, 1});
  GraphHook first = std::make_shared<int>(7);
  dispatcher->state().borrow_mut()->default_graph_hook = first;
  auto g = GraphContainer::create(std::nullopt, dispatcher);

  NodeHandle loose = construct_node(g->core(), {}, std::nullopt, dispatcher, nullptr, NodeSpec{});
  SharedGraphHooks built = NodeView(loose).call().hooks();
  ASSERT_TRUE(built);
  EXPECT_EQ((*built)[0], first);
  for (std::size_t i = 1; i < kGraphHookCount; ++i) EXPECT_FALSE((*built)[i]) << i;

  // Registration replaces them with the graph's one block (here: all empty).
  NodeHandle a = g->register_node(std::move(loose), "state", NodeOptions::named("a"));
  NodeHandle b = add_state(g, "b");
  EXPECT_EQ(NodeView(a).call().hooks(), g->graph_hooks());
  EXPECT_EQ(NodeView(b).call().hooks(), g->graph_hooks());
  built.reset();
  EXPECT_EQ(first.use_count(), 2);  // the node let its copy go: the dispatcher's and this test's remain
}

// Each road out of the id map lets go of its entry's one unit of the node's
// count: the node lives on while a handle still holds it, and goes with its
// last unit.
TEST(GraphRegistration, AnIdMapEntryLetsGoOfItsUnitWhenItLeavesTheMap) {
  const std::pair<const char*, std::function<void(GraphContainer&)>> roads[] = {
      {"erase", [](GraphContainer& g) { g.id_map().borrow_mut()->erase("n"); }},
      {"take",
       [](GraphContainer& g) {
         NodeHandle taken;
         {
           auto ids = g.id_map().borrow_mut();
           taken = ids->take(ids->find("n"));
         }
         taken.drop();
       }},
  };
  for (const auto& [road, leave] : roads) {
    for (const bool held : {true, false}) {
      auto g = GraphContainer::create(std::nullopt);
      NodeHandle n = add_state(g, "n");
      const UncountedNode look = n.uncounted();
      if (!held) n.drop();
      g->take_rows({"n"});
      leave(*g);
      EXPECT_EQ(g->id_map().borrow()->size(), 0u) << road;
      EXPECT_EQ(is_live(look), held) << road;
      EXPECT_EQ(look.count()->count, held ? 1u : 0u) << road;
    }
  }
}

// A row keeps its kind and the rest it was given (another name, metadata, a
// restore reference) in one word: each form reads the same after the table
// grows, after rows before it are taken out, once taken out itself, and
// after a move onto itself.
TEST(GraphRegistration, RowsOfEachFormKeepKindAndExtrasWhenMovedOrTakenOut) {
  struct Case {
    const char* id;
    const char* kind;
    std::optional<std::string> name;
    bool metadata;
    bool restore;
    bool onto_itself = false;  // the row taken out is then moved onto itself
  };
  const std::vector<Case> cases = {
      {"plain", "state", std::nullopt, false, false},
      {"same", "node", "same", false, false},
      {"renamed", "derived", "other", false, false},
      {"described", "effect", std::nullopt, true, false},
      {"restorable", "state", "restorable", false, true},
      {"own-kind", "custom kind", std::nullopt, false, false},
      {"own-kind-renamed", "custom kind", "other", true, true},
      {"own-kind-onto-itself", "custom kind", std::nullopt, false, false, true},
      {"renamed-onto-itself", "derived", "other", true, true, true},
  };
  auto g = GraphContainer::create(std::nullopt);
  std::vector<NodeHandle> held;
  std::unordered_set<std::string> fillers;
  const auto add_filler = [&] {
    const std::string id = "filler" + std::to_string(fillers.size());
    held.push_back(g->register_node_with_id(make_state(g->core()), "state", id, NodeOptions{}));
    fillers.insert(id);
  };
  for (const Case& c : cases) {
    add_filler();
    NodeOptions o = NodeOptions::named(c.name);
    if (c.metadata) o.metadata = {{"k", c.id}};
    if (c.restore) o.restore = RegistryRef{std::string("ref.") + c.id, Json{{"k", 1}}, std::nullopt};
    held.push_back(g->register_node_with_id(make_state(g->core()), c.kind, c.id, std::move(o)));
  }
  for (int i = 0; i < 64; ++i) add_filler();
  EXPECT_EQ(g->take_rows(fillers).size(), fillers.size());
  const auto check = [&](const NodeEntry& row, const Case& c) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(row.id(), c.id);
    EXPECT_EQ(row.kind, c.kind);
    EXPECT_EQ(row.kind.text(), c.kind);
    EXPECT_EQ(row.name(), c.name);
    EXPECT_EQ(row.metadata().size(), c.metadata ? 1u : 0u);
    if (c.metadata) EXPECT_EQ(row.metadata().at("k"), c.id);
    ASSERT_EQ(row.restore().has_value(), c.restore);
    if (c.restore) EXPECT_EQ(row.restore()->ref, std::string("ref.") + c.id);
  };
  {
    const auto rows = g->node_table().borrow();
    ASSERT_EQ(rows->size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) check((*rows)[i], cases[i]);
  }
  std::unordered_set<std::string> ids;
  for (const Case& c : cases) ids.insert(c.id);
  std::vector<NodeEntry> taken = g->take_rows(ids);
  ASSERT_EQ(taken.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (cases[i].onto_itself) {
      NodeEntry& same = taken[i];
      taken[i] = std::move(same);
    }
    check(taken[i], cases[i]);
  }
}
