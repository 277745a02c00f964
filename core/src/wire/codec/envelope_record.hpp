#pragma once
// BridgeEnvelope: the one record of a bridge envelope, the form the bridge
// sends and receives and the form the canonical codec reads and writes
// (wire/codec/envelope_codec.hpp). The protobuf payload cases map onto the
// type and payload one to one:
//   start/ack <-> START/ACK, no payload      data <-> DATA, Data (the body)
//   nack <-> NACK, Bytes (a nack without bytes reads as "remote nack")
//   status <-> STATUS, StatusBytes           error <-> ERROR, Bytes
//   close <-> CLOSE, CloseBytes (absent bytes stay absent)
// The record can hold a type without the payload it needs; the bridge's
// validation (wire/bridge/bridge_envelope.hpp) refuses such envelopes.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "wire/codec/bytes.hpp"
#include "wire/codec/edge_frame.hpp"

namespace korvalinth {

// The body of a DATA envelope: raw bytes or one edge frame.
using WireBridgeDataBody = std::variant<Bytes, WireEdgeFrame>;

// The value is the index of the protobuf payload case of the same name.
enum class WireBridgeEnvelopeType : std::uint8_t { Start, Data, Ack, Nack, Status, Error, Close };

// Payload kinds, in this order.
namespace bridge_payload {
struct Data {
  WireBridgeDataBody body;
  bool operator==(const Data&) const = default;
};
// NACK reason, ERROR detail; may be empty.
struct Bytes {
  ::korvalinth::Bytes bytes;
  bool operator==(const Bytes&) const = default;
};
struct StatusBytes {
  ::korvalinth::Bytes bytes;
  bool operator==(const StatusBytes&) const = default;
};
// Present even when its bytes are absent: that is not the same as no payload.
struct CloseBytes {
  std::optional<::korvalinth::Bytes> bytes;
  bool operator==(const CloseBytes&) const = default;
};
}  // namespace bridge_payload

using BridgePayload =
    std::variant<bridge_payload::Data, bridge_payload::Bytes, bridge_payload::StatusBytes, bridge_payload::CloseBytes>;

struct BridgeEnvelope {
  std::string session_id;
  std::uint64_t seq = 0;     // the sender's number of this envelope, from 1
  std::uint64_t cursor = 0;  // the last seq the sender accepted from its peer, 0 before any
  std::string idempotency_key;
  std::uint32_t attempt = 0;
  std::uint32_t max_attempts = 0;
  std::optional<std::uint64_t> sent_at;
  std::optional<std::uint64_t> ack_for_seq;  // ACK and NACK: the peer seq acknowledged
  std::optional<std::string> request_id;
  WireBridgeEnvelopeType envelope_type = WireBridgeEnvelopeType::Start;
  std::optional<BridgePayload> payload;
  bool operator==(const BridgeEnvelope&) const = default;
};

// The reason a NACK carries when its nack case has no bytes.
inline constexpr std::string_view kRemoteNackReason = "remote nack";

}  // namespace korvalinth
