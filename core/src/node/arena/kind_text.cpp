#include "node/arena/kind_text.hpp"

#include <array>

namespace korvalinth {

namespace {

// The kinds the graph's factories register and build under, and the text a
// moved-from kind reads.
const std::array<std::string, 6>& shared_texts() {
  static const std::array<std::string, 6> texts{"", "state", "node", "derived", "effect", "producer"};
  return texts;
}

// The low bit of the text's address marks a text the word owns.
constexpr std::uintptr_t kOwned = 1;

std::uintptr_t bits_of(const std::string* text) noexcept { return reinterpret_cast<std::uintptr_t>(text); }

}  // namespace

std::uintptr_t KindWord::empty() noexcept { return bits_of(&shared_texts()[0]); }

std::uintptr_t KindWord::of(std::string text) {
  for (const std::string& shared : shared_texts()) {
    if (shared == text) return bits_of(&shared);
  }
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
