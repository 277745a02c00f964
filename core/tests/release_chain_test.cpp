// Releasing nodes whose deps are released in turn: long chains must not
// exhaust the stack, and the order of the releases stays depth first.

#include <gtest/gtest.h>

#include <map>
#include <tuple>

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

// The named node over the named nodes built before it (taken from built),
// logging its name when it is released.
NodeHandle build_logged(const CoreRef& core, std::map<std::string, NodeHandle>& built, const std::string& name,
                        const std::vector<std::string>& dep_names, std::vector<std::string>& log) {
  std::vector<NodeHandle> deps;
  for (const std::string& d : dep_names) deps.push_back(std::move(built.at(d)));
  NodeHandle n = deps.empty() ? make_state(core)
                              : construct_node(core, std::move(deps), std::nullopt, Dispatcher::thread_default(),
                                               nullptr, {});
  add_release_callback(n, [&log, name] { log.push_back(name); });
  return n;
}

// A graph to release from its root: each node names its deps (built
// before it) and its topology hook (0: none); nodes naming the same hook
// share one, which logs "hook<n>" when its last share goes.
struct ReleaseShapeCase {
  std::string label;
  std::vector<std::tuple<std::string, std::vector<std::string>, int>> nodes;  // root last
  std::vector<std::string> expected;
};

TEST(ReleaseChain, HooksGoWhenTheirLastShareWouldInTheRecursiveOrder) {
  const std::vector<ReleaseShapeCase> cases = {
      {"one hook along a chain", {{"leaf", {}, 1}, {"mid", {"leaf"}, 1}, {"top", {"mid"}, 1}},
       L({"top", "mid", "leaf", "hook1"})},
      {"a hook each along a chain", {{"leaf", {}, 0}, {"mid", {"leaf"}, 2}, {"top", {"mid"}, 1}},
       L({"top", "mid", "leaf", "hook2", "hook1"})},
      {"an inner hook shared with a lone dep's dep",
       {{"leaf", {}, 2}, {"mid", {"leaf"}, 2}, {"top", {"mid"}, 1}},
       L({"top", "mid", "leaf", "hook2", "hook1"})},
      {"a lone dep after a wide node's others", {{"x", {}, 0}, {"z", {}, 1}, {"y", {"z"}, 1}, {"top", {"x", "y"}, 1}},
       L({"top", "x", "y", "z", "hook1"})},
      {"a lone dep before a wide node's others", {{"z", {}, 0}, {"y", {"z"}, 2}, {"x", {}, 0}, {"top", {"y", "x"}, 1}},
       L({"top", "y", "z", "hook2", "x", "hook1"})},
      {"a hook's last share below a wide node",
       {{"c", {}, 1}, {"d", {}, 0}, {"b", {"c", "d"}, 2}, {"top", {"b"}, 1}},
       L({"top", "b", "c", "d", "hook2", "hook1"})},
      {"no hooks", {{"c", {}, 0}, {"a", {"c"}, 0}, {"b", {}, 0}, {"top", {"a", "b"}, 0}},
       L({"top", "a", "c", "b"})},
  };
  for (const ReleaseShapeCase& c : cases) {
    SCOPED_TRACE(c.label);
    CoreRef core = GraphCore::create();
    std::vector<std::string> log;
    std::map<int, TopologyHook> hooks;
    auto hook_of = [&](int n) {
      if (!hooks.count(n)) {
        hooks[n] = std::make_shared<const TopologyHook::element_type>(
            [guard = std::shared_ptr<int>(new int(n), [&log](int* p) {
               log.push_back("hook" + std::to_string(*p));
               delete p;
             })](const UncountedNode&, const std::vector<NodeHandle>&, const std::vector<NodeHandle>&) {});
      }
      return hooks[n];
    };
    std::map<std::string, NodeHandle> built;
    for (const auto& [name, dep_names, hook] : c.nodes) {
      NodeHandle n = build_logged(core, built, name, dep_names, log);
      if (hook != 0) set_topology_hook(n, hook_of(hook));
      built[name] = std::move(n);
    }
    hooks.clear();  // the nodes hold the only shares
    built.at(std::get<0>(c.nodes.back())).drop();
    EXPECT_EQ(log, c.expected);
    EXPECT_EQ(core->borrow()->live_count(), 0u);
  }
}

