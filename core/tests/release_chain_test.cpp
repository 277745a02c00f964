// Releasing nodes whose deps are released in turn: long chains must not
// exhaust the stack, and the order of the releases stays depth first.

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace korvalinth::test {
namespace {

TEST(ReleaseChain, DroppingTheTailOfAVeryLongChainReleasesEveryNode) {
  CoreRef core = GraphCore::create();
  constexpr std::size_t kLength = 300000;
  NodeHandle tail = make_state(core);
  for (std::size_t i = 1; i < kLength; ++i) {
    std::vector<NodeHandle> deps;
    deps.push_back(std::move(tail));
    tail = construct_node(core, std::move(deps), std::nullopt, Dispatcher::thread_default(), nullptr, {});
  }
  tail.drop();
  auto a = core->borrow();
  EXPECT_EQ(a->free_indices().size(), kLength);
  ASSERT_EQ(a->live_count(), 0u);
}

TEST(ReleaseChain, DepsAreReleasedDepthFirstInDepOrderWithHooksAfterTheirDeps) {
  // top has deps [left, right]; left has dep [leaf]. Only top's deps hold them.
  CoreRef core = GraphCore::create();
  std::vector<std::string> log;
  auto logged = [&](const UncountedNode& n, std::string name) {
    add_release_callback(n, [&log, name] { log.push_back(name); });
  };
  NodeHandle leaf = make_state(core);
  logged(leaf, "leaf");
  std::vector<NodeHandle> left_deps;
  left_deps.push_back(std::move(leaf));
  NodeHandle left = construct_node(core, std::move(left_deps), std::nullopt, Dispatcher::thread_default(), nullptr, {});
  logged(left, "left");
  set_topology_hook(left, std::make_shared<const std::function<void(const UncountedNode&, const std::vector<NodeHandle>&,
                                                                     const std::vector<NodeHandle>&)>>(
                              [guard = std::shared_ptr<int>(new int(0), [&log](int* p) {
                                 log.push_back("left hook");
                                 delete p;
                               })](const UncountedNode&, const std::vector<NodeHandle>&, const std::vector<NodeHandle>&) {}));
  NodeHandle right = make_state(core);
  logged(right, "right");
  std::vector<NodeHandle> top_deps;
  top_deps.push_back(std::move(left));
  top_deps.push_back(std::move(right));
  NodeHandle top = construct_node(core, std::move(top_deps), std::nullopt, Dispatcher::thread_default(), nullptr, {});
  logged(top, "top");
  top.drop();
  EXPECT_EQ(log, L({"top", "left", "leaf", "left hook", "right"}));
}

TEST(ReleaseChain, AFaultingReleaseCallbackStillReleasesTheRestOfTheChain) {
  CoreRef core = GraphCore::create();
  NodeHandle leaf = make_state(core);
  add_release_callback(leaf, [] { fault("leaf release failed"); });
  std::vector<NodeHandle> deps;
  deps.push_back(std::move(leaf));
  NodeHandle mid = construct_node(core, std::move(deps), std::nullopt, Dispatcher::thread_default(), nullptr, {});
  std::vector<NodeHandle> top_deps;
  top_deps.push_back(std::move(mid));
  NodeHandle top = construct_node(core, std::move(top_deps), std::nullopt, Dispatcher::thread_default(), nullptr, {});
  EXPECT_EQ(fault_text([&] { top.drop(); }), "leaf release failed");
  auto a = core->borrow();
  EXPECT_EQ(a->free_indices().size(), 3u);
}

}  // namespace
}  // namespace korvalinth::test
