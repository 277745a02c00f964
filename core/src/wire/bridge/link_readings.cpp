#include "wire/bridge/link_readings.hpp"

namespace korvalinth {

InboundReading read_inbound(std::optional<ByteView> bytes) {
  if (!bytes) {
    return {make_value<BridgeInbound>(bridge_inbound::Failure{kInboundRequiresBytes}),
            {{kInboundRequiresBytes, CanonicalProtobufErrorCategory::Malformed}}};
  }
  EnvelopeDecodeChecked decoded = decode_envelope_checked(*bytes);
  if (!decoded.envelope) {
    std::string text;
    for (const CanonicalProtobufIssue& issue : decoded.issues) {
      if (!text.empty()) text += "; ";
      text += issue.message;
    }
    return {make_value<BridgeInbound>(bridge_inbound::Failure{std::move(text)}), std::move(decoded.issues)};
  }
  return {make_value<BridgeInbound>(bridge_inbound::Envelope{std::move(*decoded.envelope), true}), {}};
}

}  // namespace korvalinth
