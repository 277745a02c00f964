#pragma once
// The kind texts a node keeps: the kind its graph row registers ("state",
// "derived", ...) and the optional kind text of its call entry. Each is kept
// in one word: the kinds of the graph's own factories are texts shared by
// every node, and only another kind is kept on the heap by its owner.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/relocatable.hpp"

namespace korvalinth {

// The kinds the graph's own factories use, named without a text: a factory
// hands its kind over without making or comparing one.
enum class SharedKind : std::uint8_t { State = 1, Node, Derived, Effect, Producer };

// One word naming a kind text: the text's address, its low bit set when the
// word owns the text. Written once here for both kind holders below.
// In line but for the owned texts: every node's build names, copies and
// drops its kinds, nearly always shared ones.
struct KindWord {
  static std::uintptr_t of(std::string text);
  static std::uintptr_t of(SharedKind kind) noexcept {
    return reinterpret_cast<std::uintptr_t>(&kSharedTexts[static_cast<std::size_t>(kind)]);
  }
  static std::uintptr_t copy(std::uintptr_t bits) { return (bits & kOwned) ? copy_owned(bits) : bits; }
  static void free(std::uintptr_t bits) noexcept {
    if (bits & kOwned) free_owned(bits);
  }
  static const std::string& text(std::uintptr_t bits) noexcept {
    return *reinterpret_cast<const std::string*>(bits & ~kOwned);
  }
  static std::uintptr_t empty() noexcept { return reinterpret_cast<std::uintptr_t>(&kSharedTexts[0]); }

 private:
  // The low bit of the text's address marks a text the word owns.
  static constexpr std::uintptr_t kOwned = 1;
  // The text a moved-from kind reads, then each SharedKind's at its index.
  static const std::string kSharedTexts[6];
  static std::uintptr_t copy_owned(std::uintptr_t bits);
  static void free_owned(std::uintptr_t bits) noexcept;

 public:
  // The address's other low bits, which the word never sets: a holder may mark with them.
  static constexpr std::uintptr_t kFreeBits = (alignof(std::string) - 1) & ~kOwned;
};

class KindText {
 public:
  explicit KindText(std::string text) : bits_(KindWord::of(std::move(text))) {}
  explicit KindText(SharedKind kind) noexcept : bits_(KindWord::of(kind)) {}
  KindText(const KindText& other) : bits_(KindWord::copy(other.bits_)) {}
  KindText(KindText&& other) noexcept : bits_(std::exchange(other.bits_, KindWord::empty())) {}
  KindText& operator=(KindText other) noexcept {
    std::swap(bits_, other.bits_);
    return *this;
  }
  ~KindText() { KindWord::free(bits_); }

  const std::string& text() const noexcept { return KindWord::text(bits_); }
  operator const std::string&() const noexcept { return text(); }
  friend bool operator==(const KindText& kind, std::string_view text) noexcept { return kind.text() == text; }
  // The kind's word, for a holder that keeps it as a word: this one is left empty.
  std::uintptr_t release_word() && noexcept { return std::exchange(bits_, KindWord::empty()); }

 private:
  friend class OptionalKindText;
  std::uintptr_t bits_;
};

// A kind text or none (a null word).
class OptionalKindText {
 public:
  OptionalKindText() noexcept = default;
  explicit OptionalKindText(std::optional<std::string> text)
      : bits_(text ? KindWord::of(std::move(*text)) : 0) {}
  // A copy of the kind: a shared text is not copied.
  explicit OptionalKindText(const KindText& kind) : bits_(KindWord::copy(kind.bits_)) {}
  OptionalKindText(const OptionalKindText& other) : bits_(other.bits_ ? KindWord::copy(other.bits_) : 0) {}
  OptionalKindText(OptionalKindText&& other) noexcept : bits_(std::exchange(other.bits_, 0)) {}
  OptionalKindText& operator=(OptionalKindText other) noexcept {
    std::swap(bits_, other.bits_);
    return *this;
  }
  ~OptionalKindText() {
    if (bits_) KindWord::free(bits_);
  }

  bool has_value() const noexcept { return bits_ != 0; }
  // A copy of the text, or none.
  std::optional<std::string> value() const {
    if (!bits_) return std::nullopt;
    return KindWord::text(bits_);
  }

 private:
  std::uintptr_t bits_ = 0;
};

template <>
inline constexpr bool relocatable_as_bytes<OptionalKindText> = made_of_relocatable_parts<OptionalKindText, std::uintptr_t>;

}  // namespace korvalinth
