#include <gtest/gtest.h>

#include <functional>

#include "node/weak_node.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

TEST(WeakNodeHandle, LockGivesACountedHandleWhileTheNodeLives) {
  auto core = GraphCore::create();
  NodeHandle node = make_state(core, iv(1));
  WeakNodeHandle weak = WeakNodeHandle::of(node);
  NodeHandle locked = weak.lock();
  EXPECT_TRUE(locked.counted());
  EXPECT_TRUE(locked.same_node(node));
  node.drop();
  EXPECT_TRUE(is_live(locked));  // the locked handle keeps it
}

// Each way a node goes leaves the weak handle refusing, never naming
// another node.
TEST(WeakNodeHandle, RefusesOnceTheNodeOrItsCoreIsGone) {
  const std::function<void(CoreRef&, NodeHandle&)> ends[] = {
      [](CoreRef&, NodeHandle& node) { node.drop(); },
      [](CoreRef& core, NodeHandle& node) {
        node.drop();
        NodeHandle reuse = make_state(core, iv(2));  // same index, next generation
        reuse.drop();
      },
      [](CoreRef& core, NodeHandle& node) {
        node.drop();
        core.reset();
      },
  };
  for (const auto& end : ends) {
    CoreRef core = GraphCore::create();
    NodeHandle node = make_state(core, iv(1));
    WeakNodeHandle weak = WeakNodeHandle::of(node);
    std::weak_ptr<GraphCore> watch = core;
    end(core, node);
    EXPECT_EQ(fault_text([&] { weak.lock(); }), kStaleSlot);
    core.reset();
    EXPECT_TRUE(watch.expired());  // the weak handle kept nothing
  }
}
