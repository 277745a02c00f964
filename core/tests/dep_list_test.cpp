#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "node/arena/dep_list.hpp"
#include "node/arena/dep_states.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

// A list made handle by handle holds them in order; a make that throws
// leaves every node's count as it was before the list was begun.
TEST(DepList, MadeHandlesKeepTheirOrderAndAThrowGivesEachUnitBack) {
  const std::optional<std::size_t> throw_at[] = {std::nullopt, 0, 1, 2};
  for (const std::optional<std::size_t>& at : throw_at) {
    SCOPED_TRACE(at ? static_cast<int>(*at) : -1);
    auto core = GraphCore::create();
    std::vector<NodeHandle> nodes;
    for (int i = 0; i < 3; ++i) nodes.push_back(make_state(core));
    auto make = [&](std::size_t i) {
      if (at && i == *at) throw std::runtime_error("make failed");
      return nodes[i].promote_counted();
    };
    if (at) {
      EXPECT_THROW(DepList::made(nodes.size(), make), std::runtime_error);
      for (const NodeHandle& n : nodes) EXPECT_EQ(n.count()->count, 1u);
      continue;
    }
    DepList list = DepList::made(nodes.size(), make);
    ASSERT_EQ(list.size(), nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      EXPECT_EQ(list[i].key(), nodes[i].key());
      EXPECT_EQ(nodes[i].count()->count, 2u);
    }
    list.clear();
    for (const NodeHandle& n : nodes) EXPECT_EQ(n.count()->count, 1u);
  }
}

TEST(DepList, MadeFromNothingHoldsNoBlock) {
  DepList list = DepList::made(0, [](std::size_t) -> NodeHandle { throw std::runtime_error("never made"); });
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.begin(), nullptr);
}

// A build's list takes the handles of a vector as they are (no count
// changes hands), in order.
TEST(DepList, ForBuildMovesEachHandleInOrder) {
  for (const std::size_t n : {std::size_t{1}, std::size_t{3}}) {
    SCOPED_TRACE(n);
    auto core = GraphCore::create();
    std::vector<NodeHandle> nodes;
    std::vector<NodeHandle> deps;
    for (std::size_t i = 0; i < n; ++i) {
      nodes.push_back(make_state(core));
      deps.push_back(nodes.back().promote_counted());
    }
    DepList list = DepList::for_build(std::move(deps));
    EXPECT_TRUE(deps.empty());
    ASSERT_EQ(list.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_EQ(list[i].key(), nodes[i].key());
      EXPECT_EQ(nodes[i].count()->count, 2u);
    }
    list.clear();
    for (const NodeHandle& node : nodes) EXPECT_EQ(node.count()->count, 1u);
  }
}

