#pragma once
// WireEdgeFrame: one edge event on the wire (a DIRTY, or a DATA with the
// edge's value bytes, under a cause), and its canonical protobuf codec:
//   1 kind (varint: 1 DIRTY, 2 DATA)  2 edge_id  3 cause_id  4 value (bytes)

#include <cstdint>
#include <optional>
#include <string>

#include "wire/codec/bytes.hpp"
#include "wire/codec/canonical_error.hpp"

namespace korvalinth {

enum class WireEdgeFrameKind : std::uint8_t { Dirty = 0, Data = 1 };

struct WireEdgeFrame {
  WireEdgeFrameKind kind = WireEdgeFrameKind::Dirty;
  std::string edge_id;
  std::string cause_id;
  std::optional<Bytes> value;  // DATA: present (possibly empty); DIRTY: absent
  bool operator==(const WireEdgeFrame&) const = default;
};

// Strict decode; does not judge the byte form (see check_canonical_wire_edge_frame).
CanonicalResult<WireEdgeFrame> decode_wire_edge_frame(ByteView input);
// The same into `frame` (its buffers reused; on failure its content is
// unspecified), clearing `canonical` when the input is not the canonical
// encoding of the frame it decodes to.
CanonicalResult<void> decode_wire_edge_frame_into(ByteView input, WireEdgeFrame& frame, bool& canonical);

// The frame rules checked before every encoding: non-empty ids, a value
// exactly on DATA.
CanonicalResult<void> check_wire_edge_frame(const WireEdgeFrame& frame);

// Canonical bytes; checks nothing (run check_wire_edge_frame first).
Bytes encode_wire_edge_frame(const WireEdgeFrame& frame);
void append_wire_edge_frame(Bytes& out, const WireEdgeFrame& frame);

// Decode and check: the frame when `input` is exactly its canonical encoding
// (a non-canonical byte form is reported after every other rule).
CanonicalResult<WireEdgeFrame> check_canonical_wire_edge_frame(ByteView input);
CanonicalResult<void> check_canonical_wire_edge_frame_into(ByteView input, WireEdgeFrame& frame);

// The bodies of the module functions _validate_canonical_wire_edge_frame and
// _roundtrip_canonical_wire_edge_frame: success, or the canonical bytes
// (equal to the input).
CanonicalResult<void> validate_canonical_wire_edge_frame(ByteView input);
CanonicalResult<Bytes> roundtrip_canonical_wire_edge_frame(ByteView input);

}  // namespace korvalinth
