#include <gtest/gtest.h>

#include "node/arena/core_ownership.hpp"
#include "node/topology/subscribe.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

int host_a = 0, host_b = 0, host_c = 0, host_d = 0, host_e = 0;

struct HostFn final : NodeFn {
  void run(RunContext&) override {}
  int visit_host_refs(HostRefVisit visit) const override { return visit(&host_a); }
};

struct HostSink final : Sink {
  void call(const Message&) override {}
  int visit_host_refs(HostRefVisit visit) const override { return visit(&host_b); }
};

struct HostValue final : Value {
  const TypeTag* type_tag() const noexcept override { return type_tag_of<HostValue>(); }
  int visit_host_refs(HostRefVisit visit) const override { return visit(&host_c); }
};

struct HostHook final : HostRefOwner {
  explicit HostHook(int* object) : object(object) {}
  int visit_host_refs(HostRefVisit visit) const override { return visit(object); }
  int* object;
};

std::vector<void*> visited(const GraphCore& core) {
  std::vector<void*> out;
  visit_core_host_refs(core, [&](void* object) {
    out.push_back(object);
    return 0;
  });
  return out;
}

}  // namespace

TEST(CoreOwnership, OutsideHoldersAreCountedAgainstTheArenaAndOwnedHostRefsVisited) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, make_value<int>(1));
  NodeHandle b = make_node(core, deps_of({&a}), std::make_shared<HostFn>());
  auto sink = std::make_shared<HostSink>();
  SinkRegistration registration;
  UnsubscribeFn sub = subscribe_sink(b, sink, 0, registration);
  // `core`, the handles a and b and the subscription's, beside the dep and
  // the dep sink link that b's slot holds of a.
  EXPECT_EQ(core_refs_in_arena(*core), 2u);
  EXPECT_FALSE(core_held_only_by(core, 3));
  EXPECT_TRUE(core_held_only_by(core, 4));
  // A sink also held elsewhere is not the node's alone.
  EXPECT_EQ(visited(*core), (std::vector<void*>{&host_a}));
  sink.reset();
  EXPECT_EQ(visited(*core), (std::vector<void*>{&host_a, &host_b}));
  {
    UncountedNode extra = a.uncounted();
    EXPECT_FALSE(core_held_only_by(core, 4));
  }
  sub.call();
  EXPECT_TRUE(core_held_only_by(core, 3));
  EXPECT_EQ(visited(*core), (std::vector<void*>{&host_a}));
}

TEST(CoreOwnership, AValueIsVisitedOnceWhenTheNodesHoldEveryShare) {
  auto core = GraphCore::create();
  SharedValue value = make_derived_value<HostValue>();
  NodeHandle a = make_state(core, value);
  NodeHandle b = make_node(core, deps_of({&a}), fn_of([](RunContext&) {}));
  Subscribed sub = subscribe_recording(b);
  // a's cache and b's dep slot share it with the test's own share.
  EXPECT_EQ(visited(*core), std::vector<void*>{});
  value.reset();
  EXPECT_EQ(visited(*core), (std::vector<void*>{&host_c}));
  sub.unsubscribe.call();
}

TEST(CoreOwnership, HooksAreVisitedWhileTheNodesListsAloneHoldThem) {
  auto core = GraphCore::create();
  NodeHandle a = make_state(core, make_value<int>(1));
  add_release_callback(a, ReleaseCallback([] {}, std::make_shared<HostHook>(&host_d)));
  add_release_callback(a, [] {});
  InvalidateCallback invalidate = make_invalidate_callback([] {}, std::make_shared<HostHook>(&host_e));
  add_invalidate_callback(a, invalidate);
  // A delivery's copy of the invalidate hooks holds one elsewhere.
  EXPECT_EQ(visited(*core), (std::vector<void*>{&host_d}));
  invalidate.reset();
  EXPECT_EQ(visited(*core), (std::vector<void*>{&host_d, &host_e}));
}
