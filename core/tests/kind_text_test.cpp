#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "node/arena/kind_text.hpp"

using namespace korvalinth;

// Factory kinds share one text, other kinds are owned by their row: both
// must read, copy, move and assign alike.
TEST(KindText, SharedAndOwnedKindsBehaveAlike) {
  for (const std::string text : {"state", "node", "derived", "effect", "producer", "", "map", "state#1", "State"}) {
    SCOPED_TRACE(text);
    KindText kind(text);
    EXPECT_EQ(kind.text(), text);
    KindText copy(kind);
    EXPECT_EQ(copy, text);
    EXPECT_EQ(kind, text);
    KindText moved(std::move(copy));
    EXPECT_EQ(moved, text);
    EXPECT_EQ(copy, "");  // a moved-from kind reads as empty
    KindText assigned(std::string("other"));
    assigned = kind;
    EXPECT_EQ(assigned, text);
    assigned = KindText(std::string("effect"));
    EXPECT_EQ(assigned, "effect");
    const std::string& as_text = kind;
    EXPECT_EQ(as_text, text);
  }
}
