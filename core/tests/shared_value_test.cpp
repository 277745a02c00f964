// Shares of a value: the last one destroys it, at the moment it goes, and a
// holder never sees the value it is letting go while that value's destructor
// runs (destructors may run Python code that reads the holder).

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/value.hpp"

namespace korvalinth {
namespace {

// Logs "~name" when destroyed, with what the watched holder held then.
struct Logged {
  std::vector<std::string>* log;
  std::string name;
  const SharedValue* holder = nullptr;
  ~Logged() {
    std::string held = "none";
    if (holder != nullptr && *holder != nullptr) held = value_cast<Logged>(*holder)->name;
    log->push_back("~" + name + " holder=" + held);
  }
};

struct LetGoCase {
  const char* label;
  std::function<void(SharedValue& holder, SharedValue replacement)> let_go;
  std::vector<std::string> log;  // after the old value's last share went
};

class LettingGoTheLastShare : public testing::TestWithParam<LetGoCase> {};

TEST_P(LettingGoTheLastShare, DestroysTheValueWithTheHolderAlreadyMovedOn) {
  std::vector<std::string> log;
  SharedValue holder = make_value<Logged>(&log, "old", &holder);
  SharedValue replacement = make_value<Logged>(&log, "new");
  SharedValue second = holder;
  second.reset();  // not the last share: nothing goes
  EXPECT_TRUE(log.empty());
  GetParam().let_go(holder, std::move(replacement));
  EXPECT_EQ(log, GetParam().log);
  holder.reset();
}

INSTANTIATE_TEST_SUITE_P(
    Value, LettingGoTheLastShare,
    testing::Values(
        LetGoCase{"Reset", [](SharedValue& h, SharedValue) { h.reset(); }, {"~old holder=none", "~new holder=none"}},
        LetGoCase{"AssignNull", [](SharedValue& h, SharedValue) { h = nullptr; }, {"~old holder=none", "~new holder=none"}},
        LetGoCase{"MoveAssign", [](SharedValue& h, SharedValue r) { h = std::move(r); }, {"~old holder=new"}},
        LetGoCase{"CopyAssign", [](SharedValue& h, SharedValue r) { h = r; }, {"~old holder=new"}},
        LetGoCase{"SelfAssign",
                  [](SharedValue& h, SharedValue) {
                    SharedValue& same = h;
                    h = same;
                  },
                  {"~new holder=none"}},
        LetGoCase{"MovedAway",
                  [](SharedValue& h, SharedValue) {
                    SharedValue taker = std::move(h);
                    EXPECT_EQ(h, nullptr);  // NOLINT: a moved-from share is empty
                  },
                  {"~old holder=none", "~new holder=none"}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Value, SharesAreOneValueUntilTheLastGoes) {
  std::vector<std::string> log;
  SharedValue a = make_value<Logged>(&log, "v");
  SharedValue b = a;
  SharedValue c;
  c = b;
  EXPECT_EQ(a, c);
  EXPECT_EQ(a.get(), &*c);
  a.reset();
  b = nullptr;
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(value_cast<Logged>(c)->name, "v");
  c.reset();
  EXPECT_EQ(log, (std::vector<std::string>{"~v holder=none"}));
}

TEST(Value, WatchesTellWhenTheValueHasGone) {
  SharedValue v = make_value<int>(1);
  WeakValue none;
  WeakValue of_nothing = SharedValue();
  EXPECT_TRUE(none.expired());
  EXPECT_TRUE(of_nothing.expired());

  WeakValue first = v;
  WeakValue second = first;
  {
    WeakValue gone_early = v;  // a watch that goes first leaves the others be
  }
  EXPECT_FALSE(first.expired());
  EXPECT_FALSE(second.expired());
  v.reset();
  EXPECT_TRUE(first.expired());
  EXPECT_TRUE(second.expired());
  WeakValue moved = std::move(first);
  EXPECT_TRUE(moved.expired());

  // Every watch of a live value may go, and a new one starts afresh.
  SharedValue w = make_value<int>(2);
  { WeakValue brief = w; }
  WeakValue again = w;
  EXPECT_FALSE(again.expired());
}

TEST(Value, ContentSharesKeepTheirValue) {
  std::vector<std::string> log;
  SharedContent<Logged> content;
  {
    SharedValue v = make_value<Logged>(&log, "c");
    content = SharedContent<Logged>(v, value_cast<Logged>(v));
  }
  ASSERT_TRUE(content);
  EXPECT_EQ(content->name, "c");
  EXPECT_TRUE(log.empty());
  content = nullptr;
  EXPECT_EQ(log, (std::vector<std::string>{"~c holder=none"}));
}

}  // namespace
}  // namespace korvalinth
