#pragma once
// Bytes are not text: wire payloads are byte buffers of their own type, and
// turn into text only through text_from_bytes_lossy (wire/codec/utf8.hpp).

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace korvalinth {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// The bytes of a text (its UTF-8 encoding), as a new buffer.
inline Bytes bytes_of_text(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace korvalinth
