#include <gtest/gtest.h>

#include <thread>

#include "dispatcher/dispatcher.hpp"
#include "node/construct.hpp"
#include "node/fault.hpp"

using namespace korvalinth;

namespace {
struct CountingFn final : NodeFn {
  int runs = 0;
  void run(RunContext&) override { ++runs; }
};
SharedNodeFn make_fn() { return std::make_shared<CountingFn>(); }

std::string fault_text(auto&& f) {
  try {
    f();
  } catch (const Fault& e) {
    return e.text();
  }
  return "<no fault>";
}
}  // namespace

TEST(Dispatcher, KeysReuseFreedSlotsLastInFirstOut) {
  Dispatcher d{0, 1};
  EXPECT_EQ(d.register_fn(0, make_fn()), (DispatcherKey{0, 0, 0}));
  EXPECT_EQ(d.register_fn(0, make_fn()), (DispatcherKey{0, 1, 0}));
  EXPECT_EQ(d.register_fn(0, make_fn()), (DispatcherKey{0, 2, 0}));
  d.free_slot({0, 1, 0});
  EXPECT_EQ(d.lookup({0, 1, 0}), nullptr);
  EXPECT_EQ(d.register_fn(0, make_fn()), (DispatcherKey{0, 1, 1}));
  d.free_slot({0, 1, 0});  // stale: changes nothing
  EXPECT_NE(d.lookup({0, 1, 1}), nullptr);

  d.free_slot({0, 2, 0});
  d.free_slot({0, 0, 0});
  EXPECT_EQ(d.register_fn(0, make_fn()), (DispatcherKey{0, 0, 1}));
  EXPECT_EQ(d.register_fn(0, make_fn()), (DispatcherKey{0, 2, 1}));
}

TEST(Dispatcher, PartitionOutOfRangeFaultsAndReleasesTheFunction) {
  Dispatcher d{0, 1};
  auto fn = make_fn();
  std::weak_ptr<NodeFn> weak = fn;
  EXPECT_EQ(fault_text([&] { d.register_fn(2, std::move(fn)); }),
            "index out of bounds: the len is 2 but the index is 2");
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(d.partition_flag(1), 1);
}

TEST(Dispatcher, ThreadDefaultIsPerThread) {
  auto a = Dispatcher::thread_default();
  EXPECT_EQ(a, Dispatcher::thread_default());
  EXPECT_EQ(a->partition_flag(0), 0);
  EXPECT_EQ(a->partition_flag(1), 1);
  EXPECT_FALSE(a->timing_enabled());
  DispatcherRef other;
  std::thread([&] { other = Dispatcher::thread_default(); }).join();
  EXPECT_NE(a, other);
}

TEST(Dispatcher, TimingEntriesAccumulateAndGoWithTheSlot) {
  auto d = std::make_shared<Dispatcher>(std::initializer_list<std::uint8_t>{0, 1});
  auto key = d->register_fn(0, make_fn());
  std::uint64_t start = monotonic_now_ns();
  record_fn_timing(start, d, key);
  record_fn_timing(start, d, key);
  auto stats = d->timing_of(key);
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->calls, 2u);
  EXPECT_GE(stats->total_ns, stats->last_ns);
  // A clock reading in the future saturates at zero.
  record_fn_timing(monotonic_now_ns() + 1000000000ULL, d, key);
  EXPECT_EQ(d->timing_of(key)->last_ns, 0u);
  d->free_slot(key);
  EXPECT_FALSE(d->timing_of(key));
}
