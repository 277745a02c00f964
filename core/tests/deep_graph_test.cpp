// Graphs deeper than the native stack: activation and delivery fault cleanly
// before the stack runs out; deactivation and release cascades of any depth
// complete, in the order their recursive form gives them.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "node/wave/stack_guard.hpp"
#include "node/wave/wave_scope.hpp"
#include "stack_thread.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// Frames are several times larger under AddressSanitizer: there a chain
// of a few hundred nodes fills the stack, so its deep chains are shorter.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kDeep = 4000;
constexpr int kStep = 100;  // an activation this deep fits the stack
constexpr int kFitsTheMainStack = 200;
#else
constexpr int kDeep = 100000;
constexpr int kStep = 500;
constexpr int kFitsTheMainStack = 1000;
#endif

const std::string kDepthError = std::string("ERROR ") + kStackDepthExceeded;

// Logs its name when destroyed: shows when a value held by a node goes.
struct DropLogger {
  std::vector<std::string>* log;
  std::string name;
  ~DropLogger() { log->push_back("~" + name); }
};

void log_release_and_drop(const NodeHandle& n, std::vector<std::string>& log, const std::string& name) {
  add_release_callback(n, [&log, name] { log.push_back(name); });
  set_ctx_state(n, make_value<DropLogger>(&log, name));
}

bool activated(const NodeHandle& n) { return n.core_ref().borrow()->edge_at(n.index()).state.activated(); }

// A chain source <- n1 <- ... <- n_length, each node adding 1.
struct Chain {
  CoreRef core = GraphCore::create();
  std::vector<NodeHandle> nodes;  // nodes[0] is the source
  explicit Chain(int length) {
    nodes.reserve(length + 1);
    nodes.push_back(make_state(core, iv(0)));
    for (int i = 0; i < length; ++i) nodes.push_back(make_map(core, nodes.back(), [](int x) { return x + 1; }));
  }
  const NodeHandle& tail() const { return nodes.back(); }
  // Subscribes every step-th node from the source on, so that no single
  // activation is deep; the subscriptions are returned in that order.
  std::vector<Subscribed> activate_in_steps(int step) {
    std::vector<Subscribed> subs;
    for (std::size_t i = step; i < nodes.size(); i += step) subs.push_back(subscribe_recording(nodes[i]));
    if ((nodes.size() - 1) % step != 0) subs.push_back(subscribe_recording(tail()));
    return subs;
  }
  std::size_t released() const { return core->borrow()->free_indices().size(); }
  // Drops the handles from the source on: the tail's release then
  // releases the whole chain, each node through its dependent's dep list.
  void drop_all() {
    for (NodeHandle& n : nodes) n.drop();
    nodes.clear();
  }
};

bool is_depth_error(const std::vector<std::string>& log) {
  return !log.empty() && log.back() == kDepthError;
}

// A set of the chain's source runs out of stack in its DIRTY phase: it
// raises the fault and errors the source, and every subscriber still holds
// just the value it started with.
void expect_set_faults_before_any_node_takes_a_value(Chain& chain, std::vector<Subscribed>& subs) {
  EXPECT_EQ(fault_text([&] { node_set(chain.nodes[0], iv(5)); }), kStackDepthExceeded);
  EXPECT_EQ(status_of(chain.nodes[0]), NodeStatus::Errored);
  std::size_t took_a_value = 0;
  for (Subscribed& s : subs)
    took_a_value += std::count_if(s.log().begin(), s.log().end(),
                                  [](const std::string& m) { return m.starts_with("DATA"); }) != 1;
  EXPECT_EQ(took_a_value, 0u);
}

}  // namespace

TEST(DeepGraphGuard, TheCheckPassesWithRoomAndRefusesWithinTheReserve) {
  EXPECT_NO_THROW(check_stack_headroom());
  // Recurse until the reserve is reached: the check refuses there, with its text.
  std::function<int(int)> dive = [&](int depth) -> int {
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    check_stack_headroom();
    return dive(depth + 1) + pad[0];
  };
  EXPECT_EQ(fault_text([&] { dive(0); }), kStackDepthExceeded);
  EXPECT_NO_THROW(check_stack_headroom());  // the unwinding gave the stack back
}

