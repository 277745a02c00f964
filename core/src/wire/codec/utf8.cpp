#include "wire/codec/utf8.hpp"

#include <cstring>

namespace korvalinth {
namespace {

struct Utf8Step {
  std::size_t valid;     // length of the well-formed sequence at the position, 0 if ill-formed
  std::size_t consumed;  // bytes to skip: the sequence, or its maximal ill-formed prefix
};

bool in(std::uint8_t b, std::uint8_t lo, std::uint8_t hi) noexcept { return b >= lo && b <= hi; }

Utf8Step step_at(ByteView s, std::size_t i) noexcept {
  const std::uint8_t lead = s[i];
  if (lead < 0x80) return {1, 1};
  std::size_t need = 0;
  std::uint8_t lo = 0x80, hi = 0xBF;  // range of the first continuation byte
  if (in(lead, 0xC2, 0xDF)) {
    need = 1;
  } else if (lead == 0xE0) {
    need = 2, lo = 0xA0;
  } else if (in(lead, 0xE1, 0xEC) || in(lead, 0xEE, 0xEF)) {
    need = 2;
  } else if (lead == 0xED) {
    need = 2, hi = 0x9F;
  } else if (lead == 0xF0) {
    need = 3, lo = 0x90;
  } else if (in(lead, 0xF1, 0xF3)) {
    need = 3;
  } else if (lead == 0xF4) {
    need = 3, hi = 0x8F;
  } else {
    return {0, 1};
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size() || !in(s[i + k], k == 1 ? lo : 0x80, k == 1 ? hi : 0xBF)) return {0, k};
  }
  return {need + 1, need + 1};
}

}  // namespace

bool is_valid_utf8(ByteView bytes) noexcept {
  for (std::size_t i = 0; i < bytes.size();) {
    // Eight ASCII bytes at a time: most wire texts are ASCII.
    std::uint64_t word;
    while (i + sizeof word <= bytes.size() &&
           (std::memcpy(&word, bytes.data() + i, sizeof word), (word & 0x8080808080808080u) == 0)) {
      i += sizeof word;
    }
    if (i == bytes.size()) break;
    if (bytes[i] < 0x80) {
      ++i;
      continue;
    }
    const Utf8Step step = step_at(bytes, i);
    if (step.valid == 0) return false;
    i += step.valid;
  }
  return true;
}

std::string text_from_bytes_lossy(ByteView bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const Utf8Step step = step_at(bytes, i);
    if (step.valid != 0) {
      out.append(reinterpret_cast<const char*>(bytes.data() + i), step.valid);
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += step.consumed;
  }
  return out;
}

}  // namespace korvalinth
