// Shared and weak references to a node's count record: the record lives
// while a shared one does, its memory while any does; a weak one locks to
// an empty reference after the last shared one went.

#include <gtest/gtest.h>

#include <utility>

#include "node/arena/count_record.hpp"

namespace korvalinth {
namespace {

TEST(CountRecord, SharedReferencesTallyCopiesMovesAndAssignments) {
  SharedCount a = SharedCount::make();
  EXPECT_EQ(a->count, 1u);
  EXPECT_EQ(a.use_count(), 1);
  SharedCount b = a;
  EXPECT_EQ(a.get(), b.get());
  EXPECT_EQ(a.use_count(), 2);
  SharedCount c = std::move(b);
  EXPECT_FALSE(b);
  EXPECT_EQ(a.use_count(), 2);
  c = c;  // self-assignment keeps the one share
  EXPECT_EQ(a.use_count(), 2);
  SharedCount other = SharedCount::make();
  c = other;  // lets go of a's share first
  EXPECT_EQ(a.use_count(), 1);
  EXPECT_EQ(other.use_count(), 2);
  c.reset();
  EXPECT_EQ(other.use_count(), 1);
  a.swap(other);
  EXPECT_EQ(a.use_count(), 1);
  {
    // A share of a held record tallies as a copy does, and goes as one.
    const SharedCount held = SharedCount::share_of_held(a);
    EXPECT_EQ(held.get(), a.get());
    EXPECT_EQ(a.use_count(), 2);
  }
  EXPECT_EQ(a.use_count(), 1);
  EXPECT_EQ(SharedCount().use_count(), 0);
}

TEST(CountRecord, AWeakReferenceLocksWhileASharedOneLivesAndOutlivesTheRecord) {
  SharedCount shared = SharedCount::make();
  shared->count = 7;
  WeakCount weak(shared);
  WeakCount copy = weak;
  EXPECT_FALSE(weak.expired());
  {
    SharedCount locked = copy.lock();
    ASSERT_TRUE(locked);
    EXPECT_EQ(locked->count, 7u);
    EXPECT_EQ(shared.use_count(), 2);
  }
  shared.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(copy.expired());
  EXPECT_FALSE(weak.lock());
  weak.reset();  // copy still keeps the memory: under ASan a read after its free faults
  EXPECT_TRUE(copy.expired());
  EXPECT_TRUE(WeakCount().expired());
  EXPECT_FALSE(WeakCount().lock());
}

}  // namespace
}  // namespace korvalinth
