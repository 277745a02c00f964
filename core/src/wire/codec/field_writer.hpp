#pragma once
// The writers of canonical protobuf: shortest varints, one-byte tags (every
// field number of the wire messages is below 16), fields in ascending order,
// absent optional fields not written.

#include <cstdint>
#include <string_view>

#include "wire/codec/bytes.hpp"
#include "wire/codec/field_scanner.hpp"

namespace korvalinth {

void write_varint(Bytes& out, std::uint64_t value);
void write_tag(Bytes& out, std::uint32_t number, WireType wire_type);
void write_varint_field(Bytes& out, std::uint32_t number, std::uint64_t value);
// Tag, length, bytes; an empty value is the tag and 0x00.
void write_bytes_field(Bytes& out, std::uint32_t number, ByteView bytes);
void write_text_field(Bytes& out, std::uint32_t number, std::string_view text);

// Writes the content that `out` gained since `content_start` as the value of
// a length-delimited field whose tag was written just before it.
void close_length_delimited(Bytes& out, std::size_t content_start);

// A nested message as field `number`: `write_content(out)` appends its fields.
template <class WriteContent>
void write_message_field(Bytes& out, std::uint32_t number, WriteContent&& write_content) {
  write_tag(out, number, WireType::LengthDelimited);
  const std::size_t start = out.size();
  write_content(out);
  close_length_delimited(out, start);
}

}  // namespace korvalinth
