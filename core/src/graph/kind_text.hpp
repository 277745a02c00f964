#pragma once
// The registration kind a graph row keeps ("state", "derived", ...). A graph
// keeps one row per node, so the kind costs the row one word: the kinds of
// the graph's own factories are texts shared by every row, and only another
// kind is kept on the heap by its row.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace korvalinth {

class KindText {
 public:
  explicit KindText(std::string text);
  KindText(const KindText& other);
  KindText(KindText&& other) noexcept : bits_(std::exchange(other.bits_, empty_bits())) {}
  KindText& operator=(KindText other) noexcept {
    std::swap(bits_, other.bits_);
    return *this;
  }
  ~KindText();

  const std::string& text() const noexcept { return *reinterpret_cast<const std::string*>(bits_ & ~kOwned); }
  operator const std::string&() const noexcept { return text(); }
  friend bool operator==(const KindText& kind, std::string_view text) noexcept { return kind.text() == text; }

 private:
  // The low bit of the text's address marks a text the row owns.
  static constexpr std::uintptr_t kOwned = 1;
  static std::uintptr_t empty_bits() noexcept;
  std::uintptr_t bits_;
};

}  // namespace korvalinth
