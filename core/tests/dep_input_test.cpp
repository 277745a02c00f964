// A run's input of one dep, in each of its forms: what a function reads of
// it, and the order its parts go in when the input holds their last share
// (a Python value's finalizer may watch that order).

#include <gtest/gtest.h>

#include <functional>

#include "logging_sinks.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// What a function can read of an input, values by name ("-" for none).
struct Seen {
  std::string current;
  std::string latest;
  bool terminal = false;
  std::string error;
  std::vector<std::vector<std::string>> deliveries;
  bool operator==(const Seen&) const = default;
};

std::string named(const SharedValue& v) { return v ? name_of(v) : "-"; }

Seen seen(const DepInput& in) {
  Seen s{named(in.current), named(in.latest()), in.terminal().present, in.terminal().error ? *in.terminal().error : "",
         {}};
  for (const DeliveryView list : in.deliveries()) {
    std::vector<std::string>& names = s.deliveries.emplace_back();
    for (const SharedValue& v : list) names.push_back(named(v));
  }
  return s;
}

// One list per entry; a null value marks an INVALIDATE.
WaveDeliveries lists_of(std::vector<std::vector<SharedValue>> lists) {
  WaveDeliveries out;
  for (auto& list : lists) {
    out.open_list();
    for (auto& v : list) out.push(std::move(v));
  }
  return out;
}

struct Case {
  const char* name;
  std::function<DepInput(std::vector<std::string>&)> make;
  Seen expected;
  std::vector<std::string> drops;
};

const std::vector<Case>& cases() {
  static const std::vector<Case> table = {
      {"quiet", [](auto& log) { return DepInput(tracked(log, "latest")); }, {"latest", "latest", false, "", {}},
       {"~latest"}},
      {"a quiet dep without a value", [](auto&) { return DepInput(SharedValue()); }, {"-", "-", false, "", {}}, {}},
      {"a newer value",
       [](auto& log) {
         SharedValue newest = tracked(log, "newest");
         return DepInput(TerminalRecord{}, lists_of({{tracked(log, "first")}}), tracked(log, "latest"), &newest);
       },
       {"newest", "latest", false, "", {{"first"}}},
       {"~latest", "~newest", "~first"}},
      {"a first value after none",
       [](auto& log) {
         SharedValue newest = tracked(log, "newest");
         return DepInput(TerminalRecord{}, lists_of({{newest}}), SharedValue(), &newest);
       },
       {"newest", "-", false, "", {{"newest"}}},
       {"~newest"}},
      {"a terminal and lists without a new value",
       [](auto& log) {
         std::shared_ptr<const std::string> error(new std::string("boom"), [&log](const std::string* s) {
           log.push_back("~error");
           delete s;
         });
         return DepInput(TerminalRecord{true, std::move(error)}, lists_of({{tracked(log, "gone")}, {nullptr}, {}}),
                         tracked(log, "latest"), nullptr);
       },
       {"latest", "latest", true, "boom", {{"gone"}, {"-"}, {}}},
       {"~latest", "~gone", "~error"}},
  };
  return table;
}

}  // namespace

// Each form reads the same made in place or moved on (as a list's growth
// moves its inputs), and lets its parts go in the same order.
TEST(DepInput, EachFormReadsItsPartsAndDropsThemInOrder) {
  for (const Case& c : cases()) {
    for (bool moved : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (moved ? ", moved" : ""));
      std::vector<std::string> log;
      {
        DepInputs inputs;
        if (moved) {
          // Past the inline room: the list moves its inputs to the heap.
          inputs.push_back(c.make(log));
          for (std::size_t i = 0; i < kInlineDepInputs; ++i) inputs.emplace_back();
        } else {
          inputs.append_made(1, [&](DepInput* at, std::size_t) noexcept { ::new (at) DepInput(c.make(log)); });
        }
        EXPECT_EQ(seen(inputs[0]), c.expected);
        EXPECT_TRUE(log.empty());
      }
      EXPECT_EQ(log, c.drops);
    }
  }
}

// An input filled by hand (outside a run) keeps its lists and value.
TEST(DepInput, DeliveriesFilledByHandAreRead) {
  std::vector<std::string> log;
  {
    DepInput in;
    in.current = tracked(log, "v");
    in.deliveries_mut().open_list();
    in.deliveries_mut().push(tracked(log, "a"));
    EXPECT_EQ(seen(in), (Seen{"v", "v", false, "", {{"a"}}}));
  }
  EXPECT_EQ(log, L({"~v", "~a"}));
}

// A lent input reads its dep state's value and drops nothing; once it keeps
// a share, the value outlives the state's and goes with the input, as an
// input made with a share would let it go.
TEST(DepInput, ALentInputDropsNothingUnlessItKeptAShare) {
  for (bool kept : {false, true}) {
    SCOPED_TRACE(kept ? "kept" : "lent");
    std::vector<std::string> log;
    SharedValue state_value = tracked(log, "latest");
    {
      DepInputs inputs;
      inputs.push_back(DepInput(LentLatest{}, state_value));
      for (std::size_t i = 0; i < kInlineDepInputs; ++i) inputs.emplace_back();  // moved on to the heap
      EXPECT_EQ(seen(inputs[0]), (Seen{"latest", "latest", false, "", {}}));
      if (kept) {
        inputs[0].keep_share();
        state_value.reset();
        EXPECT_TRUE(log.empty());
        EXPECT_EQ(seen(inputs[0]), (Seen{"latest", "latest", false, "", {}}));
      }
      log.push_back("inputs go");
    }
    state_value.reset();
    EXPECT_EQ(log, L({"inputs go", "~latest"}));
  }
}
