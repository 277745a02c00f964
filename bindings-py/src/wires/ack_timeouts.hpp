#pragma once
// Ack-timeout tracking of the ack driver. Time is whatever the Python clock
// node last said, in milliseconds: a timeout is found only when an accepted
// clock fact arrives. Four sinks on the bridge's attempts, acks, nacks and
// status nodes keep one shared state of the pending outbound seqs; the
// events node validates clock facts and scans the pending seqs; the commands
// node turns each timeout into an ack-timeout command for the bridge.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "base/cell.hpp"
#include "node/arena/node_fn.hpp"
#include "node/arena/sink.hpp"

namespace korvalinth::py {

// One outbound seq the bridge attempted and has not settled.
struct PendingAttempt {
  std::optional<std::uint64_t> first_seen_ms;  // absent until a clock reading is known
  std::optional<std::uint64_t> timed_out_at_ms;
  std::optional<std::uint64_t> retry_due_ms;
  std::optional<std::uint32_t> timeout_fired_attempt;
  std::optional<std::uint32_t> retry_fired_attempt;
  std::uint64_t seq = 0;
  std::uint32_t attempt = 0;
};

struct AckDriverState {
  std::optional<std::uint64_t> now_ms;  // the last accepted reading
  std::map<std::uint64_t, PendingAttempt> pending;
};

using SharedAckDriverState = std::shared_ptr<Cell<AckDriverState>>;

namespace ack_driver_event {
// A refused clock fact; now_ms is the last accepted reading.
struct Issue {
  std::optional<std::uint64_t> now_ms;
  std::string code;
  std::string message;
  std::uint64_t pending = 0;
};
// An accepted reading at which nothing fired.
struct Clock {
  std::optional<std::uint64_t> now_ms;
  std::uint64_t pending = 0;
};
// An attempt found due at the reading observed_at_ms.
struct Timeout {
  std::uint64_t seq = 0;
  std::uint64_t observed_at_ms = 0;
  std::uint64_t pending = 0;
  std::uint64_t now_ms = 0;
  std::uint32_t attempt = 0;
};
}  // namespace ack_driver_event

using AckDriverEvent = std::variant<ack_driver_event::Issue, ack_driver_event::Clock, ack_driver_event::Timeout>;

inline constexpr const char* kClockNotInteger = "wire_bridge_ack_driver clock facts must be non-negative integers";
inline constexpr const char* kClockNotMonotonic = "wire_bridge_ack_driver clock facts must be monotonic non-decreasing";

// The sinks, in the order the driver subscribes them: on {bridge}/attempts,
// /acks, /nacks and /status.
SharedSink make_attempts_sink(SharedAckDriverState state);
SharedSink make_acks_sink(SharedAckDriverState state);
SharedSink make_nacks_sink(SharedAckDriverState state);
SharedSink make_bridge_status_sink(SharedAckDriverState state);

// {name}/events over the clock node: AckDriverEvent values.
SharedNodeFn make_ack_driver_clock_fn(SharedAckDriverState state, std::uint64_t timeout_ms);
// {name}/commands over {name}/events: an ack-timeout WireBridgeCommand per Timeout.
SharedNodeFn make_ack_driver_commands_fn();

}  // namespace korvalinth::py
