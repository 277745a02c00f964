#pragma once
// The values a wire edge group's nodes exchange: the issue vocabulary, the
// frame-traffic stream of {name}/events, the gate's events and its release
// record. Each is its own value type, so a reader that looks for one never
// takes another. Copies are deep, but for the command a traffic record
// carries, which is one value shared by every copy.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/value.hpp"
#include "wire/bridge/bridge_messages.hpp"
#include "wire/codec/edge_frame.hpp"

namespace korvalinth {

enum class WireEdgeGroupIssueCode : std::uint8_t {
  MissingSnapshot = 0,
  UnknownEdge = 1,
  DuplicateDirty = 2,
  DuplicateData = 3,
  DataBeforeDirty = 4,
  CompetingCause = 5,
  MalformedFrame = 6,
  IncompleteCause = 7,
};

// "missing_snapshot", "unknown_edge", ...: the form shown wherever a code is.
std::string_view issue_code_text(WireEdgeGroupIssueCode code) noexcept;

// One breach; an issue about an envelope as a whole names no edge or cause.
struct WireEdgeGroupIssue {
  WireEdgeGroupIssueCode code = WireEdgeGroupIssueCode::MalformedFrame;
  std::string message;
  std::optional<std::string> edge_id;
  std::optional<std::string> cause_id;
  std::optional<std::string> active_cause_id;  // competing_cause only
  bool operator==(const WireEdgeGroupIssue&) const = default;
};

namespace edge_traffic {
// Made a value once, when the record is made: whoever reads the record,
// however often, hands on that same value. A reader run again over the
// record (activated again and handed it anew) so hands the bridge a value
// the bridge knows it has forwarded, not a new one it would send again.
struct Command {
  explicit Command(WireBridgeCommand command);
  SharedContent<WireBridgeCommand> command;
  bool operator==(const Command& other) const { return *command == *other.command; }
};
struct Frame {
  WireEdgeFrame frame;
  bool operator==(const Frame&) const = default;
};
struct Issue {
  WireEdgeGroupIssue issue;
  bool operator==(const Issue&) const = default;
};
// The peer closed the session or reported an error.
struct End {
  bool operator==(const End&) const = default;
};
}  // namespace edge_traffic

using WireEdgeGroupTraffic =
    std::variant<edge_traffic::Command, edge_traffic::Frame, edge_traffic::Issue, edge_traffic::End>;

namespace gate_event {
struct Issue {
  WireEdgeGroupIssue issue;
  bool operator==(const Issue&) const = default;
};
// Progress of the active cause; counts taken after the accepted frame.
struct Collecting {
  std::string cause_id;
  std::uint64_t dirty_count = 0;
  std::uint64_t data_count = 0;
  bool operator==(const Collecting&) const = default;
};
struct Released {
  std::string cause_id;
  std::uint64_t edge_count = 0;
  bool operator==(const Released&) const = default;
};
}  // namespace gate_event

using WireEdgeGroupGateEvent = std::variant<gate_event::Issue, gate_event::Collecting, gate_event::Released>;

// A complete cause: every edge's value bytes, keyed by edge id (byte order).
struct WireEdgeGroupRelease {
  std::string cause_id;
  std::map<std::string, Bytes> values;
  bool operator==(const WireEdgeGroupRelease&) const = default;
};

}  // namespace korvalinth
