#include "node/drop_fault.hpp"

#include <utility>

namespace korvalinth {

namespace {
thread_local std::exception_ptr tls_kept;
}

void keep_drop_fault(std::exception_ptr fault) noexcept {
  if (!tls_kept) tls_kept = std::move(fault);
}

void raise_kept_drop_fault() {
  if (!tls_kept) return;
  std::exception_ptr f = std::exchange(tls_kept, nullptr);
  std::rethrow_exception(f);
}

bool has_kept_drop_fault() noexcept { return static_cast<bool>(tls_kept); }

}  // namespace korvalinth
