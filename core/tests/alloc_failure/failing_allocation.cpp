#include "failing_allocation.hpp"

#include <cstdlib>
#include <new>

// Every scalar form goes through malloc/free, so they pair under any
// sanitizer; the array and aligned forms are left alone.
namespace {
thread_local long tls_allocations_until_failure = 0;
thread_local long tls_failures_left = 0;  // the failing allocation and those right after it

void* allocate(std::size_t n) {
  if (tls_allocations_until_failure > 0 && --tls_allocations_until_failure == 0) {
    if (--tls_failures_left > 0) tls_allocations_until_failure = 1;
    throw std::bad_alloc();
  }
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
}  // namespace

namespace korvalinth::test {

FailingAllocation::FailingAllocation(long nth, long in_a_row) {
  tls_allocations_until_failure = nth;
  tls_failures_left = in_a_row;
}
FailingAllocation::~FailingAllocation() { tls_allocations_until_failure = 0; }
bool FailingAllocation::failed() const noexcept { return tls_allocations_until_failure == 0; }

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