// A graph hands every node it registers one share of its topology hook,
// which the nodes count in one box: the hook still goes with the last of
// its holders, the installer or a node, at the point in the release order
// where that holder's own share would have gone.
TEST(ReleaseChain, NodesGivenOneShareLetTheHookGoWithTheLastHolder) {
  struct Case {
    std::string label;
    std::vector<std::tuple<std::string, std::vector<std::string>, bool>> nodes;  // holds the share; roots last
    std::vector<std::string> roots;  // dropped in this order
    bool installer_first;            // the installer's share goes before the roots, else after
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"a chain, the installer gone first", {{"leaf", {}, true}, {"mid", {"leaf"}, true}, {"top", {"mid"}, true}},
       {"top"}, true, L({"top", "mid", "leaf", "hook"})},
      {"a chain, the installer gone last", {{"leaf", {}, true}, {"mid", {"leaf"}, true}, {"top", {"mid"}, true}},
       {"top"}, false, L({"top", "mid", "leaf", "installer", "hook"})},
      {"the share below a node without it", {{"leaf", {}, true}, {"top", {"leaf"}, false}}, {"top"}, true,
       L({"top", "leaf", "hook"})},
      {"a wide node's deps", {{"x", {}, true}, {"y", {}, false}, {"top", {"x", "y"}, true}}, {"top"}, true,
       L({"top", "x", "y", "hook"})},
      {"two roots", {{"a", {}, true}, {"b", {}, true}}, {"a", "b"}, true, L({"a", "b", "hook"})},
  };
  using Hook = TopologyHook::element_type;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    CoreRef core = GraphCore::create();
    std::vector<std::string> log;
    auto installer = std::make_unique<TopologyHookShare>(std::make_shared<const Hook>(
        [guard = std::shared_ptr<int>(new int(0), [&log](int* p) {
           log.push_back("hook");
           delete p;
         })](const UncountedNode&, const std::vector<NodeHandle>&, const std::vector<NodeHandle>&) {}));
    std::map<std::string, NodeHandle> built;
    for (const auto& [name, dep_names, holds] : c.nodes) {
      NodeHandle n = build_logged(core, built, name, dep_names, log);
      if (holds) set_topology_hook(n, *installer);
      built[name] = std::move(n);
    }
    const auto drop_installer = [&] {
      if (!c.installer_first) log.push_back("installer");
      installer.reset();
    };
    if (c.installer_first) drop_installer();
    for (const std::string& root : c.roots) built.at(root).drop();
    if (!c.installer_first) drop_installer();
    EXPECT_EQ(log, c.expected);
    EXPECT_EQ(core->borrow()->live_count(), 0u);
  }
}

// The same share held by nodes a core drops with it: the hook goes once,
// with the core's last holder.
TEST(ReleaseChain, ACoreDroppingNodesGivenOneShareLetsTheHookGoOnce) {
  std::vector<std::string> log;
  CoreRef core = GraphCore::create();
  {
    TopologyHookShare installer(std::make_shared<const TopologyHook::element_type>(
        [guard = std::shared_ptr<int>(new int(0), [&log](int* p) {
           log.push_back("hook");
           delete p;
         })](const UncountedNode&, const std::vector<NodeHandle>&, const std::vector<NodeHandle>&) {}));
    for (int i = 0; i < 3; ++i) occupy_bare(core, nullptr, installer);
  }
  EXPECT_TRUE(log.empty());
  core.reset();
  EXPECT_EQ(log, L({"hook"}));
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
