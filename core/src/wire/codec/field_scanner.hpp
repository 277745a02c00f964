#pragma once
// The one reader of canonical protobuf messages: a message is scanned against
// its descriptor table, so unknown, repeated and mistyped fields are refused
// here for every message alike. The byte form is noted, not refused: fields
// out of ascending order or a varint (tag, value or length) longer than its
// shortest form make the message non-canonical, which its codec reports only
// after every other rule, as a comparison with its re-encoding would.
//
// The input comes from another process: every varint and length is checked
// against the input before it is used, and nothing is allocated from a
// length read off the wire.

#include <array>
#include <memory>
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
  // Only the table's slots are made: clearing all of them would cost more
  // than scanning a small message.
  explicit ScannedMessage(std::span<const FieldDescriptor> table) noexcept : table_(table) {
    for (std::size_t i = 0; i < table.size() && i < kMaxMessageFields; ++i) std::construct_at(&slots_.fields[i]);
  }
  // The slot of a field of the table; a number outside the table is a bug of
  // the caller and reads as absent.
  const ScannedField& field(std::uint32_t number) const noexcept {
    // The wire messages number their fields from 1 without gaps.
    if (number >= 1 && number <= table_.size() && table_[number - 1].number == number) return slots_.fields[number - 1];
    return field_off_sequence(number);
  }
  std::span<const FieldDescriptor> table() const noexcept { return table_; }
  ScannedField& slot_at(std::size_t table_index) noexcept { return slots_.fields[table_index]; }
  // Fields in ascending order, every varint in its shortest form: the bytes
  // the canonical writers give for these fields.
  bool canonical() const noexcept { return canonical_; }
  void mark_noncanonical() noexcept { canonical_ = false; }

 private:
  const ScannedField& field_off_sequence(std::uint32_t number) const noexcept;

  std::span<const FieldDescriptor> table_;
  union Slots {
    Slots() noexcept {}
    std::array<ScannedField, kMaxMessageFields> fields;
  } slots_;
  bool canonical_ = true;
};

// Scans `input` into `message` (made empty over its table: ascending field
// numbers, at most kMaxMessageFields entries, wire types 0 or 2) as the
// message `message_name`.
CanonicalResult<void> decode_canonical_fields(ByteView input, ScannedMessage& message, std::string_view message_name);

// A non-empty UTF-8 string field, copied into `out` (whose buffer is reused).
CanonicalResult<void> read_required_string_field(ByteView bytes, std::string& out, std::string_view field_name);

// A varint that must fit 32 bits.
CanonicalResult<std::uint32_t> check_uint32_field(std::uint64_t value, std::string_view field_name);

// A UTF-8 string field, copied into `out`; empty is allowed (presence rules
// are the caller's).
CanonicalResult<void> read_string_field(ByteView bytes, std::string& out, std::string_view field_name);

inline Bytes copy_bytes(ByteView bytes) { return Bytes(bytes.begin(), bytes.end()); }
// Into a buffer that keeps its capacity.
inline void assign_bytes(Bytes& out, ByteView bytes) { out.assign(bytes.begin(), bytes.end()); }

}  // namespace korvalinth
