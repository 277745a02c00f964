#include "node/arena/kind_text.hpp"

#include <array>
#include <cstring>
#include <string_view>
#include <utility>

namespace korvalinth {

namespace {

// The kinds the graph's factories register and build under, and the text a
// moved-from kind reads; a SharedKind is its index here.
constexpr std::array<std::string_view, 6> kSharedKinds{"", "state", "node", "derived", "effect", "producer"};

static_assert(kSharedKinds[static_cast<std::size_t>(SharedKind::State)] == "state" &&
              kSharedKinds[static_cast<std::size_t>(SharedKind::Node)] == "node" &&
              kSharedKinds[static_cast<std::size_t>(SharedKind::Derived)] == "derived" &&
              kSharedKinds[static_cast<std::size_t>(SharedKind::Effect)] == "effect" &&
              kSharedKinds[static_cast<std::size_t>(SharedKind::Producer)] == "producer");

// The shared kind equal to text, if any: its size picks the candidate and
// the comparison runs at the candidate's known size, with no call.
template <std::size_t... I>
const std::string* shared_text_equal_to(const std::string* shared_texts, const std::string& text,
                                        std::index_sequence<I...>) noexcept {
  const std::string* found = nullptr;
  ((text.size() == kSharedKinds[I].size() &&
    std::memcmp(text.data(), kSharedKinds[I].data(), kSharedKinds[I].size()) == 0 &&
    (found = &shared_texts[I], true)) ||
   ...);
  return found;
}

std::uintptr_t bits_of(const std::string* text) noexcept { return reinterpret_cast<std::uintptr_t>(text); }

}  // namespace

// At namespace scope, not in a function: every kind's move reads one, and a
// function's static would test its guard on each read. Nothing made before
// main keeps a kind.
const std::string KindWord::kSharedTexts[6]{std::string(kSharedKinds[0]), std::string(kSharedKinds[1]),
                                            std::string(kSharedKinds[2]), std::string(kSharedKinds[3]),
                                            std::string(kSharedKinds[4]), std::string(kSharedKinds[5])};

std::uintptr_t KindWord::of(std::string text) {
  if (const std::string* shared =
          shared_text_equal_to(kSharedTexts, text, std::make_index_sequence<kSharedKinds.size()>()))
    return bits_of(shared);
  return bits_of(new std::string(std::move(text))) | kOwned;
}

std::uintptr_t KindWord::copy_owned(std::uintptr_t bits) { return bits_of(new std::string(text(bits))) | kOwned; }

void KindWord::free_owned(std::uintptr_t bits) noexcept { delete &text(bits); }

}  // namespace korvalinth
