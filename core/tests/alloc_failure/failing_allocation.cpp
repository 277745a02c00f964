#include "failing_allocation.hpp"

#include <cstdlib>
#include <new>

// Every scalar form goes through malloc/free, so they pair under any
// sanitizer; the array and aligned forms are left alone.
namespace {
thread_local long tls_allocations_until_failure = 0;
thread_local bool tls_failed = false;

void* allocate(std::size_t n) {
  if (tls_allocations_until_failure > 0 && --tls_allocations_until_failure == 0) {
    tls_failed = true;
    throw std::bad_alloc();
  }
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
}  // namespace

namespace korvalinth::test {

FailingAllocation::FailingAllocation(long nth) {
  tls_allocations_until_failure = nth;
  tls_failed = false;
}
FailingAllocation::~FailingAllocation() { tls_allocations_until_failure = 0; }
bool FailingAllocation::failed() const noexcept { return tls_failed; }

}  // namespace korvalinth::test

void* operator new(std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
