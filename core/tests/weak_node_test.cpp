#include <gtest/gtest.h>

#include <functional>

#include "node/arena/weak_node.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

// Locked while the node lives, the handle is counted; each way the node goes
// leaves it refusing, never naming another node, and it kept nothing alive.
TEST(WeakNodeHandle, LocksWhileTheNodeLivesAndRefusesOnceItIsGone) {
  const std::function<void(CoreRef&)> ends[] = {
      [](CoreRef&) {},
      [](CoreRef& core) { make_state(core, iv(2)).drop(); },  // same index, next generation
      [](CoreRef& core) { core.reset(); },
  };
  for (const auto& end : ends) {
    CoreRef core = GraphCore::create();
    NodeHandle node = make_state(core, iv(1));
    WeakNodeHandle weak = WeakNodeHandle::of(node);
    HeldNode locked = weak.lock();
    EXPECT_TRUE(locked.counted() && locked.same_node(node));
    node.drop();
    EXPECT_TRUE(is_live(locked));
    locked.drop();
    WeakCore watch = core;
    end(core);
    EXPECT_EQ(fault_text([&] { weak.lock(); }), kStaleSlot);
    core.reset();
    EXPECT_TRUE(watch.expired());
  }
}

// Held by a pin alone, the node is acted on without being counted back to
// life, and it is released when the pin goes.
TEST(WeakNodeHandle, LocksUncountedWhilePinsAloneHoldTheNode) {
  CoreRef core = GraphCore::create();
  NodeHandle node = make_state(core, iv(1));
  WeakNodeHandle weak = WeakNodeHandle::of(node);
  auto pinned = pin_node(core, WeakNodeRef::of(node));
  ASSERT_TRUE(pinned);
  node.drop();
  HeldNode locked = weak.lock();
  EXPECT_TRUE(!locked.counted() && is_live(locked));
  pinned->first.unpin();
  EXPECT_EQ(fault_text([&] { weak.lock(); }), kStaleSlot);
}
