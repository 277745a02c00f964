#include "wire/codec/field_scanner.hpp"

#include <limits>

#include "wire/codec/utf8.hpp"

namespace korvalinth {
namespace {

using Category = CanonicalProtobufErrorCategory;

inline constexpr std::uint64_t kFirstTooLargeTag = std::uint64_t{1} << 35;  // field number beyond 32 bits

std::string field_text(std::string_view message_name, std::string_view middle, std::uint32_t number,
                       std::string_view tail = {}) {
  std::string out(message_name);
  out += middle;
  out += std::to_string(number);
  out += tail;
  return out;
}

// Reads the bytes of a length-delimited value at the cursor.
CanonicalResult<ByteView> read_length_delimited(ByteCursor& cursor) {
  auto length = read_varint(cursor);
  if (!length) return std::unexpected(std::move(length.error()));
  if (*length > std::numeric_limits<std::uint64_t>::max() - cursor.position) {
    return refuse(Category::Malformed, "length-delimited field length overflows");
  }
  if (cursor.position + *length > cursor.bytes.size()) {
    return refuse(Category::Malformed, "length-delimited field is truncated");
  }
  ByteView value = cursor.bytes.subspan(cursor.position, static_cast<std::size_t>(*length));
  cursor.position += value.size();
  return value;
}

}  // namespace

const ScannedField& ScannedMessage::field(std::uint32_t number) const noexcept {
  static const ScannedField absent;
  for (std::size_t i = 0; i < table_.size(); ++i) {
    if (table_[i].number == number) return slots_[i];
  }
  return absent;
}

CanonicalResult<std::uint64_t> read_varint(ByteCursor& cursor) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < 10; ++i) {
    if (cursor.at_end()) return refuse(Category::Malformed, "truncated varint");
    const std::uint8_t byte = cursor.bytes[cursor.position++];
    if (i == 9) {
      // Only bit 63 is left for the tenth byte.
      if (byte > 1) return refuse(Category::Malformed, "varint exceeds 64 bits");
      return value | (std::uint64_t{byte} << 63);
    }
    value |= std::uint64_t{byte & 0x7Fu} << (7 * i);
    if ((byte & 0x80) == 0) return value;
  }
  return value;  // not reached: the tenth byte always returns
}

CanonicalResult<ScannedMessage> decode_canonical_fields(ByteView input, std::span<const FieldDescriptor> table,
                                                        std::string_view message_name) {
  // Built in place in the result: the message is returned without a copy.
  CanonicalResult<ScannedMessage> result(std::in_place, table);
  ScannedMessage& message = *result;
  ByteCursor cursor{input};
  while (!cursor.at_end()) {
    auto tag = read_varint(cursor);
    if (!tag) return std::unexpected(std::move(tag.error()));
    if (*tag >= kFirstTooLargeTag) return refuse(Category::Malformed, "field number is too large");
    const auto number = static_cast<std::uint32_t>(*tag >> 3);
    const auto wire_type = static_cast<std::uint32_t>(*tag & 7);

    std::size_t index = 0;
    while (index < table.size() && table[index].number != number) ++index;
    if (index == table.size()) {
      return refuse(Category::UnknownField, field_text(message_name, " contains unknown field ", number));
    }
    if (wire_type != static_cast<std::uint32_t>(table[index].wire_type)) {
      return refuse(Category::Malformed, field_text(message_name, " field ", number, " has wrong wire type"));
    }
    ScannedField& slot = message.slot_at(index);
    if (slot.present) {
      return refuse(Category::DuplicateSingular, field_text(message_name, " field ", number, " is duplicated"));
    }
    if (table[index].wire_type == WireType::Varint) {
      auto value = read_varint(cursor);
      if (!value) return std::unexpected(std::move(value.error()));
      slot.varint = *value;
    } else if (table[index].wire_type == WireType::LengthDelimited) {
      auto value = read_length_delimited(cursor);
      if (!value) return std::unexpected(std::move(value.error()));
      slot.bytes = *value;
    } else {
      return refuse(Category::Malformed, "unsupported wire type");
    }
    slot.present = true;
  }
  return result;
}

CanonicalResult<std::string> read_string_field(ByteView bytes, std::string_view field_name) {
  if (!is_valid_utf8(bytes)) return refuse(Category::Malformed, std::string(field_name) + " is not valid utf-8");
  return std::string(bytes.begin(), bytes.end());
}

CanonicalResult<std::string> read_required_string_field(ByteView bytes, std::string_view field_name) {
  auto text = read_string_field(bytes, field_name);
  if (text && text->empty()) return refuse(Category::MissingRequired, std::string(field_name) + " must be non-empty");
  return text;
}

CanonicalResult<std::uint32_t> check_uint32_field(std::uint64_t value, std::string_view field_name) {
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    return refuse(Category::Malformed, std::string(field_name) + " exceeds uint32");
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace korvalinth
