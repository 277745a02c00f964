#pragma once
// The host boundary: a per-thread count of core operations entered from
// Python, and the abort that unwinds to the nearest guard after a callback
// stored a pending fatal Python exception.

#include <cstdint>

namespace korvalinth {

// The abort's payload. Not a Fault: catchers tell it apart by type, and wave
// scopes let it pass.
struct HostBoundaryAbort {};

std::uint64_t host_boundary_depth() noexcept;

// Raises the depth for its lifetime; the decrement saturates at 0 and also
// runs while a fault unwinds.
class HostBoundaryScope {
 public:
  HostBoundaryScope() noexcept;
  ~HostBoundaryScope();
  HostBoundaryScope(const HostBoundaryScope&) = delete;
  HostBoundaryScope& operator=(const HostBoundaryScope&) = delete;
};

// Unwinds with HostBoundaryAbort when inside a boundary; otherwise faults
// with "host boundary abort requested outside a native host boundary (D431)".
[[noreturn]] void host_boundary_abort();

}  // namespace korvalinth
