#include "host_boundary/host_boundary.hpp"

#include "base/fault.hpp"

namespace korvalinth {

void host_boundary_abort() {
  if (detail::tls_host_boundary_depth != 0) throw HostBoundaryAbort{};
  fault("host boundary abort requested outside a native host boundary (D431)");
}

}  // namespace korvalinth
