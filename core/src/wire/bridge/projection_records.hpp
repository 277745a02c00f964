#pragma once
// The records the bridge's projection nodes emit, besides envelopes
// ({name}/outbound), texts ({name}/errors) and u64 seqs ({name}/cursor).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "wire/bridge/bridge_envelope.hpp"

namespace korvalinth {

// {name}/acks: an inbound ACK and the outbound seq it settled.
struct WireBridgeAck {
  BridgeEnvelope envelope;
  std::uint64_t ack_for_seq = 0;
  bool operator==(const WireBridgeAck&) const = default;
};

// {name}/nacks: an inbound NACK, its reason and the outbound seq it settled.
struct WireBridgeNack {
  BridgeEnvelope envelope;
  Bytes reason;
  std::uint64_t ack_for_seq = 0;
  bool operator==(const WireBridgeNack&) const = default;
};

// {name}/attempts: one sending of an envelope that awaits an acknowledgement.
struct WireBridgeAttempt {
  std::uint64_t seq = 0;
  std::uint32_t attempt = 0;
  std::uint32_t max_attempts = 0;
  bool operator==(const WireBridgeAttempt&) const = default;
};

enum class WireBridgeStatusState : std::uint8_t { Idle, Started, Open, Waiting, Closed, Errored, Exhausted };

// "idle", "started", "open", "waiting", "closed", "errored", "exhausted".
std::string_view status_state_name(WireBridgeStatusState state) noexcept;

// {name}/status: the session as the event stream tells it so far.
struct WireBridgeStatus {
  WireBridgeStatusState state = WireBridgeStatusState::Idle;
  std::string session_id;
  std::uint64_t cursor = 0;
  std::uint64_t next_seq = 1;
  std::uint64_t pending = 0;  // sent for the first time and not yet settled
  std::uint64_t attempts = 0;  // START, DATA and CLOSE sendings, retries included
  std::uint64_t acked = 0;
  std::uint64_t nacked = 0;
  std::uint64_t errors = 0;
  std::optional<std::uint64_t> last_seq;
  std::optional<std::uint64_t> last_delay_ms;
  bool operator==(const WireBridgeStatus&) const = default;
};

}  // namespace korvalinth
