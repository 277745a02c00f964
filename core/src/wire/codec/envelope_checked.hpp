#pragma once
// The envelope codec as its callers use it: the protobuf bridge's checked
// decode and encode (errors as issues, never thrown), and the bodies of the
// module functions _validate_canonical_wire_bridge_envelope and
// _roundtrip_canonical_wire_bridge_envelope.

#include <optional>
#include <vector>

#include "wire/codec/envelope_codec.hpp"

namespace korvalinth {

struct EnvelopeDecodeChecked {
  std::optional<BridgeEnvelope> envelope;
  std::vector<CanonicalProtobufIssue> issues;  // one on failure
  bool invalid = false;
};

struct EnvelopeEncodeChecked {
  std::optional<Bytes> bytes;
  std::vector<CanonicalProtobufIssue> issues;  // one on failure
  bool invalid = false;
};

// The envelope as the bridge takes it from its peer: the payload bytes that
// the bridge holds as text (nack reason, status, error and close texts) are
// read lossily, each invalid UTF-8 sequence becoming U+FFFD.
EnvelopeDecodeChecked decode_envelope_checked(ByteView input);
EnvelopeEncodeChecked encode_envelope_checked(const BridgeEnvelope& envelope);

CanonicalResult<void> validate_canonical_wire_bridge_envelope(ByteView input);
// The canonical bytes of the decoded envelope (equal to the input).
CanonicalResult<Bytes> roundtrip_canonical_wire_bridge_envelope(ByteView input);

}  // namespace korvalinth
