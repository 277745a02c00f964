#include "identity/identity_hasher.hpp"

namespace korvalinth {

std::uint64_t fnv1a64(std::string_view bytes) noexcept {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char b : bytes) {
    h ^= b;
    h *= 0x100000001b3ULL;
  }
  return h;
}

std::string fnv1a64_id(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::uint64_t h = fnv1a64(bytes);
  std::string out = "fnv1a64:";
  out.resize(8 + 16);
  for (int i = 15; i >= 0; --i) {
    out[8 + i] = kHex[h & 0xf];
    h >>= 4;
  }
  return out;
}

}  // namespace korvalinth
