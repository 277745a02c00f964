#pragma once
// The one reader of canonical protobuf messages: a message is scanned against
// its descriptor table, so unknown, repeated and mistyped fields are refused
// here for every message alike. Byte-level form (field order, minimal
// varints) is not judged here: the message codecs re-encode and compare.
//
// The input comes from another process: every varint and length is checked
// against the input before it is used, and nothing is allocated from a
// length read off the wire.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "wire/codec/bytes.hpp"
#include "wire/codec/canonical_error.hpp"

namespace korvalinth {

enum class WireType : std::uint8_t { Varint = 0, LengthDelimited = 2 };

struct FieldDescriptor {
  std::uint32_t number;
  WireType wire_type;
};

// No message has more fields than this.
inline constexpr std::size_t kMaxMessageFields = 9;

// A message's descriptor table: ascending field numbers.
template <std::size_t N>
  requires(N <= kMaxMessageFields)
using FieldTable = std::array<FieldDescriptor, N>;

// One field of a scanned message: its varint, or a view of its bytes into the
// scanned input (valid while the input is).
struct ScannedField {
  bool present = false;
  std::uint64_t varint = 0;
  ByteView bytes;
};

// The fields of one scanned message, by field number. Each field occurs at
// most once (the scanner refuses repeats).
class ScannedMessage {
 public:
  explicit ScannedMessage(std::span<const FieldDescriptor> table) noexcept : table_(table) {}
  // The slot of a field of the table; a number outside the table is a bug of
  // the caller and reads as absent.
  const ScannedField& field(std::uint32_t number) const noexcept;
  ScannedField& slot_at(std::size_t table_index) noexcept { return slots_[table_index]; }

 private:
  std::span<const FieldDescriptor> table_;
  std::array<ScannedField, kMaxMessageFields> slots_{};
};

struct ByteCursor {
  ByteView bytes;
  std::size_t position = 0;
  bool at_end() const noexcept { return position >= bytes.size(); }
};

// LEB128; advances past every byte read. Over-long forms are accepted.
CanonicalResult<std::uint64_t> read_varint(ByteCursor& cursor);

// Scans `input` as the message `message_name` with `table` (ascending field
// numbers, at most kMaxMessageFields entries, wire types 0 or 2).
CanonicalResult<ScannedMessage> decode_canonical_fields(ByteView input, std::span<const FieldDescriptor> table,
                                                        std::string_view message_name);

// A non-empty UTF-8 string field, copied.
CanonicalResult<std::string> read_required_string_field(ByteView bytes, std::string_view field_name);

// A varint that must fit 32 bits.
CanonicalResult<std::uint32_t> check_uint32_field(std::uint64_t value, std::string_view field_name);

// A UTF-8 string field, copied; empty is allowed (presence rules are the caller's).
CanonicalResult<std::string> read_string_field(ByteView bytes, std::string_view field_name);

inline Bytes copy_bytes(ByteView bytes) { return Bytes(bytes.begin(), bytes.end()); }

}  // namespace korvalinth
