// The inbound half of the frame traffic: each bridge item checked alone, and
// acted on only when the bridge's session accepted it. Sequence numbers,
// attempts and cursors are the session's concern: a duplicate, a replay or an
// envelope beyond a gap would otherwise lose a cause or reorder the values.

#include "wire/edge_group/frame_checks.hpp"
#include "wire/edge_group/frame_traffic.hpp"

namespace korvalinth {

namespace {

edge_traffic::Issue envelope_issue(std::string message) {
  return edge_traffic::Issue{WireEdgeGroupIssue{WireEdgeGroupIssueCode::MalformedFrame, std::move(message),
                                                std::nullopt, std::nullopt, std::nullopt}};
}

}  // namespace

std::optional<WireEdgeGroupTraffic> judge_bridge_inbound(const std::string& name, const std::string& session_id,
                                                          const BridgeInbound& item, bool accepted) {
  const std::string prefix = name + ": ";
  if (const auto* failure = std::get_if<bridge_inbound::Failure>(&item)) {
    return envelope_issue(prefix + "bridge invalid wire-edge ingress: " + failure->text);
  }
  const auto& inbound = std::get<bridge_inbound::Envelope>(item);
  const BridgeEnvelope& envelope = inbound.envelope;
  if (auto valid = validate_inbound_envelope(inbound); !valid) {
    return envelope_issue(prefix + "bridge invalid wire-edge envelope: " + std::string(display_text(valid.error())));
  }
  if (envelope.session_id != session_id) {
    return envelope_issue(prefix + "bridge session " + envelope.session_id + " did not match expected " +
                          session_id);
  }
  // The bridge reports what its session refused.
  if (!accepted) return std::nullopt;
  switch (envelope.envelope_type) {
    case WireBridgeEnvelopeType::Error:
    case WireBridgeEnvelopeType::Close:
      return edge_traffic::End{};
    case WireBridgeEnvelopeType::Data:
      break;
    default:
      return std::nullopt;
  }
  // A valid DATA envelope carries a Data payload.
  const auto& body = std::get<bridge_payload::Data>(*envelope.payload).body;
  const auto* frame = std::get_if<WireEdgeFrame>(&body);
  if (!frame) return std::nullopt;
  if (std::optional<WireEdgeGroupIssue> issue = validate_wire_edge_frame(name, *frame)) {
    return edge_traffic::Issue{std::move(*issue)};
  }
  return edge_traffic::Frame{*frame};
}

}  // namespace korvalinth
