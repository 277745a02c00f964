#pragma once
// The checks of one inbound edge frame before it reaches the gate.

#include <cstddef>
#include <optional>
#include <string>

#include "wire/codec/edge_frame.hpp"
#include "wire/edge_group/edge_group_records.hpp"

namespace korvalinth {

// Cause ids come from the peer and the gate remembers them: a longer one is
// refused and never kept. A group whose own cause ids could be longer is
// refused when built (cause_id_limit_breach).
inline constexpr std::size_t kMaxCauseIdBytes = 1024;

// None when the frame may go to the gate; else the malformed_frame issue of
// the first failed check.
std::optional<WireEdgeGroupIssue> validate_wire_edge_frame(const std::string& name, const WireEdgeFrame& frame);

}  // namespace korvalinth
