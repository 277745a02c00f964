#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "node/arena/message.hpp"

using namespace korvalinth;

TEST(Message, KindNamesIgnorePayload) {
  EXPECT_EQ(Message::pull("p1").kind_name(), "PULL");
  EXPECT_EQ(Message::error(make_text_error("boom")).kind_name(), "ERROR");
  EXPECT_EQ(message_kind_name(MessageKind::Teardown), "TEARDOWN");
}

TEST(Message, StableSortByTier) {
  auto a = make_value<int>(1);
  auto b = make_value<int>(2);
  MessageList list;
  list.push_back(Message::complete());
  list.push_back(Message::data(a));
  list.push_back(Message::dirty());
  list.push_back(Message::data(b));
  list.push_back(Message::start());
  sort_by_tier(list);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0].kind(), MessageKind::Start);
  EXPECT_EQ(list[1].kind(), MessageKind::Dirty);
  EXPECT_EQ(list[2].value(), a);
  EXPECT_EQ(list[3].value(), b);
  EXPECT_EQ(list[4].kind(), MessageKind::Complete);

  MessageList equal;
  equal.push_back(Message::resume("x"));
  equal.push_back(Message::pause("y"));
  sort_by_tier(equal);
  EXPECT_EQ(equal[0].kind(), MessageKind::Resume);
  EXPECT_EQ(equal[1].lock_id(), "y");
}

TEST(Message, ReleasingDataLeavesSharedValueAlive) {
  auto v = make_value<std::string>("kept");
  SharedValue cached = v;
  { Message m = Message::data(v); }
  v.reset();
  ASSERT_NE(value_cast<std::string>(cached), nullptr);
  EXPECT_EQ(*value_cast<std::string>(cached), "kept");
  EXPECT_EQ(value_cast<int>(cached), nullptr);
}

// Both release roads of a DATA drop its share of the value at once and keep
// the kind; the value then reads as none through either reader.
TEST(Message, ReleasingADataDropsItsValueInPlace) {
  using Release = void (*)(Message&);
  const Release roads[] = {[](Message& m) { m.release_payload(); }, [](Message& m) { m.release_data_value(); }};
  for (Release release : roads) {
    SharedValue v = make_value<int>(7);
    const WeakValue watch(v);
    Message m = Message::data(std::move(v));
    EXPECT_EQ(&m.data_value(), &m.value());
    release(m);
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(m.kind(), MessageKind::Data);
    EXPECT_EQ(m.value(), nullptr);
    EXPECT_EQ(m.data_value(), nullptr);
  }
}

namespace {

// A kind, how to make a message of it with a payload, and that payload read back.
struct PayloadCase {
  const char* name;
  Message (*make)();
  std::string (*payload)(const Message&);
};

const PayloadCase kPayloadCases[] = {
    {"PAUSE", [] { return Message::pause(std::string(40, 'p')); }, [](const Message& m) { return m.lock_id(); }},
    {"RESUME", [] { return Message::resume("r"); }, [](const Message& m) { return m.lock_id(); }},
    {"PULL", [] { return Message::pull(std::string(40, 'q'), make_value<int>(3)); },
     [](const Message& m) { return m.pull_request().pull_id + (m.pull_request().params ? "+" : ""); }},
    {"DATA", [] { return Message::data(make_value<std::string>("d")); },
     [](const Message& m) { return m.value() ? *value_cast<std::string>(m.value()) : std::string(); }},
    {"ERROR", [] { return Message::error(make_text_error("boom")); },
     [](const Message& m) { return m.error_value() ? m.error_value()->display() : std::string(); }},
    {"COMPLETE", [] { return Message::complete(); }, [](const Message&) { return std::string(); }},
};

}  // namespace

// Moves carry the kind and exactly that kind's payload, over a message of
// any other kind; releasing empties the payload in place and keeps the kind.
TEST(Message, MovesAndReleasesKeepKindAndPayloadTogether) {
  for (const PayloadCase& c : kPayloadCases) {
    SCOPED_TRACE(c.name);
    const std::string expected = c.payload(c.make());
    Message moved_from = c.make();
    Message built(std::move(moved_from));
    EXPECT_EQ(built.kind_name(), c.name);
    EXPECT_EQ(c.payload(built), expected);
    EXPECT_EQ(moved_from.kind_name(), c.name);
    for (const PayloadCase& other : kPayloadCases) {
      Message target = other.make();
      Message source = c.make();
      target = std::move(source);
      EXPECT_EQ(target.kind_name(), c.name);
      EXPECT_EQ(c.payload(target), expected);
    }
    built.release_payload();
    EXPECT_EQ(built.kind_name(), c.name);
    EXPECT_EQ(c.payload(built), "");
  }
}

// A swap trades kinds and payloads whole, for every pair of kinds (two DATA
// trade only their values); a swapped value keeps its one share.
TEST(Message, SwapTradesKindAndPayloadForEveryPairOfKinds) {
  for (const PayloadCase& a : kPayloadCases) {
    for (const PayloadCase& b : kPayloadCases) {
      SCOPED_TRACE(std::string(a.name) + " with " + b.name);
      Message x = a.make();
      Message y = b.make();
      x.swap(y);
      EXPECT_EQ(x.kind_name(), b.name);
      EXPECT_EQ(b.payload(x), b.payload(b.make()));
      EXPECT_EQ(y.kind_name(), a.name);
      EXPECT_EQ(a.payload(y), a.payload(a.make()));
    }
  }
  SharedValue v = make_value<int>(1);
  const WeakValue watch(v);
  Message x = Message::data(std::move(v));
  Message y = Message::data(make_value<int>(2));
  x.swap(y);
  EXPECT_EQ(*value_cast<int>(x.value()), 2);
  y.release_payload();
  EXPECT_TRUE(watch.expired());
}

TEST(Message, ReadingAnotherKindsPayloadThrows) {
  const Message pull = Message::pull("p");
  EXPECT_THROW((void)pull.lock_id(), std::bad_variant_access);
  EXPECT_THROW((void)pull.value(), std::bad_variant_access);
  EXPECT_THROW((void)Message::data(nullptr).pull_request(), std::bad_variant_access);
  EXPECT_THROW((void)Message::pause("l").error_value(), std::bad_variant_access);
}

TEST(NodeStatusText, RoundTrips) {
  for (int i = 0; i <= 6; ++i) {
    auto s = static_cast<NodeStatus>(i);
    EXPECT_EQ(parse_node_status(node_status_name(s)), s);
  }
  EXPECT_FALSE(parse_node_status("Settled").has_value());
  EXPECT_FALSE(is_quiescent_status(NodeStatus::Dirty));
  EXPECT_FALSE(is_quiescent_status(NodeStatus::Pending));
  EXPECT_TRUE(is_quiescent_status(NodeStatus::Resolved));
}
