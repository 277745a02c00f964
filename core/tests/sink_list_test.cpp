// A sink list read by a delivery while it changes or goes away.

#include <gtest/gtest.h>

#include "node/arena/sink_list.hpp"

using namespace korvalinth;

namespace {

struct CountingSink final : Sink {
  int calls = 0;
  void call(const Message&) override { ++calls; }
};

SinkEntry entry_of(const SharedSink& s, std::uint64_t id) { return SinkEntry{s, id, 0}; }

}  // namespace

enum class Change { Edit, MoveOver, Destroy };

class SinkListRead : public ::testing::TestWithParam<Change> {};

// Whatever happens to the list, a reading keeps calling the sinks it began
// with and holds them alive until it ends.
TEST_P(SinkListRead, KeepsTheSinksItBeganWithUntilItEnds) {
  auto first = std::make_shared<CountingSink>();
  std::weak_ptr<CountingSink> watch = first;
  auto list = std::make_unique<SinkList>();
  list->edit().push_back(entry_of(first, 0));
  first.reset();
  SinkList::Reading reading = list->read();
  switch (GetParam()) {
    case Change::Edit:
      list->edit().clear();
      EXPECT_TRUE(list->empty());
      break;
    case Change::MoveOver:
      *list = SinkList();
      break;
    case Change::Destroy:
      list.reset();
      break;
  }
  ASSERT_FALSE(watch.expired());
  reading.deliver(Message::dirty());
  EXPECT_EQ(watch.lock()->calls, 1);
  reading = SinkList::Reading();
  EXPECT_TRUE(watch.expired());
}

INSTANTIATE_TEST_SUITE_P(Changes, SinkListRead, ::testing::Values(Change::Edit, Change::MoveOver, Change::Destroy));

TEST(SinkList, EditsInPlaceOnlyWhileNoReadingIsOpen) {
  auto s = std::make_shared<CountingSink>();
  SinkList list;
  list.edit().push_back(entry_of(s, 0));
  EXPECT_EQ(&list.edit(), &list.edit());
  {
    SinkList::Reading one = list.read();
    SinkList::Reading two = list.read();
    const std::vector<SinkEntry>* read_list = &list.edit();
    list.edit().push_back(entry_of(s, 1));  // both readings keep the one-sink list
    EXPECT_EQ(&list.edit(), read_list) << "one copy serves every change while the readings last";
    one.deliver(Message::dirty());
    two.deliver(Message::dirty());
    EXPECT_EQ(s->calls, 2);
  }
  list.read().deliver(Message::dirty());
  EXPECT_EQ(s->calls, 4);
  EXPECT_EQ(list.size(), 2u);
}
