#pragma once
// The number of a graph's next generated node id, kept with its decimal
// text: counting up rewrites the text's last digits in place, so a generated
// id needs no number formatting; only raising it to a number taken by name
// writes the text anew.

#include <cstdint>
#include <limits>
#include <string_view>

namespace korvalinth {

class UnnamedCounter {
 public:
  std::uint64_t value() const noexcept { return value_; }
  std::string_view digits() const noexcept { return {digits_ + kMaxDigits - size_, size_}; }
  bool exhausted() const noexcept { return value_ == std::numeric_limits<std::uint64_t>::max(); }

  // One up; never called once exhausted.
  void advance() noexcept {
    ++value_;
    char* digit = digits_ + kMaxDigits - 1;
    while (*digit == '9') *digit-- = '0';
    *digit = *digit == '\0' ? '1' : static_cast<char>(*digit + 1);
    if (digit < digits_ + kMaxDigits - size_) ++size_;
  }
  void set(std::uint64_t value) noexcept;

 private:
  static constexpr unsigned kMaxDigits = std::numeric_limits<std::uint64_t>::digits10 + 1;
  std::uint64_t value_ = 0;
  // Right-aligned; the unused front stays zero bytes, so a carry out of the
  // first digit lands on one.
  char digits_[kMaxDigits] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, '0'};
  unsigned char size_ = 1;
};

}  // namespace korvalinth
