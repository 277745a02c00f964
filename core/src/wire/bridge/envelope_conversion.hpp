#pragma once
// Between the bridge's envelope record and the codec's form. Session id and
// metadata carry over unchanged; the payload maps by case:
//   start/ack <-> START/ACK, no payload      data <-> DATA, the body unchanged
//   nack <-> NACK, Bytes (a nack without bytes reads as "remote nack")
//   status <-> STATUS, StatusBytes           error <-> ERROR, Bytes
//   close <-> CLOSE, CloseBytes (absent bytes stay absent)
// Payload bytes stay bytes here; they become text only where they are shown.

#include "wire/bridge/bridge_envelope.hpp"
#include "wire/codec/envelope_codec.hpp"

namespace korvalinth {

// The reason a NACK carries when its nack case has no bytes.
inline constexpr std::string_view kRemoteNackReason = "remote nack";

BridgeEnvelope bridge_envelope_from_codec(WireBridgeCodecEnvelope envelope);

// The case comes from the envelope type. A payload that does not fit the type
// (which the bridge never sends) gives the case without content: empty data
// bytes, a nack or close without bytes, empty status or error bytes, which
// the encoder then refuses where the case requires content.
WireBridgeCodecEnvelope codec_envelope_from_bridge(const BridgeEnvelope& envelope);

}  // namespace korvalinth
