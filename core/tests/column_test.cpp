// A column of entries relocated as bytes: entries keep their contents and
// go once each, front to back, across growth; a growth whose new entry
// cannot be made leaves the column as it was.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/column.hpp"

namespace korvalinth {
namespace {

// Owns a heap cell (a double or missed destruction shows under the
// sanitizers) and logs its number when it goes.
struct LoggedEntry {
  std::unique_ptr<int> number;
  std::vector<int>* gone;
  explicit LoggedEntry(int n, std::vector<int>* log, bool fail = false) : number(std::make_unique<int>(n)), gone(log) {
    if (fail) throw std::runtime_error("entry refused");
  }
  ~LoggedEntry() {
    if (number) gone->push_back(*number);
  }
};

}  // namespace

template <>
inline constexpr bool relocatable_as_bytes<LoggedEntry> =
    made_of_relocatable_parts<LoggedEntry, std::unique_ptr<int>, std::vector<int>*>;

namespace {

struct Padded {
  std::uint8_t flag;
  void* pointer;
  std::uint8_t tail;
};
struct WithString {
  void* pointer;
  std::string text;
};
// The listed parts must be the whole layout, padding included, and each relocatable.
static_assert(made_of_relocatable_parts<Padded, std::uint8_t, void*, std::uint8_t>);
static_assert(!made_of_relocatable_parts<Padded, std::uint8_t, void*>);
static_assert(!made_of_relocatable_parts<WithString, void*, std::string>);

TEST(Column, EntriesKeepTheirContentsAcrossGrowthAndGoOnceFrontToBack) {
  for (int count : {0, 1, 2, 3, 5, 8, 9, 33}) {
    std::vector<int> gone;
    {
      Column<LoggedEntry> column;
      for (int i = 0; i < count; ++i) EXPECT_EQ(*column.emplace_back(i, &gone).number, i) << count;
      ASSERT_EQ(column.size(), static_cast<std::size_t>(count));
      for (int i = 0; i < count; ++i) EXPECT_EQ(*column[i].number, i) << count;
      EXPECT_TRUE(gone.empty()) << count;  // growth destroyed nothing
    }
    std::vector<int> expected;
    for (int i = 0; i < count; ++i) expected.push_back(i);
    EXPECT_EQ(gone, expected) << count;
  }
}

TEST(Column, AGrowthWhoseEntryFailsLeavesTheColumnAsItWas) {
  for (int count : {0, 1, 2, 4, 16}) {  // full columns: the next entry grows them
    std::vector<int> gone;
    Column<LoggedEntry> column;
    for (int i = 0; i < count; ++i) column.emplace_back(i, &gone);
    const LoggedEntry* first = column.begin();
    EXPECT_THROW(column.emplace_back(99, &gone, true), std::runtime_error);
    EXPECT_EQ(column.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(column.begin(), first) << count;
    for (int i = 0; i < count; ++i) EXPECT_EQ(*column[i].number, i) << count;
    EXPECT_TRUE(gone.empty()) << count;  // no entry went, the refused one never was
    column.emplace_back(count, &gone);
    EXPECT_EQ(*column.back().number, count);
  }
}

}  // namespace
}  // namespace korvalinth
