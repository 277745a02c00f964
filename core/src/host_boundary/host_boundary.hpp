#pragma once
// The host boundary: a per-thread count of core operations entered from
// Python, and the abort that unwinds to the nearest guard after a callback
// stored a pending fatal Python exception.

#include <cstdint>

#include "base/thread_block.hpp"

namespace korvalinth {

namespace detail {
// Read inline: every guarded Python call raises and lowers it.
inline constinit thread_local std::uint64_t tls_host_boundary_depth KORVALINTH_FAST_TLS = 0;
}  // namespace detail

// The abort's payload. Not a Fault: catchers tell it apart by type, and wave
// scopes let it pass.
struct HostBoundaryAbort {};

inline std::uint64_t host_boundary_depth() noexcept { return detail::tls_host_boundary_depth; }

// Raises the depth for its lifetime; the decrement saturates at 0 and also
// runs while a fault unwinds.
class HostBoundaryScope {
 public:
  HostBoundaryScope() noexcept { ++detail::tls_host_boundary_depth; }
  ~HostBoundaryScope() {
    if (detail::tls_host_boundary_depth > 0) --detail::tls_host_boundary_depth;
  }
  HostBoundaryScope(const HostBoundaryScope&) = delete;
  HostBoundaryScope& operator=(const HostBoundaryScope&) = delete;
};

// Unwinds with HostBoundaryAbort when inside a boundary; otherwise faults
// with "host boundary abort requested outside a native host boundary (D431)".
[[noreturn]] void host_boundary_abort();

}  // namespace korvalinth
