#include "wires/ack_timeouts.hpp"

#include <limits>
#include <vector>

#include "kit/convert.hpp"
#include "kit/gil.hpp"
#include "node/topology/node_ops.hpp"
#include "values/py_object_value.hpp"
#include "wire/bridge/bridge_messages.hpp"
#include "wire/bridge/dep_values.hpp"
#include "wire/bridge/projection_records.hpp"

namespace korvalinth::py {

namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

// Acts on the DATA messages carrying a Record; ignores every other message.
template <class Record, class Apply>
class RecordSink final : public Sink {
 public:
  RecordSink(SharedAckDriverState state, Apply apply) : state_(std::move(state)), apply_(std::move(apply)) {}
  void call(const Message& message) override {
    if (message.kind() != MessageKind::Data) return;
    if (const Record* record = value_cast<Record>(message.value())) apply_(*state_->borrow_mut(), *record);
  }

 private:
  SharedAckDriverState state_;
  Apply apply_;
};

template <class Record, class Apply>
SharedSink make_record_sink(SharedAckDriverState state, Apply apply) {
  return std::make_shared<RecordSink<Record, Apply>>(std::move(state), std::move(apply));
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > kU64Max - b ? kU64Max : a + b; }

void apply_bridge_status(AckDriverState& state, const WireBridgeStatus& status) {
  if (status.pending == 0) {
    state.pending.clear();
  } else if (status.state == WireBridgeStatusState::Waiting && status.last_seq && status.last_delay_ms) {
    auto it = state.pending.find(*status.last_seq);
    if (it == state.pending.end()) return;
    PendingAttempt& entry = it->second;
    // No deadline before the ack timeout fired, nor once the retry fired.
    if (entry.timed_out_at_ms && entry.retry_fired_attempt != entry.attempt) {
      entry.retry_due_ms = saturating_add(*entry.timed_out_at_ms, *status.last_delay_ms);
    }
  } else if (status.state == WireBridgeStatusState::Exhausted && status.last_seq) {
    state.pending.erase(*status.last_seq);
  }
}

// Whether the entry fires at reading now: its ack timeout once per
// attempt, else its retry deadline once per attempt.
bool fires(PendingAttempt& entry, std::uint64_t now, std::uint64_t timeout_ms) {
  if (!entry.first_seen_ms) entry.first_seen_ms = now;
  const std::uint64_t elapsed = *entry.first_seen_ms > now ? 0 : now - *entry.first_seen_ms;
  if (elapsed >= timeout_ms && entry.timeout_fired_attempt != entry.attempt) {
    entry.timeout_fired_attempt = entry.attempt;
    entry.timed_out_at_ms = now;
    return true;
  }
  if (entry.retry_due_ms && now >= *entry.retry_due_ms && entry.retry_fired_attempt != entry.attempt) {
    entry.retry_fired_attempt = entry.attempt;
    return true;
  }
  return false;
}

// Takes the reading and scans the pending seqs in ascending order: one
// Timeout per entry that fired, else a single Clock.
std::vector<AckDriverEvent> accept_reading(AckDriverState& state, std::uint64_t now, std::uint64_t timeout_ms) {
  state.now_ms = now;
  std::vector<AckDriverEvent> events;
  const std::uint64_t pending = state.pending.size();
  for (auto& [seq, entry] : state.pending) {
    if (fires(entry, now, timeout_ms)) {
      events.emplace_back(ack_driver_event::Timeout{seq, now, pending, now, entry.attempt});
    }
  }
  if (events.empty()) events.emplace_back(ack_driver_event::Clock{now, pending});
  return events;
}

// The reading a clock fact gives, none when it is not a u64 (bool is refused
// although Python counts it an int; a failed conversion's error is dropped).
std::optional<std::uint64_t> clock_reading(kit::BorrowedRef fact) {
  if (PyBool_Check(fact.get())) return std::nullopt;
  try {
    return kit::extract_u64(fact);
  } catch (kit::PyErrAlreadySet&) {
    return std::nullopt;
  }
}

class ClockFn final : public NodeFn {
 public:
  ClockFn(SharedAckDriverState state, std::uint64_t timeout_ms) : state_(std::move(state)), timeout_ms_(timeout_ms) {}

  void run(RunContext& ctx) override {
    for (const auto& fact : collect_dep_values<PyObjectValue>(ctx, 0)) {
      std::optional<std::uint64_t> reading;
      {
        kit::GilGuard gil;
        if (!gil.held()) return;
        reading = clock_reading(fact->object());
        const char* refusal = !reading                                         ? kClockNotInteger
                              : *reading < state_->borrow()->now_ms.value_or(0) ? kClockNotMonotonic
                                                                                : nullptr;
        if (refusal) {
          emit_data_record<AckDriverEvent>(ctx, issue(refusal));
          continue;
        }
      }
      // The state is free while the events go: a timeout's command comes
      // back into the sinks within the same delivery.
      std::vector<AckDriverEvent> events = accept_reading(*state_->borrow_mut(), *reading, timeout_ms_);
      for (AckDriverEvent& event : events) emit_data_record<AckDriverEvent>(ctx, std::move(event));
    }
  }

 private:
  ack_driver_event::Issue issue(const char* message) const {
    auto state = state_->borrow();
    return ack_driver_event::Issue{state->now_ms, "invalid_clock", message, state->pending.size()};
  }

  SharedAckDriverState state_;
  std::uint64_t timeout_ms_;
};

class CommandsFn final : public NodeFn {
 public:
  void run(RunContext& ctx) override {
    for (const auto& event : collect_dep_values<AckDriverEvent>(ctx, 0)) {
      if (const auto* timeout = std::get_if<ack_driver_event::Timeout>(event.get())) {
        emit_data_record<WireBridgeCommand>(
            ctx, bridge_command::AckTimeout{timeout->observed_at_ms, timeout->seq, timeout->attempt});
      }
    }
  }
};

}  // namespace

SharedSink make_attempts_sink(SharedAckDriverState state) {
  return make_record_sink<WireBridgeAttempt>(std::move(state), [](AckDriverState& s, const WireBridgeAttempt& r) {
    // A seq attempted again starts over.
    s.pending[r.seq] = PendingAttempt{s.now_ms, {}, {}, {}, {}, r.seq, r.attempt};
  });
}

SharedSink make_acks_sink(SharedAckDriverState state) {
  return make_record_sink<WireBridgeAck>(
      std::move(state), [](AckDriverState& s, const WireBridgeAck& r) { s.pending.erase(r.ack_for_seq); });
}

SharedSink make_nacks_sink(SharedAckDriverState state) {
  return make_record_sink<WireBridgeNack>(
      std::move(state), [](AckDriverState& s, const WireBridgeNack& r) { s.pending.erase(r.ack_for_seq); });
}

SharedSink make_bridge_status_sink(SharedAckDriverState state) {
  return make_record_sink<WireBridgeStatus>(std::move(state), apply_bridge_status);
}

SharedNodeFn make_ack_driver_clock_fn(SharedAckDriverState state, std::uint64_t timeout_ms) {
  return std::make_shared<ClockFn>(std::move(state), timeout_ms);
}

SharedNodeFn make_ack_driver_commands_fn() { return std::make_shared<CommandsFn>(); }

}  // namespace korvalinth::py
