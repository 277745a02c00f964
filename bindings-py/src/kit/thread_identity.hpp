#pragma once
// The identity of the calling thread for the creating-thread check: a number
// taken from a process-wide counter the first time a thread asks, so it never
// repeats within the process. (std::thread::id may be handed to a new thread
// once the old one has ended; objects of the ended thread would then pass.)

#include <cstdint>

#include "base/thread_block.hpp"

namespace korvalinth::kit {

using ThreadNumber = std::uint64_t;

namespace detail {
inline constinit thread_local ThreadNumber this_thread_number KORVALINTH_FAST_TLS = 0;
ThreadNumber assign_thread_number() noexcept;
}  // namespace detail

inline ThreadNumber current_thread_number() noexcept {
  ThreadNumber n = detail::this_thread_number;
  return __builtin_expect(n != 0, 1) ? n : detail::assign_thread_number();
}

}  // namespace korvalinth::kit
