#include "base/drop_fault.hpp"

#include <utility>

#include "base/thread_block.hpp"

namespace korvalinth {

namespace {

// The kept fault, behind a flag that the guard of every operation reads
// without touching the exception pointer.
struct KeptDropFault {
  std::exception_ptr fault;
};
constinit thread_local bool tls_has_kept KORVALINTH_FAST_TLS = false;

}  // namespace

void keep_drop_fault(std::exception_ptr fault) noexcept {
  if (tls_has_kept || !fault) return;
  ThreadBlock<KeptDropFault>::get().fault = std::move(fault);
  tls_has_kept = true;
}

void raise_kept_drop_fault() {
  if (!tls_has_kept) return;
  tls_has_kept = false;
  std::exception_ptr f = std::exchange(ThreadBlock<KeptDropFault>::get().fault, nullptr);
  std::rethrow_exception(f);
}

bool has_kept_drop_fault() noexcept { return tls_has_kept; }

}  // namespace korvalinth
