#include "wire/edge_group/edge_group_records.hpp"

namespace korvalinth {

edge_traffic::Command::Command(WireBridgeCommand made) {
  SharedValue value = make_value<WireBridgeCommand>(std::move(made));
  const WireBridgeCommand* content = value_cast<WireBridgeCommand>(value);
  command = SharedContent<WireBridgeCommand>(std::move(value), content);
}

std::string_view issue_code_text(WireEdgeGroupIssueCode code) noexcept {
  switch (code) {
    case WireEdgeGroupIssueCode::MissingSnapshot:
      return "missing_snapshot";
    case WireEdgeGroupIssueCode::UnknownEdge:
      return "unknown_edge";
    case WireEdgeGroupIssueCode::DuplicateDirty:
      return "duplicate_dirty";
    case WireEdgeGroupIssueCode::DuplicateData:
      return "duplicate_data";
    case WireEdgeGroupIssueCode::DataBeforeDirty:
      return "data_before_dirty";
    case WireEdgeGroupIssueCode::CompetingCause:
      return "competing_cause";
    case WireEdgeGroupIssueCode::MalformedFrame:
      return "malformed_frame";
    case WireEdgeGroupIssueCode::IncompleteCause:
      return "incomplete_cause";
  }
  return "malformed_frame";
}

}  // namespace korvalinth
