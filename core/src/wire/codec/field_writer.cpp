#include "wire/codec/field_writer.hpp"

#include <array>

namespace korvalinth {
namespace {

// The shortest varint of `value` in `buffer`; returns its length.
std::size_t varint_bytes(std::uint64_t value, std::array<std::uint8_t, 10>& buffer) noexcept {
  std::size_t n = 0;
  while (value >= 0x80) {
    buffer[n++] = static_cast<std::uint8_t>(value | 0x80);
    value >>= 7;
  }
  buffer[n++] = static_cast<std::uint8_t>(value);
  return n;
}

}  // namespace

void write_varint(Bytes& out, std::uint64_t value) {
  std::array<std::uint8_t, 10> buffer;
  const std::size_t n = varint_bytes(value, buffer);
  out.insert(out.end(), buffer.begin(), buffer.begin() + n);
}

void write_tag(Bytes& out, std::uint32_t number, WireType wire_type) {
  out.push_back(static_cast<std::uint8_t>(number << 3 | static_cast<std::uint32_t>(wire_type)));
}

void write_varint_field(Bytes& out, std::uint32_t number, std::uint64_t value) {
  write_tag(out, number, WireType::Varint);
  write_varint(out, value);
}

void write_bytes_field(Bytes& out, std::uint32_t number, ByteView bytes) {
  write_tag(out, number, WireType::LengthDelimited);
  write_varint(out, bytes.size());
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void write_text_field(Bytes& out, std::uint32_t number, std::string_view text) {
  write_bytes_field(out, number, ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void close_length_delimited(Bytes& out, std::size_t content_start) {
  std::array<std::uint8_t, 10> length;
  const std::size_t n = varint_bytes(out.size() - content_start, length);
  out.insert(out.begin() + static_cast<std::ptrdiff_t>(content_start), length.begin(), length.begin() + n);
}

}  // namespace korvalinth
