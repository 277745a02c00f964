// A sink list read by a delivery while it changes or goes away.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "node/arena/sink_list.hpp"

using namespace korvalinth;

namespace {

struct CountingSink final : Sink {
  int calls = 0;
  void call(const Message&) override { ++calls; }
};

SinkEntry entry_of(const SharedSink& s, std::uint64_t id) { return SinkEntry{s, id, 0}; }

// The vector an edit hands its change: the list's own, or a copy of it.
const std::vector<SinkEntry>* edited(SinkList& list) {
  const std::vector<SinkEntry>* at = nullptr;
  list.edit([&](std::vector<SinkEntry>& entries) { at = &entries; });
  return at;
}

}  // namespace

enum class Change { Edit, MoveOver, Destroy };

class SinkListRead : public ::testing::TestWithParam<Change> {};

// Whatever happens to the list, a reading keeps calling the sinks it began
// with and holds them alive until it ends.
TEST_P(SinkListRead, KeepsTheSinksItBeganWithUntilItEnds) {
  auto first = std::make_shared<CountingSink>();
  std::weak_ptr<CountingSink> watch = first;
  auto list = std::make_unique<SinkList>();
  list->edit([&](std::vector<SinkEntry>& e) { e.push_back(entry_of(first, 0)); });
  first.reset();
  SinkList::Reading reading = list->read();
  switch (GetParam()) {
    case Change::Edit:
      list->edit([](std::vector<SinkEntry>& e) { e.clear(); });
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
  list.edit([&](std::vector<SinkEntry>& e) { e.push_back(entry_of(s, 0)); });
  EXPECT_EQ(edited(list), edited(list));
  {
    SinkList::Reading one = list.read();
    SinkList::Reading two = list.read();
    const std::vector<SinkEntry>* read_list = edited(list);
    list.edit([&](std::vector<SinkEntry>& e) { e.push_back(entry_of(s, 1)); });  // both readings keep the one-sink list
    EXPECT_EQ(edited(list), read_list) << "one copy serves every change while the readings last";
    one.deliver(Message::dirty());
    two.deliver(Message::dirty());
    EXPECT_EQ(s->calls, 2);
  }
  list.read().deliver(Message::dirty());
  EXPECT_EQ(s->calls, 4);
  EXPECT_EQ(list.size(), 2u);
}

namespace {

// Logs each call by name; marked dep, a DATA reaches it through call_run,
// and it takes the next `takes` dep entries of the run with it.
struct RunLoggingSink final : Sink {
  std::vector<std::string>* log;
  std::string name;
  int takes = 0;
  RunLoggingSink(std::vector<std::string>* l, std::string n, int t) : log(l), name(std::move(n)), takes(t) {}
  void call(const Message&) override { log->push_back(name); }
  RunEnd call_run(const SinkEntry* self, const SinkEntry* end, const Message& message) override {
    log->push_back(name + "*");
    const SinkEntry* e = self + 1;
    for (int i = 0; i < takes && e != end && e->dep; ++i, ++e) e->sink->call(message);
    return {e, nullptr};
  }
};

struct RunLayout {
  const char* name;
  // One letter per entry: p a plain sink, d a dep-marked one, D a
  // dep-marked one that takes the next dep entry with it.
  const char* entries;
  // The calls a DATA makes: a name with * came through call_run.
  std::vector<std::string> data_calls;
};

}  // namespace

// A DATA reaches a dep-marked entry through call_run, which may take the
// entries after it; every sink is still called once, in the list's order,
// and any other message calls each sink plainly.
TEST(SinkList, ADataToDepEntriesCallsEverySinkOnceInOrder) {
  const RunLayout layouts[] = {
      {"a lone dep entry, called inline", "d", {"0"}},
      {"a run taken whole", "Dd", {"0*", "1"}},
      {"a run taken in part", "Ddd", {"0*", "1", "2*"}},
      {"plain sinks around runs", "pDdpdp", {"0", "1*", "2", "3", "4*", "5"}},
      {"a wide list", "ppDdDdppd", {"0", "1", "2*", "3", "4*", "5", "6", "7", "8*"}},
      {"no dep entry", "pppp", {"0", "1", "2", "3"}},
  };
  for (const RunLayout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    std::vector<std::string> log;
    SinkList list;
    std::vector<std::string> each_once;
    const std::string letters = layout.entries;
    for (std::size_t i = 0; i < letters.size(); ++i) {
      const std::string name = std::to_string(i);
      SinkEntry entry{std::make_shared<RunLoggingSink>(&log, name, letters[i] == 'D' ? 1 : 0), i, 0};
      entry.dep = letters[i] == 'p' ? 0 : 1;
      list.add(std::move(entry));
      each_once.push_back(name);
    }
    auto check = [&](const SinkList::Reading& reading) {
      log.clear();
      reading.deliver(Message::dirty());
      EXPECT_EQ(log, each_once);
      log.clear();
      reading.deliver(Message::data(make_value<int>(1)));
      EXPECT_EQ(log, layout.data_calls);
    };
    // A reading keeps the list while a change copies it: the copy keeps
    // the dep road.
    SinkList::Reading before_edit = list.read();
    list.edit([](std::vector<SinkEntry>&) {});
    check(before_edit);
    check(list.read());
  }
}

namespace {

// Logs each call by name; marked dep, a DIRTY to a wide list reaches it
// through call_dirty_run, and it takes the next `takes` dep entries with it.
struct DirtyRunLoggingSink final : Sink {
  std::vector<std::string>* log;
  std::string name;
  int takes = 0;
  DirtyRunLoggingSink(std::vector<std::string>* l, std::string n, int t) : log(l), name(std::move(n)), takes(t) {}
  void call(const Message&) override { log->push_back(name); }
  RunEnd call_dirty_run(const SinkEntry* self, const SinkEntry* end) override {
    log->push_back(name + "!");
    const SinkEntry* e = self + 1;
    for (int i = 0; i < takes && e != end && e->dep; ++i, ++e) e->sink->call(Message::dirty());
    return {e, nullptr};
  }
};

struct DirtyRunLayout {
  const char* name;
  // One letter per entry: p a plain sink, d a dep-marked one, D a
  // dep-marked one taking the next dep entry with it, x a dep-marked one
  // that takes no run.
  const char* entries;
  // The calls a DIRTY makes: a name with ! came through call_dirty_run.
  std::vector<std::string> dirty_calls;
};

// Ignores every message, as a keep-alive does.
struct IgnoringSink final : Sink {
  int calls = 0;
  void call(const Message&) override { ++calls; }
  bool ignores_messages() const noexcept override { return true; }
};

}  // namespace

// A DIRTY to a list of four or more with dep entries reaches a dep entry
// through call_dirty_run, which may take the entries after it; a sink that
// takes no run, the entries after two such in a row, and any entry of a
// shorter list are called plainly, in order.
TEST(SinkList, ADirtyToAWideListTakesDepEntriesThroughTheirRuns) {
  const DirtyRunLayout layouts[] = {
      {"a short list", "Dd", {"0", "1"}},
      {"three wide", "pDd", {"0", "1", "2"}},
      {"four wide, a run taken whole", "pDdp", {"0", "1!", "2", "3"}},
      {"runs taken in part", "Dddx", {"0!", "1", "2!", "3"}},
      {"runs around a plain sink", "Ddpd", {"0!", "1", "2", "3!"}},
      {"one sink taking no run: the next still runs", "dxDdpp", {"0!", "1", "2!", "3", "4", "5"}},
      {"two in a row taking no run: the rest called plainly", "dxxDdp", {"0!", "1", "2", "3", "4", "5"}},
      {"no dep entry", "pppp", {"0", "1", "2", "3"}},
  };
  for (const DirtyRunLayout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    std::vector<std::string> log;
    SinkList list;
    const std::string letters = layout.entries;
    for (std::size_t i = 0; i < letters.size(); ++i) {
      const std::string name = std::to_string(i);
      SharedSink sink;
      if (letters[i] == 'x')
        sink = std::make_shared<RunLoggingSink>(&log, name, 0);
      else
        sink = std::make_shared<DirtyRunLoggingSink>(&log, name, letters[i] == 'D' ? 1 : 0);
      SinkEntry entry{sink, i, 0};
      entry.dep = letters[i] == 'p' ? 0 : 1;
      list.add(std::move(entry));
    }
    list.read().deliver(Message::dirty());
    EXPECT_EQ(log, layout.dirty_calls);
  }
}

// A DIRTY heeds a list unless every entry ignores messages; an edit looks
// at what its change left. Each change is made while a reading holds the
// list, so each copies it.
TEST(SinkList, ADirtyHeedsAListUnlessEverySinkIgnoresMessages) {
  // One letter per change: i adds a sink ignoring messages, c a counting
  // one; as edits, r takes the counting ones out and a puts one in.
  const std::pair<const char*, bool> layouts[] = {
      {"", false},     {"i", false},    {"iii", false}, {"c", true},   {"iic", true},
      {"ci", true},    {"ia", true},    {"icr", false}, {"cir", false}, {"cr", false},
      {"ira", true},   {"icri", false}, {"icrc", true}, {"iar", false},
  };
  for (const auto& [steps, heeds] : layouts) {
    SCOPED_TRACE(steps);
    auto ignoring = std::make_shared<IgnoringSink>();
    auto counting = std::make_shared<CountingSink>();
    SinkList list;
    SinkList::Reading held = list.read();
    std::uint64_t id = 0;
    for (const char step : std::string(steps)) {
      if (step == 'r')
        list.edit([&](std::vector<SinkEntry>& entries) {
          std::erase_if(entries, [&](const SinkEntry& e) { return e.sink == counting; });
        });
      else if (step == 'a')
        list.edit([&](std::vector<SinkEntry>& entries) { entries.push_back(entry_of(counting, id++)); });
      else
        list.add(entry_of(step == 'i' ? SharedSink(ignoring) : SharedSink(counting), id++));
      held = list.read();
    }
    EXPECT_EQ(list.heeds_dirty(), heeds);
    // Every sink is still called: heeding tells a DIRTY run only.
    list.read().deliver(Message::dirty());
    EXPECT_EQ(ignoring->calls + counting->calls, static_cast<int>(list.size()));
  }
}
