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

struct ByteCursor {
  ByteView bytes;
  std::size_t position = 0;
  bool at_end() const noexcept { return position >= bytes.size(); }
};

// LEB128, advancing past every byte read. Over-long forms are read (and
// clear `shortest`); the verdict's text is made only for a refusal.
enum class VarintRead : std::uint8_t { Ok, Truncated, TooLong };

// Returned in registers: the scanner reads one per field and tag.
struct Varint {
  std::uint64_t value;
  VarintRead read;
};

Varint read_long_varint(ByteCursor& cursor, bool& shortest) noexcept {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < 10; ++i) {
    if (cursor.at_end()) return {0, VarintRead::Truncated};
    const std::uint8_t byte = cursor.bytes[cursor.position++];
    // A last byte of 0 after the first adds nothing: a shorter form exists.
    if (i == 9) {
      // Only bit 63 is left for the tenth byte.
      if (byte > 1) return {0, VarintRead::TooLong};
      if (byte == 0) shortest = false;
      return {value | (std::uint64_t{byte} << 63), VarintRead::Ok};
    }
    value |= std::uint64_t{byte & 0x7Fu} << (7 * i);
    if ((byte & 0x80) == 0) {
      if (byte == 0 && i > 0) shortest = false;
      return {value, VarintRead::Ok};
    }
  }
  return {value, VarintRead::Ok};  // not reached: the tenth byte always returns
}

// Most tags, lengths and values of the wire messages fit one byte.
inline Varint read_varint(ByteCursor& cursor, bool& shortest) noexcept {
  if (!cursor.at_end() && cursor.bytes[cursor.position] < 0x80) return {cursor.bytes[cursor.position++], VarintRead::Ok};
  return read_long_varint(cursor, shortest);
}

std::unexpected<CanonicalProtobufError> refuse_varint(VarintRead read) {
  return refuse(Category::Malformed, read == VarintRead::Truncated ? "truncated varint" : "varint exceeds 64 bits");
}

enum class LengthRead : std::uint8_t { Ok, Overflows, Truncated };

// Reads the bytes of a length-delimited value at the cursor (its length
// read already).
LengthRead take_length_delimited(ByteCursor& cursor, std::uint64_t length, ByteView& value) noexcept {
  if (length > std::numeric_limits<std::uint64_t>::max() - cursor.position) return LengthRead::Overflows;
  if (cursor.position + length > cursor.bytes.size()) return LengthRead::Truncated;
  value = cursor.bytes.subspan(cursor.position, static_cast<std::size_t>(length));
  cursor.position += value.size();
  return LengthRead::Ok;
}

}  // namespace

const ScannedField& ScannedMessage::field_off_sequence(std::uint32_t number) const noexcept {
  static const ScannedField absent;
  for (std::size_t i = 0; i < table_.size(); ++i) {
    if (table_[i].number == number) return slots_.fields[i];
  }
  return absent;
}

CanonicalResult<void> decode_canonical_fields(ByteView input, ScannedMessage& message, std::string_view message_name) {
  const std::span<const FieldDescriptor> table = message.table();
  ByteCursor cursor{input};
  bool shortest = true;
  std::size_t last_index = 0;  // table index + 1 of the field before
  while (!cursor.at_end()) {
    const Varint tag_read = read_varint(cursor, shortest);
    if (tag_read.read != VarintRead::Ok) return refuse_varint(tag_read.read);
    const std::uint64_t tag = tag_read.value;
    if (tag >= kFirstTooLargeTag) return refuse(Category::Malformed, "field number is too large");
    const auto number = static_cast<std::uint32_t>(tag >> 3);
    const auto wire_type = static_cast<std::uint32_t>(tag & 7);

    // The wire messages number their fields from 1 without gaps.
    std::size_t index = number - 1;
    if (number == 0 || index >= table.size() || table[index].number != number) {
      index = 0;
      while (index < table.size() && table[index].number != number) ++index;
    }
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
    // The table is in ascending order, so is the canonical field order.
    if (index + 1 < last_index) message.mark_noncanonical();
    last_index = index + 1;
    if (table[index].wire_type == WireType::Varint) {
      const Varint value = read_varint(cursor, shortest);
      if (value.read != VarintRead::Ok) return refuse_varint(value.read);
      slot.varint = value.value;
    } else if (table[index].wire_type == WireType::LengthDelimited) {
      const Varint length = read_varint(cursor, shortest);
      if (length.read != VarintRead::Ok) return refuse_varint(length.read);
      switch (take_length_delimited(cursor, length.value, slot.bytes)) {
        case LengthRead::Overflows: return refuse(Category::Malformed, "length-delimited field length overflows");
        case LengthRead::Truncated: return refuse(Category::Malformed, "length-delimited field is truncated");
        case LengthRead::Ok: break;
      }
    } else {
      return refuse(Category::Malformed, "unsupported wire type");
    }
    slot.present = true;
  }
  if (!shortest) message.mark_noncanonical();
  return {};
}

CanonicalResult<void> read_string_field(ByteView bytes, std::string& out, std::string_view field_name) {
  if (!is_valid_utf8(bytes)) return refuse(Category::Malformed, std::string(field_name) + " is not valid utf-8");
  out.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return {};
}

CanonicalResult<void> read_required_string_field(ByteView bytes, std::string& out, std::string_view field_name) {
  if (auto text = read_string_field(bytes, out, field_name); !text) return text;
  if (out.empty()) return refuse(Category::MissingRequired, std::string(field_name) + " must be non-empty");
  return {};
}

CanonicalResult<std::uint32_t> check_uint32_field(std::uint64_t value, std::string_view field_name) {
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    return refuse(Category::Malformed, std::string(field_name) + " exceeds uint32");
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace korvalinth
