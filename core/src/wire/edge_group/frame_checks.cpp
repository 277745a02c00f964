#include "wire/edge_group/frame_checks.hpp"

namespace korvalinth {

namespace {

std::optional<std::string> present_or_none(const std::string& text) {
  if (text.empty()) return std::nullopt;
  return text;
}

WireEdgeGroupIssue malformed(std::string message, std::optional<std::string> edge_id,
                             std::optional<std::string> cause_id) {
  return WireEdgeGroupIssue{WireEdgeGroupIssueCode::MalformedFrame, std::move(message), std::move(edge_id),
                            std::move(cause_id), std::nullopt};
}

}  // namespace

std::optional<WireEdgeGroupIssue> validate_wire_edge_frame(const std::string& name, const WireEdgeFrame& frame) {
  const std::string prefix = name + ": ";
  // First, so that no later issue carries the over-long id to the gate.
  if (frame.cause_id.size() > kMaxCauseIdBytes) {
    return malformed(prefix + "wire-edge frame cause_id exceeds " + std::to_string(kMaxCauseIdBytes) + " bytes",
                     present_or_none(frame.edge_id), std::nullopt);
  }
  if (frame.edge_id.empty()) {
    return malformed(prefix + "wire-edge frame edge_id must be non-empty", std::nullopt, frame.cause_id);
  }
  if (frame.cause_id.empty()) {
    return malformed(prefix + "wire-edge frame cause_id must be non-empty", frame.edge_id, std::nullopt);
  }
  if (frame.kind == WireEdgeFrameKind::Data && !frame.value) {
    return malformed(prefix + "DATA wire-edge frame requires value bytes", frame.edge_id, frame.cause_id);
  }
  if (frame.kind == WireEdgeFrameKind::Dirty && frame.value) {
    return malformed(prefix + "DIRTY wire-edge frame must not carry value bytes", frame.edge_id, frame.cause_id);
  }
  return std::nullopt;
}

}  // namespace korvalinth