TEST(DeepGraphDeactivation, ACascadeKeepsTheOrderOfItsRecursiveForm) {
  // top has deps [left, right]; left has dep [leaf].
  auto core = GraphCore::create();
  std::vector<std::string> log;
  NodeHandle leaf = make_state(core, iv(1));
  NodeHandle left = make_map(core, leaf, [](int x) { return x; });
  NodeHandle right = make_state(core, iv(2));
  NodeHandle top = make_node(core, deps_of({&left, &right}), fn_of([](RunContext& ctx) {
                               emit_data(ctx, iv(int_of(ctx.inputs[0].current) + int_of(ctx.inputs[1].current)));
                             }));
  auto sub = subscribe_recording(top);
  ASSERT_EQ(sub.log(), L({"START", "DATA 3"}));
  log_release_and_drop(leaf, log, "leaf");
  log_release_and_drop(left, log, "left");
  log_release_and_drop(right, log, "right");
  log_release_and_drop(top, log, "top");
  sub.unsubscribe.call();
  // Each node lets go of its taken values before it detaches its deps, and
  // runs its release callbacks after its deps' deactivation.
  EXPECT_EQ(log, L({"~top", "~left", "~leaf", "leaf", "left", "~right", "right", "top"}));
  for (const NodeHandle* n : {&leaf, &left, &right, &top}) EXPECT_FALSE(activated(*n));
  // Reactivation works as the first activation did.
  auto again = subscribe_recording(top);
  EXPECT_EQ(again.log(), L({"START", "DATA 3"}));
}

TEST(DeepGraphDeactivation, AFaultingReleaseCallbackStopsTheCascadeAsRecursionWould) {
  auto core = GraphCore::create();
  std::vector<std::string> log;
  NodeHandle a = make_state(core, iv(1));
  NodeHandle b = make_map(core, a, [](int x) { return x; });
  NodeHandle c = make_map(core, b, [](int x) { return x; });
  auto sub = subscribe_recording(c);
  add_release_callback(a, [] { fault("a failed"); });
  set_ctx_state(a, make_value<DropLogger>(&log, "a"));
  log_release_and_drop(b, log, "b");
  log_release_and_drop(c, log, "c");
  EXPECT_EQ(fault_text([&] { sub.unsubscribe.call(); }), "a failed");
  // Each node let go of its taken values on the way down; the callbacks of
  // the nodes above a go uncalled.
  EXPECT_EQ(log, L({"~c", "~b", "~a"}));
  for (const NodeHandle* n : {&a, &b, &c}) EXPECT_FALSE(activated(*n));
  EXPECT_TRUE(core->borrow()->aux_at(c.index()).sinks.empty());
}

TEST(DeepGraphDeactivation, UnsubscribingTheBottomOfAVeryLongActiveChainDeactivatesEveryNode) {
  Chain chain(kDeep);
  std::vector<Subscribed> subs = chain.activate_in_steps(kStep);
  EXPECT_EQ(subs.back().log(), L({"START", "DATA " + std::to_string(kDeep)}));
  std::vector<std::string> order;
  add_release_callback(chain.nodes[0], [&] { order.push_back("source"); });
  add_release_callback(chain.tail(), [&] { order.push_back("tail"); });
  for (std::size_t i = 0; i + 1 < subs.size(); ++i) subs[i].unsubscribe.call();
  EXPECT_TRUE(activated(chain.nodes[1]));
  subs.back().unsubscribe.call();
  EXPECT_EQ(order, L({"source", "tail"}));
  for (const NodeHandle& n : chain.nodes) ASSERT_FALSE(activated(n));
  chain.drop_all();
  EXPECT_EQ(chain.released(), static_cast<std::size_t>(kDeep) + 1);
}

TEST(DeepGraphChain, AVeryLongChainActivatesOrFaultsCleanlyAndReleasesCompletely) {
  Chain chain(kDeep);
  auto sub = subscribe_recording(chain.tail());
  const bool delivered = sub.log() == L({"START", "DATA " + std::to_string(kDeep)});
  EXPECT_TRUE(delivered || is_depth_error(sub.log())) << sub.log().back();
  node_set(chain.nodes[0], iv(5));
  sub.unsubscribe.call();
  for (const NodeHandle& n : chain.nodes) ASSERT_FALSE(activated(n));
  chain.drop_all();
  EXPECT_EQ(chain.released(), static_cast<std::size_t>(kDeep) + 1);
}

