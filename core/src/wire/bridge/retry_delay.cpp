#include <algorithm>
#include <limits>
#include <utility>

#include "wire/bridge/bridge_session.hpp"

namespace korvalinth {

namespace {

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) { return b != 0 && a > kU64Max / b ? kU64Max : a * b; }

std::uint64_t capped(std::uint64_t delay, const std::optional<std::uint64_t>& max_delay_ms) {
  return max_delay_ms ? std::min(delay, *max_delay_ms) : delay;
}

// factor^exponent, saturating at the u32 maximum.
std::uint64_t saturating_pow_u32(std::uint64_t factor, std::uint32_t exponent) {
  std::uint64_t result = 1;
  std::uint64_t base = factor;
  while (exponent != 0) {
    // Both stay at most 2^32, which is already past the saturation point.
    if (exponent & 1) result = std::min(saturating_mul(result, base), kU32Max + 1);
    exponent >>= 1;
    if (exponent != 0) base = std::min(saturating_mul(base, base), kU32Max + 1);
  }
  return std::min(result, kU32Max);
}

// F(n) with F(1) = F(2) = 1, saturating at the u32 maximum.
std::uint64_t saturating_fibonacci_u32(std::uint64_t n) {
  std::uint64_t previous = 0, current = 1;
  for (std::uint64_t i = 1; i < n && current < kU32Max; ++i) current = std::exchange(previous, current) + current;
  return std::min(current, kU32Max);
}

}  // namespace

std::uint64_t retry_delay_ms(const WireBridgeRetryBackoff& backoff, std::uint32_t attempt) {
  using namespace retry_backoff;
  if (std::get_if<None>(&backoff)) return 0;
  if (const auto* b = std::get_if<Fixed>(&backoff)) return b->delay_ms;
  if (const auto* b = std::get_if<Linear>(&backoff)) {
    const std::uint64_t step = saturating_mul(b->step_ms, attempt);
    return capped(b->base_ms > kU64Max - step ? kU64Max : b->base_ms + step, b->max_delay_ms);
  }
  if (const auto* b = std::get_if<Exponential>(&backoff))
    return capped(saturating_mul(b->base_ms, saturating_pow_u32(b->factor, attempt)), b->max_delay_ms);
  const auto& b = std::get<Fibonacci>(backoff);
  return capped(saturating_mul(b.base_ms, saturating_fibonacci_u32(std::uint64_t{attempt} + 1)), b.max_delay_ms);
}

}  // namespace korvalinth
