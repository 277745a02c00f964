#pragma once
// WireBridgeEnvelope: the bridge envelope's canonical protobuf form.
//   WireBridgeEnvelope  1 session_id  2 metadata  3..9 payload oneof:
//                       3 start  4 data  5 ack  6 nack  7 status  8 error  9 close
//   WireBridgeMetadata  1 seq  2 cursor  3 idempotency_key  4 attempt
//                       5 max_attempts  6 sent_at  7 ack_for_seq  8 request_id
//   WireBridgeDataPayload  1 bytes | 2 WireEdgeFrame
//   nack/status/error/close payloads: 1 bytes;  start/ack: empty
// Decoding is strict and ends by re-encoding and comparing with the input,
// so exactly one byte string is accepted for each envelope.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "wire/codec/bytes.hpp"
#include "wire/codec/canonical_error.hpp"
#include "wire/codec/edge_frame.hpp"

namespace korvalinth {

// The body of a DATA envelope: raw bytes or one edge frame.
using WireBridgeDataBody = std::variant<Bytes, WireEdgeFrame>;

// The payload cases, in oneof order (their index is the envelope type).
namespace envelope_case {
struct Start {
  bool operator==(const Start&) const = default;
};
struct Data {
  WireBridgeDataBody body;
  bool operator==(const Data&) const = default;
};
struct Ack {
  bool operator==(const Ack&) const = default;
};
struct Nack {
  std::optional<Bytes> bytes;
  bool operator==(const Nack&) const = default;
};
struct Status {
  Bytes bytes;
  bool operator==(const Status&) const = default;
};
struct Error {
  Bytes bytes;
  bool operator==(const Error&) const = default;
};
struct Close {
  std::optional<Bytes> bytes;
  bool operator==(const Close&) const = default;
};
}  // namespace envelope_case

using WireBridgeCodecPayload =
    std::variant<envelope_case::Start, envelope_case::Data, envelope_case::Ack, envelope_case::Nack,
                 envelope_case::Status, envelope_case::Error, envelope_case::Close>;

// The decoder's result and the encoder's input.
struct WireBridgeCodecEnvelope {
  std::string session_id;
  std::uint64_t seq = 0;
  std::uint64_t cursor = 0;
  std::string idempotency_key;
  std::uint32_t attempt = 0;
  std::uint32_t max_attempts = 0;
  std::optional<std::uint64_t> sent_at;
  std::optional<std::uint64_t> ack_for_seq;
  std::optional<std::string> request_id;
  WireBridgeCodecPayload payload;
  bool operator==(const WireBridgeCodecEnvelope&) const = default;
};

// Succeeds exactly when `input` is the canonical encoding of the result.
CanonicalResult<WireBridgeCodecEnvelope> decode_wire_bridge_envelope(ByteView input);

// The semantic check run before every encoding.
CanonicalResult<void> check_envelope_encodable(const WireBridgeCodecEnvelope& envelope);

// check_envelope_encodable, then the canonical bytes.
CanonicalResult<Bytes> encode_wire_bridge_envelope(const WireBridgeCodecEnvelope& envelope);

// The payload case of field `field_number` (3 to 9) from its message bytes.
CanonicalResult<WireBridgeCodecPayload> decode_envelope_payload(std::uint32_t field_number, ByteView bytes);

// Appends the payload case as its envelope field; checks nothing.
void append_envelope_payload(Bytes& out, const WireBridgeCodecPayload& payload);

// The payload rules of check_envelope_encodable's last step.
CanonicalResult<void> check_payload_encodable(const WireBridgeCodecPayload& payload);

// The envelope field number of the first payload case.
inline constexpr std::uint32_t kFirstPayloadField = 3;

}  // namespace korvalinth