TEST(DeepGraphChain, ADeliveryTooDeepErrorsANodeAndLeavesTheGraphUsable) {
  Chain chain(kDeep);
  std::vector<Subscribed> subs = chain.activate_in_steps(kStep);
  // The DIRTY ran out of stack before any function ran: the wave's node
  // errored with the text, and so did the nodes its ERROR reached; as the
  // ERROR too ran out of stack on its way, the operation raised the fault.
  EXPECT_EQ(fault_text([&] { node_set(chain.nodes[0], iv(5)); }), kStackDepthExceeded);
  EXPECT_EQ(status_of(chain.nodes[0]), NodeStatus::Errored);
  EXPECT_TRUE(is_depth_error(subs.front().log()));
  EXPECT_EQ(subs.back().log().back(), "DATA " + std::to_string(kDeep));
  for (Subscribed& s : subs) s.unsubscribe.call();
  for (const NodeHandle& n : chain.nodes) ASSERT_FALSE(activated(n));
  chain.drop_all();
  EXPECT_EQ(chain.released(), static_cast<std::size_t>(kDeep) + 1);
}

// Every level's list holds its dependant's dep sink and a subscriber, in
// either order: a DATA through such lists nests no deeper than through
// lists of one, so the DIRTY still runs out of stack first.
TEST(DeepGraphChain, ADeliveryTooDeepThroughListsOfTwoFaultsBeforeAnyNodeTakesAValue) {
  for (const bool subscriber_first : {false, true}) {
    SCOPED_TRACE(subscriber_first ? "subscriber first" : "dep sink first");
    Chain chain(kDeep);
    std::vector<Subscribed> subs;
    subs.reserve(chain.nodes.size() + kDeep / kStep + 1);
    if (subscriber_first) {
      // From the source on: each activation adds its dep sink after the
      // subscriber its dep has already.
      for (const NodeHandle& n : chain.nodes) subs.push_back(subscribe_recording(n));
    } else {
      subs = chain.activate_in_steps(kStep);
      for (const NodeHandle& n : chain.nodes) subs.push_back(subscribe_recording(n));
    }
    expect_set_faults_before_any_node_takes_a_value(chain, subs);
    for (Subscribed& s : subs) s.unsubscribe.call();
    for (const NodeHandle& n : chain.nodes) ASSERT_FALSE(activated(n));
    chain.drop_all();
    EXPECT_EQ(chain.released(), static_cast<std::size_t>(kDeep) + 1);
  }
}

// Every level's list is four wide: its dependant's dep sink and three
// subscribers or keep-alives, in either order. A DIRTY to a wide list marks
// its quiet dependants together, but one whose DIRTY goes further still
// nests as through a lone dep sink: the DIRTY runs out of stack first.
TEST(DeepGraphChain, ADeliveryTooDeepThroughListsOfFourFaultsBeforeAnyNodeTakesAValue) {
  struct Layout {
    const char* name;
    bool sinks_first;
    int keepalives;  // of the three sinks beside the dep sink; the rest subscribers
  };
  const Layout layouts[] = {
      {"dep sink first, three subscribers", false, 0},
      {"three subscribers first", true, 0},
      {"dep sink first, two keep-alives and a subscriber", false, 2},
      {"two keep-alives and a subscriber first", true, 2},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    Chain chain(kDeep);
    std::vector<Subscribed> subs;
    std::vector<UnsubscribeFn> keepalives;
    auto widen = [&](const NodeHandle& n) {
      for (int k = 0; k < layout.keepalives; ++k) keepalives.push_back(subscribe_keepalive_core(n));
      for (int k = layout.keepalives; k < 3; ++k) subs.push_back(subscribe_recording(n));
    };
    // From the source on, each activation adds its dep sink after the
    // sinks its dep has already.
    if (!layout.sinks_first) subs = chain.activate_in_steps(kStep);
    subs.reserve(subs.size() + 3 * chain.nodes.size());
    keepalives.reserve(2 * chain.nodes.size());
    for (const NodeHandle& n : chain.nodes) widen(n);
    expect_set_faults_before_any_node_takes_a_value(chain, subs);
    for (Subscribed& s : subs) s.unsubscribe.call();
    for (UnsubscribeFn& k : keepalives) k.call();
    for (const NodeHandle& n : chain.nodes) ASSERT_FALSE(activated(n));
    chain.drop_all();
    EXPECT_EQ(chain.released(), static_cast<std::size_t>(kDeep) + 1);
  }
}

