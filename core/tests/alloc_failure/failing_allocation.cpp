#include "failing_allocation.hpp"

#include <cstdlib>
#include <new>

// Every scalar form goes through malloc/free (the aligned ones through
// aligned_alloc), so they pair under any sanitizer; the array forms are
// left alone.
namespace {
thread_local long tls_allocations_until_failure = 0;
thread_local long tls_failures_left = 0;
thread_local bool tls_failed = false;

void fail_if_armed() {
  if (tls_allocations_until_failure > 0 && --tls_allocations_until_failure == 0) {
    tls_failed = true;
    if (--tls_failures_left > 0) tls_allocations_until_failure = 1;
    throw std::bad_alloc();
  }
}

void* allocate(std::size_t n) {
  fail_if_armed();
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

void* allocate_aligned(std::size_t n, std::align_val_t al) {
  fail_if_armed();
  const std::size_t align = static_cast<std::size_t>(al);
  // aligned_alloc takes a size that is a multiple of the alignment.
  const std::size_t size = ((n ? n : 1) + align - 1) / align * align;
  void* p = std::aligned_alloc(align, size);
  if (!p) throw std::bad_alloc();
  return p;
}
}  // namespace

namespace korvalinth::test {

FailingAllocation::FailingAllocation(long nth, long count) {
  tls_allocations_until_failure = nth;
  tls_failures_left = count;
  tls_failed = false;
}
FailingAllocation::~FailingAllocation() {
  tls_allocations_until_failure = 0;
  tls_failures_left = 0;
}
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
void* operator new(std::size_t n, std::align_val_t al) { return allocate_aligned(n, al); }
void* operator new(std::size_t n, std::align_val_t al, const std::nothrow_t&) noexcept {
  try {
    return allocate_aligned(n, al);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
