#include <limits>

#include "base/fault.hpp"
#include "wire/bridge/bridge_session.hpp"

namespace korvalinth {

namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t kU32Max = std::numeric_limits<std::uint32_t>::max();

// What a report finds of its pending entry, copied out of the state.
struct TimedOutEntry {
  BridgeEnvelope envelope;
  bool already_scheduled = false;
  std::optional<std::uint64_t> retry_due_at;
};

// The entry for seq while its current attempt is `attempt`; none otherwise.
std::optional<TimedOutEntry> find_timed_out(const BridgeStateCell& state, std::uint64_t seq, std::uint32_t attempt) {
  auto s = state.borrow();
  auto it = s->pending.find(seq);
  if (it == s->pending.end() || it->second.envelope.attempt != attempt) return std::nullopt;
  const PendingEnvelope& p = it->second;
  return TimedOutEntry{p.envelope, p.timeout_attempt == attempt, p.retry_due_at};
}

std::string timeout_message(const BridgeSession& session, std::uint64_t seq) {
  return session.session_id + ": ack timeout for seq " + std::to_string(seq);
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > kU64Max - b ? kU64Max : a + b; }

enum class Scheduled { Gone, RetryNow, RetryLater };

// Marks the entry's timeout as handled and sets when its retry may go. Gone:
// the entry was settled, forgotten or retried meanwhile.
Scheduled schedule_retry(const BridgeStateCell& state, std::uint64_t seq, std::uint32_t attempt, std::uint64_t delay,
                         std::optional<std::uint64_t> observed_at_ms) {
  auto s = state.borrow_mut();
  auto it = s->pending.find(seq);
  if (it == s->pending.end() || it->second.envelope.attempt != attempt) return Scheduled::Gone;
  PendingEnvelope& p = it->second;
  p.timeout_attempt = attempt;
  if (delay != 0) p.retry_due_at = observed_at_ms ? std::optional(saturating_add(*observed_at_ms, delay)) : std::nullopt;
  return p.retry_due_at ? Scheduled::RetryLater : Scheduled::RetryNow;
}

}  // namespace

void handle_ack_timeout(const RunContext& ctx, const BridgeStateCell& state, std::uint64_t seq,
                        std::uint32_t attempt, std::optional<std::uint64_t> observed_at_ms,
                        const BridgeSession& session) {
  if (seq == 0 || attempt == 0) {
    emit_protocol_error(ctx, seq == 0 ? "wireBridge: ack-timeout command seq must be positive"
                                      : "wireBridge: ack-timeout command attempt must be positive");
    return;
  }
  std::optional<TimedOutEntry> entry = find_timed_out(state, seq, attempt);
  if (!entry) return;  // a stale report
  if (entry->already_scheduled) {
    const bool due = !entry->retry_due_at || !observed_at_ms || *observed_at_ms >= *entry->retry_due_at;
    if (due) retry_envelope(ctx, state, session.max_attempts, session.clock, std::move(entry->envelope));
    return;
  }
  emit_bridge_event(ctx, bridge_event::AckTimeout{seq, attempt});
  if (attempt >= session.max_attempts) {
    const bool still_pending = state.borrow_mut()->pending.erase(seq) != 0;
    if (still_pending) emit_bridge_event(ctx, bridge_event::RetryExhausted{timeout_message(session, seq), seq, attempt});
    return;
  }
  const std::uint64_t delay = retry_delay_ms(session.backoff, attempt);
  const Scheduled scheduled = schedule_retry(state, seq, attempt, delay, observed_at_ms);
  if (scheduled == Scheduled::Gone) return;
  emit_bridge_event(ctx, bridge_event::RetryScheduled{timeout_message(session, seq), seq, delay, attempt + 1});
  if (scheduled == Scheduled::RetryNow)
    retry_envelope(ctx, state, session.max_attempts, session.clock, std::move(entry->envelope));
}

void retry_envelope(const RunContext& ctx, const BridgeStateCell& state, std::uint32_t max_attempts,
                    const WireBridgeClock& clock, BridgeEnvelope pending) {
  const std::uint32_t next = pending.attempt == kU32Max ? kU32Max : pending.attempt + 1;
  const std::uint64_t sent_at = clock();
  const std::uint64_t seq = pending.seq;
  auto built = new_bridge_envelope(BridgeEnvelopeParts{
      std::move(pending.session_id), seq, state.borrow()->inbound_cursor, std::move(pending.idempotency_key), next,
      max_attempts, sent_at, pending.ack_for_seq, std::move(pending.request_id), pending.envelope_type,
      std::move(pending.payload)});
  if (!built) fault("retry envelope keeps validated metadata");
  {
    auto s = state.borrow_mut();
    auto it = s->pending.find(seq);
    if (it == s->pending.end()) return;  // settled or forgotten meanwhile: nothing left to retry
    it->second = PendingEnvelope{*built, {}, {}};
  }
  emit_bridge_event(ctx, bridge_event::Outbound{std::move(*built)});
}

}  // namespace korvalinth