TEST(DeepGraphChain, AnActivationTooDeepKeepsItsConnectionsSoUnsubscribingDetachesThem) {
  // Deep enough that the activation itself runs out of stack.
  Chain chain(kDeep);
  auto sub = subscribe_recording(chain.tail());
  ASSERT_TRUE(is_depth_error(sub.log()));
  std::size_t active = 0;
  for (const NodeHandle& n : chain.nodes) active += activated(n);
  EXPECT_GT(active, 100u);
  EXPECT_TRUE(activated(chain.tail()));
  sub.unsubscribe.call();
  for (const NodeHandle& n : chain.nodes) ASSERT_FALSE(activated(n));
  for (const NodeHandle& n : chain.nodes) ASSERT_TRUE(n.core_ref().borrow()->aux_at(n.index()).sinks.empty());
  // The chain from its middle on works as usual afterwards.
  auto middle = subscribe_recording(chain.nodes[50]);
  EXPECT_EQ(middle.log(), L({"START", "DATA 50"}));
  node_set(chain.nodes[0], iv(1));
  EXPECT_EQ(middle.log().back(), "DATA 51");
}

TEST(DeepGraphChain, ReleasingAnActiveChainDeactivatesAndReleasesEveryNode) {
  Chain chain(kDeep);
  std::vector<Subscribed> subs = chain.activate_in_steps(kStep);
  std::vector<std::string> order;
  add_release_callback(chain.nodes[0], [&] { order.push_back("source"); });
  // The subscriptions go uncalled: their sinks stay until the nodes are released.
  subs.clear();
  chain.drop_all();
  EXPECT_EQ(order, L({"source"}));
  EXPECT_EQ(chain.released(), static_cast<std::size_t>(kDeep) + 1);
}

TEST(DeepGraphChain, UpstreamMessagesThroughAVeryLongChainFaultCleanly) {
  Chain chain(kDeep);
  std::vector<Subscribed> subs = chain.activate_in_steps(kStep);
  // A RESUME of a lock no node holds travels up to the source.
  MessageList resume;
  resume.push_back(Message::resume("not held"));
  node_up_in_wave_scope(chain.tail(), std::move(resume));
  EXPECT_TRUE(is_depth_error(subs.back().log()));
  EXPECT_EQ(status_of(chain.nodes[0]), NodeStatus::Settled);
  for (Subscribed& s : subs) s.unsubscribe.call();
  chain.drop_all();
  EXPECT_EQ(chain.released(), static_cast<std::size_t>(kDeep) + 1);
}

TEST(DeepGraphThreads, AThreadWithASmallStackFaultsWhereTheMainThreadDelivers) {
  constexpr int kLength = kFitsTheMainStack;
  std::vector<std::string> main_log;
  {
    Chain chain(kLength);
    auto sub = subscribe_recording(chain.tail());
    main_log = sub.log();
  }
  EXPECT_EQ(main_log, L({"START", "DATA " + std::to_string(kLength)}));
  std::vector<std::string> thread_log;
  std::string raised;
  std::size_t still_active = 0, released = 0;
  run_on_stack(std::size_t{512} << 10, [&] {
    Chain chain(kLength);
    auto sink = std::make_shared<RecordingSink>();
    SinkRegistration registration;
    UnsubscribeFn action;
    raised = fault_text([&] { action = node_subscribe(chain.tail(), sink, registration); });
    // A subscription the fault took away is undone from its registration.
    if (action.empty() && registration) action = UnsubscribeFn(*registration, chain.tail().promote_counted());
    thread_log = sink->log;
    action.call();
    for (const NodeHandle& n : chain.nodes) still_active += activated(n);
    chain.drop_all();
    released = chain.released();
  });
  // The wave ran out of the thread's stack: the ERROR reached the sink or,
  // when it could not, the operation raised the fault.
  EXPECT_TRUE(is_depth_error(thread_log) || raised == kStackDepthExceeded) << raised;
  EXPECT_EQ(still_active, 0u);
  EXPECT_EQ(released, static_cast<std::size_t>(kLength) + 1);
}
