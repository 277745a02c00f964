#include "graph/unnamed_counter.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace korvalinth {

void UnnamedCounter::set(std::uint64_t value) noexcept {
  char text[kMaxDigits];
  char* end = std::to_chars(std::begin(text), std::end(text), value).ptr;
  std::fill(std::begin(digits_), std::end(digits_), '\0');
  std::copy(std::begin(text), end, std::end(digits_) - (end - text));
  size_ = static_cast<unsigned char>(end - text);
  value_ = value;
}

}  // namespace korvalinth
