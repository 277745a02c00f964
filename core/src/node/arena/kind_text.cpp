#include "node/arena/kind_text.hpp"

#include <array>
#include <string_view>

namespace korvalinth {

namespace {

// The kinds the graph's factories register and build under, and the text a
// moved-from kind reads.
constexpr std::array<std::string_view, 6> kSharedKinds{"", "state", "node", "derived", "effect", "producer"};

const std::array<std::string, 6>& shared_texts() {
  static const std::array<std::string, 6> texts{std::string(kSharedKinds[0]), std::string(kSharedKinds[1]),
                                                std::string(kSharedKinds[2]), std::string(kSharedKinds[3]),
                                                std::string(kSharedKinds[4]), std::string(kSharedKinds[5])};
  return texts;
}

// The shared kinds' sizes all differ, so a text's size names the one shared
// kind it can equal: one comparison, not one per shared kind.
constexpr std::size_t kNoSharedKind = kSharedKinds.size();
constexpr std::size_t kLongestSharedKind = 8;
constexpr auto kSharedKindOfSize = [] {
  std::array<std::size_t, kLongestSharedKind + 1> of_size{};
  of_size.fill(kNoSharedKind);
  for (std::size_t i = 0; i < kSharedKinds.size(); ++i) of_size[kSharedKinds[i].size()] = i;
  return of_size;
}();
static_assert([] {
  for (std::size_t i = 0; i < kSharedKinds.size(); ++i)
    if (kSharedKindOfSize[kSharedKinds[i].size()] != i) return false;
  return true;
}(), "shared kinds must differ in size");

const std::string* shared_text_equal_to(const std::string& text) noexcept {
  if (text.size() > kLongestSharedKind) return nullptr;
  const std::size_t index = kSharedKindOfSize[text.size()];
  if (index == kNoSharedKind) return nullptr;
  const std::string& shared = shared_texts()[index];
  return shared == text ? &shared : nullptr;
}

// The low bit of the text's address marks a text the word owns.
constexpr std::uintptr_t kOwned = 1;

std::uintptr_t bits_of(const std::string* text) noexcept { return reinterpret_cast<std::uintptr_t>(text); }

}  // namespace

std::uintptr_t KindWord::empty() noexcept { return bits_of(&shared_texts()[0]); }

std::uintptr_t KindWord::of(std::string text) {
  if (const std::string* shared = shared_text_equal_to(text)) return bits_of(shared);
  return bits_of(new std::string(std::move(text))) | kOwned;
}

std::uintptr_t KindWord::copy(std::uintptr_t bits) {
  return (bits & kOwned) ? bits_of(new std::string(text(bits))) | kOwned : bits;
}

void KindWord::free(std::uintptr_t bits) noexcept {
  if (bits & kOwned) delete &text(bits);
}

const std::string& KindWord::text(std::uintptr_t bits) noexcept {
  return *reinterpret_cast<const std::string*>(bits & ~kOwned);
}

}  // namespace korvalinth
