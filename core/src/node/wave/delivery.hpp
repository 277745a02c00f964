#pragma once
// Per-thread state of down: the innermost delivery frame's id (0 while no
// frame is open), the next id to hand out and the innermost delivery in
// progress (delivery_order.hpp). One block: a down reads and writes them
// all, through one thread-local offset.

#include <cstdint>

#include "base/thread_block.hpp"

namespace korvalinth {

class OrderedDelivery;

struct DeliveryCounters {
  std::uint64_t frame_id = 0;
  // Counts up from 1: 2^64 frames are never opened, so no id is 0.
  std::uint64_t frame_counter = 1;
  OrderedDelivery* innermost = nullptr;  // each links to the one it runs inside
};

namespace detail {
inline constinit thread_local DeliveryCounters tls_delivery_counters KORVALINTH_FAST_TLS;
}
inline DeliveryCounters& delivery_counters() noexcept { return detail::tls_delivery_counters; }
// Above 0 while a delivery frame is open: an open frame's id is never 0.
inline std::uint64_t delivery_depth() noexcept { return delivery_counters().frame_id != 0; }
inline std::uint64_t delivery_frame_id() noexcept { return delivery_counters().frame_id; }

// The id of a new frame: each is given once.
inline std::uint64_t take_frame_id() noexcept { return delivery_counters().frame_counter++; }

// A delivery frame, open for the object's life: it gives the frame an id;
// its end restores the outer frame id (0 outside every frame), also while a
// fault unwinds. Frames close innermost first.
class DeliveryFrame {
 public:
  DeliveryFrame() : DeliveryFrame(take_frame_id()) {}
  // A frame given the id taken for it (take_frame_id) by a road that needed
  // no frame open until now.
  explicit DeliveryFrame(std::uint64_t id) noexcept {
    DeliveryCounters& c = delivery_counters();
    saved_ = c.frame_id;
    c.frame_id = id;
  }
  DeliveryFrame(const DeliveryFrame&) = delete;
  DeliveryFrame& operator=(const DeliveryFrame&) = delete;
  ~DeliveryFrame() { delivery_counters().frame_id = saved_; }

 private:
  std::uint64_t saved_;
};

}  // namespace korvalinth
