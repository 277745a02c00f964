#pragma once
// Session-level acceptance of inbound envelopes: valid, of this session, the
// exact successor of the last accepted one, and not moving the peer's cursor
// back. There is no reordering buffer: anything else is refused.
//
// Every reader of the bridge's inbound node (the processor, each edge group
// over the bridge) is handed the same items in the same order, but the
// runtime runs the readers in an order of its own, and the processor runs
// only while something watches the bridge. The first reader to ask about a
// delivery judges it, moving the session on when it is accepted; the others
// are handed that verdict. So every reader acts on exactly the envelopes the
// session accepted, each once, whichever runs first. The session keeps what
// it accepted until the processor has reported it, so the bridge's events
// name every accepted envelope in seq order, also those a group accepted
// while the processor was not running.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "node/arena/node_handle.hpp"
#include "wire/bridge/bridge_messages.hpp"
#include "wire/bridge/bridge_state.hpp"

namespace korvalinth {

// The session's verdict on the reader's next delivery of the inbound
// envelope item: no refusal when the session accepted it (its cursors then
// moved on to it), else the event refusing it; and the session's inbound
// cursor as the verdict left it. A reader asks once for each delivery it is
// handed; an item handed to it again (a replay, or the same item set twice)
// is judged again. The state is borrowed only inside.
InboundVerdict take_inbound_verdict(const BridgeStateCell& state, const std::string& session_id,
                                    const SharedContent<bridge_inbound::Envelope>& item, SlotKey reader);

// The processor's next envelope to report as accepted: the oldest one the
// session accepted up to seq `through` that it has not reported yet; none
// when there is none. Each accepted envelope is handed out once.
std::optional<BridgeEnvelope> take_unreported_acceptance(const BridgeStateCell& state, std::uint64_t through);

}  // namespace korvalinth
