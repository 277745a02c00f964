#include <gtest/gtest.h>

#include <stdexcept>

#include "base/drop_fault.hpp"
#include "base/scope_exit.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

enum class ScopeEnd { Return, Fault };

// Runs a scope that ends as given, with or without dismissing its cleanup;
// gives how often the cleanup ran.
int cleanups_run(ScopeEnd end, bool dismiss) {
  int runs = 0;
  try {
    auto cleanup = on_scope_exit([&]() noexcept { runs += 1; });
    if (dismiss) cleanup.dismiss();
    if (end == ScopeEnd::Fault) throw std::runtime_error("scope fault");
  } catch (const std::runtime_error&) {
  }
  return runs;
}

}  // namespace

TEST(ScopeExit, CleanupRunsOnceAtEveryEndUnlessDismissed) {
  struct Case {
    ScopeEnd end;
    bool dismiss;
    int runs;
  };
  for (const Case& c : {Case{ScopeEnd::Return, false, 1}, Case{ScopeEnd::Fault, false, 1},
                        Case{ScopeEnd::Return, true, 0}, Case{ScopeEnd::Fault, true, 0}}) {
    EXPECT_EQ(cleanups_run(c.end, c.dismiss), c.runs)
        << "end " << static_cast<int>(c.end) << ", dismissed " << c.dismiss;
  }
}

TEST(ScopeExit, AQuietCleanupKeepsItsFaultWhileAnotherUnwinds) {
  EXPECT_EQ(fault_text([] {
              auto cleanup = on_scope_exit([]() noexcept { drop_quietly([] { fault("cleanup fault"); }); });
              fault("scope fault");
            }),
            "scope fault");
  EXPECT_EQ(fault_text([] { raise_kept_drop_fault(); }), "cleanup fault");
}
