#include "node/wave/stack_guard.hpp"

#include <pthread.h>

#include <algorithm>

namespace korvalinth {

namespace detail {

namespace {

// Kept free below the limit: one more level of graph code, the Python
// callbacks it calls, and the unwinding and handling of the fault. Frames
// are several times larger under AddressSanitizer.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::uintptr_t kReserve = std::uintptr_t{2} << 20;
#else
constexpr std::uintptr_t kReserve = std::uintptr_t{512} << 10;
#endif

StackBounds read_bounds() noexcept {
  StackBounds b;
  b.reserve = 0;  // bounds unknown: never refuse
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return b;
  void* addr = nullptr;
  std::size_t size = 0;
  if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr != nullptr && size != 0) {
    b.low = reinterpret_cast<std::uintptr_t>(addr);
    // A small thread stack keeps three quarters for graph work.
    b.reserve = std::min<std::uintptr_t>(kReserve, size / 4);
  }
  pthread_attr_destroy(&attr);
  return b;
}

}  // namespace

void check_stack_slow(std::uintptr_t sp) {
  StackBounds& b = tls_stack_bounds;
  if (b.reserve == ~std::uintptr_t{0}) {
    b = read_bounds();
    if (sp - b.low >= b.reserve) return;
  }
  throw StackDepthFault();
}

}  // namespace detail

void refuse_stack_depth() { throw StackDepthFault(); }

}  // namespace korvalinth
