#pragma once
// UTF-8 checks for bytes that arrive from another process.

#include <string>

#include "wire/codec/bytes.hpp"

namespace korvalinth {

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF).
bool is_valid_utf8(ByteView bytes) noexcept;

// The bytes as text, each maximal ill-formed subsequence replaced by U+FFFD
// (the lossy reading CPython's "replace" handler also gives).
std::string text_from_bytes_lossy(ByteView bytes);

}  // namespace korvalinth
