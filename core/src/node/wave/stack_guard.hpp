#pragma once
// Headroom of the native stack at the points where graph work recurses
// (delivery, dep sinks, runs, activation, upstream messages). A graph too
// deep for synchronous delivery faults with kStackDepthExceeded before the
// stack runs out; the fault then takes the usual way of faults (an ERROR in
// a wave scope, an exception at the host boundary).
//
// The check compares the frame address with the current thread's stack
// bounds, read once per thread; a frame outside those bounds (a coroutine
// stack of its own) is never refused.

#include <cstdint>

#include "base/fault.hpp"
#include "base/thread_block.hpp"

namespace korvalinth {

inline constexpr const char* kStackDepthExceeded =
    "graph: call depth exceeds the native stack; the graph is too deep for synchronous delivery";

// The fault of the check: a Fault with kStackDepthExceeded, of its own type
// so that activation can tell it from other faults.
class StackDepthFault : public Fault {
 public:
  StackDepthFault() : Fault(kStackDepthExceeded) {}
};

namespace detail {
struct StackBounds {
  std::uintptr_t low = 0;
  std::uintptr_t reserve = ~std::uintptr_t{0};  // until read: every check takes the slow path once
};
inline constinit thread_local StackBounds tls_stack_bounds KORVALINTH_FAST_TLS;
// Reads the bounds on a thread's first check; throws StackDepthFault when
// the frame at sp is within the reserve.
[[gnu::cold, gnu::noinline]] void check_stack_slow(std::uintptr_t sp);

// The stack pointer, read without making the caller keep a frame pointer.
inline std::uintptr_t stack_position() noexcept {
#if defined(__x86_64__)
  std::uintptr_t sp;
  asm("mov %%rsp, %0" : "=r"(sp));
  return sp;
#elif defined(__aarch64__)
  std::uintptr_t sp;
  asm("mov %0, sp" : "=r"(sp));
  return sp;
#else
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
}
}  // namespace detail

// The fault of a check that found no room.
[[noreturn, gnu::cold]] void refuse_stack_depth();

// The check for a frame standing at sp.
inline void check_stack_headroom_at(std::uintptr_t sp) {
  const detail::StackBounds& b = detail::tls_stack_bounds;
  if (sp - b.low < b.reserve) [[unlikely]]
    detail::check_stack_slow(sp);
}
inline void check_stack_headroom() { check_stack_headroom_at(detail::stack_position()); }

// The stack between the position at and the reserve: a loop that stands
// for nested calls below at charges what they would take against it (a
// check at at - n refuses where n exceeds it). None while the thread's
// bounds are unread.
inline std::uintptr_t stack_room_below(std::uintptr_t at) noexcept {
  const detail::StackBounds& b = detail::tls_stack_bounds;
  const std::uintptr_t above = at - b.low;
  return above < b.reserve ? 0 : above - b.reserve;
}

}  // namespace korvalinth
