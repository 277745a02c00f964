#include "wire/codec/edge_frame.hpp"

#include "base/thread_block.hpp"
#include "wire/codec/field_scanner.hpp"
#include "wire/codec/field_writer.hpp"
#include "wire/codec/scratch_record.hpp"

namespace korvalinth {
namespace {

using Category = CanonicalProtobufErrorCategory;

enum FrameField : std::uint32_t { kKind = 1, kEdgeId = 2, kCauseId = 3, kValue = 4 };

constexpr FieldTable<4> kFrameTable{{
    {kKind, WireType::Varint},
    {kEdgeId, WireType::LengthDelimited},
    {kCauseId, WireType::LengthDelimited},
    {kValue, WireType::LengthDelimited},
}};

// On the wire the kind is the in-memory kind + 1, so that 0 is no kind.
constexpr std::uint64_t kWireDirty = 1;
constexpr std::uint64_t kWireData = 2;

constexpr const char* kDirtyWithValue = "DIRTY WireEdgeFrame must not carry value";
constexpr const char* kDataWithoutValue = "DATA WireEdgeFrame requires value";

}  // namespace

CanonicalResult<WireEdgeFrame> decode_wire_edge_frame(ByteView input) {
  bool canonical = true;
  CanonicalResult<WireEdgeFrame> frame(std::in_place);
  if (auto decoded = decode_wire_edge_frame_into(input, *frame, canonical); !decoded) {
    return std::unexpected(std::move(decoded.error()));
  }
  return frame;
}

// Every field the scan finds is one the encoder writes back (a value only on
// DATA, where it is required), so the scan's byte form is the whole verdict.
CanonicalResult<void> decode_wire_edge_frame_into(ByteView input, WireEdgeFrame& frame, bool& canonical) {
  ScannedMessage scanned(kFrameTable);
  if (auto read = decode_canonical_fields(input, scanned, "WireEdgeFrame"); !read) return std::unexpected(std::move(read.error()));
  if (!scanned.canonical()) canonical = false;
  const ScannedField& kind = scanned.field(kKind);
  const ScannedField& edge_id = scanned.field(kEdgeId);
  const ScannedField& cause_id = scanned.field(kCauseId);
  const ScannedField& value = scanned.field(kValue);
  if (!kind.present || !edge_id.present || !cause_id.present) {
    return refuse(Category::MissingRequired, "WireEdgeFrame missing required fields");
  }
  if (auto read = read_required_string_field(edge_id.bytes, frame.edge_id, "edge_id"); !read) return read;
  if (auto read = read_required_string_field(cause_id.bytes, frame.cause_id, "cause_id"); !read) return read;
  if (kind.varint == kWireDirty) {
    if (value.present) return refuse(Category::InvalidWireEdge, kDirtyWithValue);
    frame.kind = WireEdgeFrameKind::Dirty;
    frame.value.reset();
  } else if (kind.varint == kWireData) {
    if (!value.present) return refuse(Category::InvalidWireEdge, kDataWithoutValue);
    frame.kind = WireEdgeFrameKind::Data;
    assign_bytes(frame.value ? *frame.value : frame.value.emplace(), value.bytes);
  } else {
    return refuse(Category::InvalidWireEdge, "WireEdgeFrame kind is invalid");
  }
  return {};
}

CanonicalResult<void> check_wire_edge_frame(const WireEdgeFrame& frame) {
  if (frame.edge_id.empty() || frame.cause_id.empty()) {
    return refuse(Category::MissingRequired, "WireEdgeFrame edge_id/cause_id must be non-empty");
  }
  if (frame.kind == WireEdgeFrameKind::Dirty && frame.value) return refuse(Category::InvalidWireEdge, kDirtyWithValue);
  if (frame.kind == WireEdgeFrameKind::Data && !frame.value) return refuse(Category::InvalidWireEdge, kDataWithoutValue);
  return {};
}

void append_wire_edge_frame(Bytes& out, const WireEdgeFrame& frame) {
  write_varint_field(out, kKind, frame.kind == WireEdgeFrameKind::Dirty ? kWireDirty : kWireData);
  write_text_field(out, kEdgeId, frame.edge_id);
  write_text_field(out, kCauseId, frame.cause_id);
  if (frame.value) write_bytes_field(out, kValue, *frame.value);
}

Bytes encode_wire_edge_frame(const WireEdgeFrame& frame) {
  Bytes out;
  out.reserve(frame.edge_id.size() + frame.cause_id.size() + (frame.value ? frame.value->size() : 0) + 16);
  append_wire_edge_frame(out, frame);
  return out;
}

CanonicalResult<void> check_canonical_wire_edge_frame_into(ByteView input, WireEdgeFrame& frame) {
  bool canonical = true;
  if (auto decoded = decode_wire_edge_frame_into(input, frame, canonical); !decoded) return decoded;
  if (auto checked = check_wire_edge_frame(frame); !checked) return checked;
  if (!canonical) {
    return refuse(Category::NoncanonicalBytes, "WireEdgeFrame bytes are not canonical deterministic protobuf");
  }
  return {};
}

CanonicalResult<WireEdgeFrame> check_canonical_wire_edge_frame(ByteView input) {
  CanonicalResult<WireEdgeFrame> frame(std::in_place);
  if (auto checked = check_canonical_wire_edge_frame_into(input, *frame); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  return frame;
}

CanonicalResult<void> validate_canonical_wire_edge_frame(ByteView input) {
  // The verdict alone: a frame kept per thread lends its buffers.
  return ThreadBlock<ScratchRecord<WireEdgeFrame>>::get().use(input.size(), [&](WireEdgeFrame& frame) { return check_canonical_wire_edge_frame_into(input, frame); });
}

CanonicalResult<Bytes> roundtrip_canonical_wire_edge_frame(ByteView input) {
  auto frame = check_canonical_wire_edge_frame(input);
  if (!frame) return std::unexpected(std::move(frame.error()));
  if (auto checked = check_wire_edge_frame(*frame); !checked) return std::unexpected(std::move(checked.error()));
  return encode_wire_edge_frame(*frame);
}

}  // namespace korvalinth
