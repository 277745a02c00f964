#include "host_boundary/host_boundary.hpp"

#include "base/fault.hpp"
#include "base/thread_block.hpp"

namespace korvalinth {

namespace {
constinit thread_local std::uint64_t tls_depth KORVALINTH_FAST_TLS = 0;
}

std::uint64_t host_boundary_depth() noexcept { return tls_depth; }

HostBoundaryScope::HostBoundaryScope() noexcept { ++tls_depth; }

HostBoundaryScope::~HostBoundaryScope() {
  if (tls_depth > 0) --tls_depth;
}

void host_boundary_abort() {
  if (tls_depth != 0) throw HostBoundaryAbort{};
  fault("host boundary abort requested outside a native host boundary (D431)");
}

}  // namespace korvalinth
