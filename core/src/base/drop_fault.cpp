#include "base/drop_fault.hpp"

#include <utility>

namespace korvalinth {

namespace {

// The kept fault, behind the flag that the guard of every operation reads
// without touching the exception pointer.
struct KeptDropFault {
  std::exception_ptr fault;
};

}  // namespace

void keep_drop_fault(std::exception_ptr fault) noexcept {
  if (detail::tls_has_kept_drop_fault || !fault) return;
  ThreadBlock<KeptDropFault>::get().fault = std::move(fault);
  detail::tls_has_kept_drop_fault = true;
}

void detail::raise_kept_drop_fault_now() {
  tls_has_kept_drop_fault = false;
  std::exception_ptr f = std::exchange(ThreadBlock<KeptDropFault>::get().fault, nullptr);
  std::rethrow_exception(f);
}

}  // namespace korvalinth
