#pragma once
// The session state of one wire bridge, kept in its processor node's aux
// slot inside a borrow cell so that it is found again on every run.

#include <cstdint>
#include <map>
#include <optional>

#include "base/cell.hpp"
#include "base/value.hpp"
#include "wire/bridge/bridge_envelope.hpp"

namespace korvalinth {

// An outbound envelope awaiting ACK or NACK.
struct PendingEnvelope {
  BridgeEnvelope envelope;                     // as last sent under its seq
  std::optional<std::uint64_t> retry_due_at;   // observed ms from which the retry may go; absent: at once
  std::optional<std::uint32_t> timeout_attempt;  // attempt whose ack timeout was already handled
  bool operator==(const PendingEnvelope&) const = default;
};

struct WireBridgeState {
  std::uint64_t next_outbound_seq = 1;
  std::uint64_t inbound_cursor = 0;  // seq of the last accepted inbound envelope
  std::uint64_t peer_cursor = 0;     // the highest cursor accepted from the peer
  std::map<std::uint64_t, PendingEnvelope> pending;  // by seq
  bool deactivation_hook_armed = false;
};

using BridgeStateCell = Cell<WireBridgeState>;

// A fresh state as the shared value the processor's aux slot holds; read it
// back with value_cast<BridgeStateCell>.
inline SharedValue make_bridge_state_value() { return make_value<BridgeStateCell>(); }

}  // namespace korvalinth
