#pragma once
// The construction input of a wire bridge.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

namespace korvalinth {

// Retry delay kinds, in this order; times in the milliseconds of the clock
// that reports ack timeouts.
namespace retry_backoff {
struct None {
  bool operator==(const None&) const = default;
};
struct Fixed {
  std::uint64_t delay_ms = 0;
  bool operator==(const Fixed&) const = default;
};
struct Linear {
  std::uint64_t base_ms = 0;
  std::uint64_t step_ms = 0;
  std::optional<std::uint64_t> max_delay_ms;
  bool operator==(const Linear&) const = default;
};
struct Exponential {
  std::uint32_t factor = 0;
  std::uint64_t base_ms = 0;
  std::optional<std::uint64_t> max_delay_ms;
  bool operator==(const Exponential&) const = default;
};
struct Fibonacci {
  std::uint64_t base_ms = 0;
  std::optional<std::uint64_t> max_delay_ms;
  bool operator==(const Fibonacci&) const = default;
};
}  // namespace retry_backoff

using WireBridgeRetryBackoff = std::variant<retry_backoff::None, retry_backoff::Fixed, retry_backoff::Linear,
                                            retry_backoff::Exponential, retry_backoff::Fibonacci>;

// Stamps sent_at on every envelope the bridge sends or retries.
using WireBridgeClock = std::function<std::uint64_t()>;

// The two clocks that read no time: the one the Python bridge passes, and
// the one a configuration without a clock gets.
inline std::uint64_t always_true() noexcept { return 1; }
inline std::uint64_t always_false() noexcept { return 0; }

struct WireBridgeConfig {
  std::string session_id;           // must be non-empty
  std::optional<std::string> name;  // absent: "wireBridge"; not validated
  WireBridgeRetryBackoff backoff;
  std::uint32_t max_attempts = 0;
  WireBridgeClock clock;  // empty: absent
};

}  // namespace korvalinth
