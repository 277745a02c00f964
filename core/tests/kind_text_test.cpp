#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "node/arena/kind_text.hpp"

using namespace korvalinth;

// Factory kinds share one text, other kinds are owned by their row: both
// must read, copy, move and assign alike.
TEST(KindText, SharedAndOwnedKindsBehaveAlike) {
  for (const std::string text : {"state", "node", "derived", "effect", "producer", "", "map", "state#1", "State", "mode",
                                 "affect", "derives", "produced", "producers"}) {
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

// A node's optional kind keeps none, a shared factory kind or an owned
// kind in one word: each must read back, copy, move and assign alike.
TEST(KindText, OptionalKindsKeepNoneSharedAndOwnedAlike) {
  const std::vector<std::optional<std::string>> texts = {std::nullopt, "derived", "effect", "", "map", "custom kind"};
  for (const std::optional<std::string>& text : texts) {
    SCOPED_TRACE(text.value_or("<none>"));
    OptionalKindText kind(text);
    EXPECT_EQ(kind.has_value(), text.has_value());
    EXPECT_EQ(kind.value(), text);
    OptionalKindText copy(kind);
    EXPECT_EQ(copy.value(), text);
    OptionalKindText moved(std::move(copy));
    EXPECT_EQ(moved.value(), text);
    EXPECT_EQ(copy.value(), std::nullopt);  // a moved-from kind holds none
    OptionalKindText assigned(std::string("other"));
    assigned = kind;
    EXPECT_EQ(assigned.value(), text);
    assigned = OptionalKindText(std::nullopt);
    EXPECT_EQ(assigned.value(), std::nullopt);
    EXPECT_EQ(kind.value(), text);
  }
}
