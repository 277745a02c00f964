#include "wire/bridge/inbound_acceptance.hpp"

#include <algorithm>

namespace korvalinth {

namespace {

// The item's entry; one left by a dead item at the same address starts afresh.
InboundVerdicts::Judged& entry_of(InboundVerdicts& verdicts, const SharedContent<bridge_inbound::Envelope>& item) {
  // Dropping dead items' entries only as the map doubles keeps each take O(1) amortised.
  if (verdicts.judged.size() >= verdicts.prune_at) {
    std::erase_if(verdicts.judged, [](const auto& entry) { return entry.second.item.expired(); });
    verdicts.prune_at = std::max<std::size_t>(64, 2 * verdicts.judged.size());
  }
  InboundVerdicts::Judged& entry = verdicts.judged[item.get()];
  if (entry.item.expired()) entry = InboundVerdicts::Judged{item.value(), {}, {}};
  return entry;
}

// The event refusing the envelope; none when it is accepted, the state then
// having moved on to it and keeping it for the processor to report.
std::optional<WireBridgeEvent> refusal_of(WireBridgeState& s, const std::string& session_id,
                                          const bridge_inbound::Envelope& inbound) {
  const BridgeEnvelope& envelope = inbound.envelope;
  if (auto valid = validate_inbound_envelope(inbound); !valid)
    return bridge_event::ProtocolError{std::string(display_text(valid.error()))};
  if (envelope.session_id != session_id) return bridge_event::SessionMismatch{session_id, envelope.session_id};
  if (envelope.seq <= s.inbound_cursor) return bridge_event::StaleInbound{envelope.seq, s.inbound_cursor};
  if (envelope.seq > s.inbound_cursor + 1) return bridge_event::InboundGap{envelope.seq, s.inbound_cursor + 1};
  if (envelope.cursor < s.peer_cursor)
    return bridge_event::ProtocolError{session_id + ": inbound cursor " + std::to_string(envelope.cursor) +
                                       " regressed below " + std::to_string(s.peer_cursor)};
  s.peer_cursor = envelope.cursor;
  s.inbound_cursor = envelope.seq;
  s.unreported.push_back(envelope);
  return std::nullopt;
}

InboundVerdict judge(WireBridgeState& s, const std::string& session_id, const bridge_inbound::Envelope& inbound) {
  std::optional<WireBridgeEvent> refusal = refusal_of(s, session_id, inbound);
  return InboundVerdict{std::move(refusal), s.inbound_cursor};
}

}  // namespace

InboundVerdict take_inbound_verdict(const BridgeStateCell& state, const std::string& session_id,
                                    const SharedContent<bridge_inbound::Envelope>& item, SlotKey reader) {
  auto s = state.borrow_mut();
  InboundVerdicts::Judged& entry = entry_of(s->inbound_verdicts, item);
  auto count = std::ranges::find(entry.taken, reader, &std::pair<SlotKey, std::size_t>::first);
  if (count == entry.taken.end()) count = entry.taken.insert(entry.taken.end(), {reader, 0});
  const std::size_t delivery = count->second++;
  if (delivery == entry.deliveries.size()) entry.deliveries.push_back(judge(*s, session_id, *item));
  return entry.deliveries[delivery];
}

std::optional<BridgeEnvelope> take_unreported_acceptance(const BridgeStateCell& state, std::uint64_t through) {
  auto s = state.borrow_mut();
  if (s->unreported.empty() || s->unreported.front().seq > through) return std::nullopt;
  BridgeEnvelope next = std::move(s->unreported.front());
  s->unreported.pop_front();
  return next;
}

}  // namespace korvalinth