// A node's dep states and its deps list are apart: whichever drops first,
// each drops only what it holds, and a replacement of the states drops the
// old ones' values while the list still holds its handles.
TEST(DepStates, StatesAndListDropEachOnlyWhatTheyHold) {
  struct Case {
    const char* name;
    bool replaced;
    bool states_first;
  };
  const Case cases[] = {
      {"list drops first", false, false},
      {"states drop first", false, true},
      {"replaced, list first", true, false},
      {"replaced, states first", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto core = GraphCore::create();
    std::vector<NodeHandle> nodes;
    for (int i = 0; i < 2; ++i) nodes.push_back(make_state(core));
    DepList list = DepList::made(nodes.size(), [&](std::size_t i) { return nodes[i].promote_counted(); });
    DepStates states(2);
    ASSERT_EQ(states.size(), 2u);
    std::vector<WeakValue> values;
    for (DepSlot& slot : states) {
      EXPECT_EQ(slot.has_value, 0);
      EXPECT_EQ(slot.stamp, kNoStamp);
      slot.latest = iv(7);
      values.emplace_back(slot.latest);
    }
    if (c.replaced) {
      DepStates replaced_states = std::exchange(states, DepStates(2));
      replaced_states.clear();
      for (const WeakValue& v : values) EXPECT_TRUE(v.expired());
      EXPECT_EQ(list[1].key(), nodes[1].key());
    }
    auto drop_list = [&] {
      list.clear();
      for (const NodeHandle& n : nodes) EXPECT_EQ(n.count()->count, 1u);
      if (!c.replaced && !c.states_first)
        for (const WeakValue& v : values) EXPECT_FALSE(v.expired());
    };
    auto drop_states = [&] {
      EXPECT_EQ(nodes[0].count()->count, c.states_first ? 2u : 1u);
      states.clear();
      for (const WeakValue& v : values) EXPECT_TRUE(v.expired());
    };
    if (c.states_first) {
      drop_states();
      drop_list();
    } else {
      drop_list();
      drop_states();
    }
  }
}

// Each part a dep state can hold goes with the states, whichever state
// holds it alone: a part the drop overlooked would outlive them.
TEST(DepStates, DropFreesEachPartHeldByAnyOneState) {
  enum class Part { Latest, WaveValue, OneDelivery, DeliveryLists, Terminal };
  const std::pair<const char*, Part> parts[] = {
      {"latest value", Part::Latest},
      {"wave value", Part::WaveValue},
      {"one delivered value", Part::OneDelivery},
      {"several delivery lists", Part::DeliveryLists},
      {"terminal record", Part::Terminal},
  };
  for (const auto& [name, part] : parts) {
    for (const std::size_t holder : {std::size_t{0}, std::size_t{2}}) {
      SCOPED_TRACE(std::string(name) + " in state " + std::to_string(holder));
      DepStates states(3);
      ASSERT_EQ(states.size(), 3u);
      DepSlot& slot = states[holder];
      std::vector<WeakValue> values;
      std::weak_ptr<const std::string> error;
      auto held = [&](SharedValue v) {
        values.emplace_back(v);
        return v;
      };
      switch (part) {
        case Part::Latest:
          slot.latest = held(iv(1));
          break;
        case Part::WaveValue:
          slot.wave_value.emplace(held(iv(2)));
          break;
        case Part::OneDelivery:
          slot.deliveries.open_first_list_with(held(iv(3)));
          break;
        case Part::DeliveryLists:
          slot.deliveries.open_first_list_with(held(iv(4)));
          slot.deliveries.open_list();
          slot.deliveries.push(held(iv(5)));
          break;
        case Part::Terminal: {
          auto text = std::make_shared<const std::string>("boom");
          error = text;
          slot.record_terminal(TerminalRecord{true, std::move(text)});
          break;
        }
      }
      for (const WeakValue& v : values) EXPECT_FALSE(v.expired());
      states.clear();
      for (const WeakValue& v : values) EXPECT_TRUE(v.expired());
      EXPECT_TRUE(error.expired());
      EXPECT_TRUE(states.empty());
    }
  }
}

// A build's list whose handles hold their core's last reference drops
// after that core: its block goes back to a pool already gone, which its
// slab outlives (the sanitizer build catches either freed early or never).
TEST(DepList, ABuildListOutlivesTheCoreItsHandlesHeld) {
  for (const std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{6}}) {
    SCOPED_TRACE(n);
    auto core = GraphCore::create();
    const WeakCore weak = core;
    std::vector<NodeHandle> nodes;
    for (std::size_t i = 0; i < n; ++i) nodes.push_back(make_state(core));
    DepList list = DepList::made(n, [&](std::size_t i) { return nodes[i].promote_counted(); });
    nodes.clear();
    core.reset();
    EXPECT_FALSE(weak.expired());
    list.clear();
    EXPECT_TRUE(weak.expired());
  }
}

// A build's block finds its way back to the slab it was cut from, for every
// size the pool serves and every place in a slab, in whatever order the
// blocks go: once all have gone, each size keeps one emptied slab and no other.
TEST(DepList, EveryBuildBlockGoesBackToItsOwnSlab) {
  auto core = GraphCore::create();
  std::vector<NodeHandle> nodes;
  for (std::size_t i = 0; i < DepBlockPool::kSizes; ++i) nodes.push_back(make_state(core));
  std::vector<DepList> built;
  for (int round = 0; round < 300; ++round) {
    for (std::size_t n = 1; n <= DepBlockPool::kSizes; ++n)
      built.push_back(DepList::made(n, [&](std::size_t i) { return nodes[i].promote_counted(); }));
  }
  // Every other block first, then the rest: slabs empty out of order.
  for (std::size_t i = 0; i < built.size(); i += 2) built[i].clear();
  for (std::size_t i = 1; i < built.size(); i += 2) built[i].clear();
  for (const NodeHandle& n : nodes) EXPECT_EQ(n.count()->count, 1u);
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_EQ(core->dep_blocks().slab_count(), 0u);  // each block is its own allocation
#else
  EXPECT_EQ(core->dep_blocks().slab_count(), DepBlockPool::kSizes);
#endif
}
