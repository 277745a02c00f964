#pragma once
// The session state of one wire bridge, kept in its processor node's aux
// slot inside a borrow cell so that it is found again on every run.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/cell.hpp"
#include "base/value.hpp"
#include "node/arena/node_handle.hpp"
#include "wire/bridge/bridge_envelope.hpp"
#include "wire/bridge/bridge_messages.hpp"

namespace korvalinth {

// An outbound envelope awaiting ACK or NACK.
struct PendingEnvelope {
  BridgeEnvelope envelope;                     // as last sent under its seq
  std::optional<std::uint64_t> retry_due_at;   // observed ms from which the retry may go; absent: at once
  std::optional<std::uint32_t> timeout_attempt;  // attempt whose ack timeout was already handled
  bool operator==(const PendingEnvelope&) const = default;
};

// The session's verdict on one delivery of an inbound item.
struct InboundVerdict {
  std::optional<WireBridgeEvent> refusal;  // none: accepted
  std::uint64_t cursor = 0;                // the inbound cursor once judged
};

// The session's verdicts on the deliveries of inbound items, for the readers
// of the inbound node that have not asked yet (inbound_acceptance.hpp);
// kept while the item lives (held weakly: a verdict goes with its item).
struct InboundVerdicts {
  struct Judged {
    WeakValue item;
    std::vector<InboundVerdict> deliveries;              // in delivery order
    std::vector<std::pair<SlotKey, std::size_t>> taken;  // per reader, the deliveries it has taken
  };
  // By the item's address, which names it while it lives.
  std::unordered_map<const void*, Judged> judged;
  std::size_t prune_at = 64;  // the size at which the entries of dead items are dropped
};

struct WireBridgeState {
  std::uint64_t next_outbound_seq = 1;
  std::uint64_t inbound_cursor = 0;  // seq of the last accepted inbound envelope
  std::uint64_t peer_cursor = 0;     // the highest cursor accepted from the peer
  std::map<std::uint64_t, PendingEnvelope> pending;  // by seq
  bool deactivation_hook_armed = false;
  InboundVerdicts inbound_verdicts;
  // Accepted, in seq order, and not yet reported by the processor: kept
  // across deactivations, so that what an edge group accepted while the
  // processor did not run is reported when it runs again.
  std::deque<BridgeEnvelope> unreported;
};

using BridgeStateCell = Cell<WireBridgeState>;

// A fresh state as the shared value the processor's aux slot holds; read it
// back with value_cast<BridgeStateCell>.
inline SharedValue make_bridge_state_value() { return make_value<BridgeStateCell>(); }

}  // namespace korvalinth
