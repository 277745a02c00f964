#include "wire/codec/envelope_checked.hpp"

namespace korvalinth {

EnvelopeDecodeChecked decode_envelope_checked(ByteView input) {
  auto decoded = decode_wire_bridge_envelope(input);
  if (!decoded) return {std::nullopt, {to_issue(decoded.error())}, true};
  return {std::move(*decoded), {}, false};
}

EnvelopeEncodeChecked encode_envelope_checked(const WireBridgeCodecEnvelope& envelope) {
  auto encoded = encode_wire_bridge_envelope(envelope);
  if (!encoded) return {std::nullopt, {to_issue(encoded.error())}, true};
  return {std::move(*encoded), {}, false};
}

CanonicalResult<void> validate_canonical_wire_bridge_envelope(ByteView input) {
  auto decoded = decode_wire_bridge_envelope(input);
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  return {};
}

CanonicalResult<Bytes> roundtrip_canonical_wire_bridge_envelope(ByteView input) {
  auto decoded = decode_wire_bridge_envelope(input);
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  return encode_wire_bridge_envelope(*decoded);
}

}  // namespace korvalinth
