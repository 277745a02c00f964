#pragma once
// Byte strings for wire tests, written as hex: "0A 01 73". A bracketed group
// "[...]" is prefixed with its length as a varint, so nested messages read
// as they are meant: "12 [08 01 10 00]".

#include <string>
#include <string_view>
#include <vector>

#include "wire/codec/bytes.hpp"
#include "wire/codec/field_writer.hpp"

namespace korvalinth::test {

inline Bytes hex(std::string_view text) {
  Bytes out;
  std::vector<std::size_t> open;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '[') {
      open.push_back(out.size());
    } else if (c == ']') {
      close_length_delimited(out, open.back());
      open.pop_back();
    } else if (std::isxdigit(static_cast<unsigned char>(c))) {
      out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
      ++i;
    }
  }
  return out;
}

inline std::string text_of(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace korvalinth::test
