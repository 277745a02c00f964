#pragma once
// WireBridgeEnvelope: the bridge envelope's canonical protobuf form.
//   WireBridgeEnvelope  1 session_id  2 metadata  3..9 payload oneof:
//                       3 start  4 data  5 ack  6 nack  7 status  8 error  9 close
//   WireBridgeMetadata  1 seq  2 cursor  3 idempotency_key  4 attempt
//                       5 max_attempts  6 sent_at  7 ack_for_seq  8 request_id
//   WireBridgeDataPayload  1 bytes | 2 WireEdgeFrame
//   nack/status/error/close payloads: 1 bytes;  start/ack: empty
// Decoding is strict and accepts exactly one byte string for each envelope:
// the one its encoder writes (fields in ascending order, shortest varints,
// no default written), which it judges while it scans.

#include <cstdint>

#include "wire/codec/bytes.hpp"
#include "wire/codec/canonical_error.hpp"
#include "wire/codec/envelope_record.hpp"

namespace korvalinth {

// Succeeds exactly when `input` is the canonical encoding of an envelope; the
// result is that envelope as the bridge's record (a nack without bytes has
// the reason "remote nack"; payload bytes stay bytes).
CanonicalResult<BridgeEnvelope> decode_wire_bridge_envelope(ByteView input);
// The same into `envelope`, whose buffers are reused; on failure its content
// is unspecified.
CanonicalResult<void> decode_wire_bridge_envelope_into(ByteView input, BridgeEnvelope& envelope);

// The semantic check run before every encoding (and by the decoder).
CanonicalResult<void> check_envelope_encodable(const BridgeEnvelope& envelope);

// check_envelope_encodable, then the canonical bytes. The payload case comes
// from the envelope type; a payload that does not fit the type (which the
// bridge never sends) gives the case without content: empty data bytes, a
// nack or close without bytes, empty status or error bytes, which the check
// refuses where the case requires content.
CanonicalResult<Bytes> encode_wire_bridge_envelope(const BridgeEnvelope& envelope);

// The payload case of field `field_number` (3 to 9) from its message bytes,
// into the envelope's type and payload; `canonical` is cleared when the
// bytes are not the case's canonical form.
CanonicalResult<void> decode_envelope_payload(std::uint32_t field_number, ByteView bytes, BridgeEnvelope& envelope,
                                              bool& canonical);

// Appends the envelope's payload case as its envelope field; checks nothing.
void append_envelope_payload(Bytes& out, const BridgeEnvelope& envelope);

// The payload rules of check_envelope_encodable's last step.
CanonicalResult<void> check_payload_encodable(const BridgeEnvelope& envelope);

// The envelope field number of the first payload case.
inline constexpr std::uint32_t kFirstPayloadField = 3;

}  // namespace korvalinth
