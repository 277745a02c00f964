#pragma once
// Per-thread state of down: the innermost delivery frame's id, the next id
// to hand out, the number of down calls in progress and the innermost
// delivery in progress (delivery_order.hpp). One block: a down reads and
// writes them all, through one thread-local offset.

#include <cstdint>

#include "base/thread_block.hpp"

namespace korvalinth {

class OrderedDelivery;

struct DeliveryCounters {
  std::uint64_t frame_id = 0;
  std::uint64_t frame_counter = 1;
  std::uint64_t depth = 0;
  OrderedDelivery* innermost = nullptr;  // each links to the one it runs inside
};

namespace detail {
inline constinit thread_local DeliveryCounters tls_delivery_counters KORVALINTH_FAST_TLS;
}
inline DeliveryCounters& delivery_counters() noexcept { return detail::tls_delivery_counters; }
inline std::uint64_t delivery_depth() noexcept { return delivery_counters().depth; }
inline std::uint64_t delivery_frame_id() noexcept { return delivery_counters().frame_id; }

}  // namespace korvalinth
