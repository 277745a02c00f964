#include "graph/kind_text.hpp"

#include <array>

namespace korvalinth {

namespace {

// The kinds the graph's factories register under, and the text a moved-from
// kind reads.
const std::array<std::string, 6>& shared_texts() {
  static const std::array<std::string, 6> texts{"", "state", "node", "derived", "effect", "producer"};
  return texts;
}

std::uintptr_t bits_of(const std::string* text) noexcept { return reinterpret_cast<std::uintptr_t>(text); }

}  // namespace

std::uintptr_t KindText::empty_bits() noexcept { return bits_of(&shared_texts()[0]); }

KindText::KindText(std::string text) {
  for (const std::string& shared : shared_texts()) {
    if (shared == text) {
      bits_ = bits_of(&shared);
      return;
    }
  }
  bits_ = bits_of(new std::string(std::move(text))) | kOwned;
}

KindText::KindText(const KindText& other)
    : bits_((other.bits_ & kOwned) ? bits_of(new std::string(other.text())) | kOwned : other.bits_) {}

KindText::~KindText() {
  if (bits_ & kOwned) delete &text();
}

}  // namespace korvalinth
