#include "wire/codec/edge_frame.hpp"

#include <algorithm>

#include "wire/codec/field_scanner.hpp"
#include "wire/codec/field_writer.hpp"

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
  auto scanned = decode_canonical_fields(input, kFrameTable, "WireEdgeFrame");
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  const ScannedField& kind = scanned->field(kKind);
  const ScannedField& edge_id = scanned->field(kEdgeId);
  const ScannedField& cause_id = scanned->field(kCauseId);
  const ScannedField& value = scanned->field(kValue);
  if (!kind.present || !edge_id.present || !cause_id.present) {
    return refuse(Category::MissingRequired, "WireEdgeFrame missing required fields");
  }
  WireEdgeFrame frame;
  auto edge_text = read_required_string_field(edge_id.bytes, "edge_id");
  if (!edge_text) return std::unexpected(std::move(edge_text.error()));
  auto cause_text = read_required_string_field(cause_id.bytes, "cause_id");
  if (!cause_text) return std::unexpected(std::move(cause_text.error()));
  frame.edge_id = std::move(*edge_text);
  frame.cause_id = std::move(*cause_text);
  if (kind.varint == kWireDirty) {
    if (value.present) return refuse(Category::InvalidWireEdge, kDirtyWithValue);
    frame.kind = WireEdgeFrameKind::Dirty;
  } else if (kind.varint == kWireData) {
    if (!value.present) return refuse(Category::InvalidWireEdge, kDataWithoutValue);
    frame.kind = WireEdgeFrameKind::Data;
    frame.value = copy_bytes(value.bytes);
  } else {
    return refuse(Category::InvalidWireEdge, "WireEdgeFrame kind is invalid");
  }
  return frame;
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

CanonicalResult<WireEdgeFrame> check_canonical_wire_edge_frame(ByteView input) {
  auto frame = decode_wire_edge_frame(input);
  if (!frame) return frame;
  if (auto checked = check_wire_edge_frame(*frame); !checked) return std::unexpected(std::move(checked.error()));
  const Bytes canonical = encode_wire_edge_frame(*frame);
  if (!std::ranges::equal(canonical, input)) {
    return refuse(Category::NoncanonicalBytes, "WireEdgeFrame bytes are not canonical deterministic protobuf");
  }
  return frame;
}

CanonicalResult<void> validate_canonical_wire_edge_frame(ByteView input) {
  auto frame = check_canonical_wire_edge_frame(input);
  if (!frame) return std::unexpected(std::move(frame.error()));
  return {};
}

CanonicalResult<Bytes> roundtrip_canonical_wire_edge_frame(ByteView input) {
  auto frame = check_canonical_wire_edge_frame(input);
  if (!frame) return std::unexpected(std::move(frame.error()));
  if (auto checked = check_wire_edge_frame(*frame); !checked) return std::unexpected(std::move(checked.error()));
  return encode_wire_edge_frame(*frame);
}

}  // namespace korvalinth
