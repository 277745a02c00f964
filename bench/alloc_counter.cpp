#include "alloc_counter.hpp"

#include <cstddef>
#include <cstdlib>
#include <malloc.h>
#include <new>

// Benchmarks run on one thread (the thread a --threaded run starts ends
// before any benchmark): plain counters suffice. Sizes come from
// malloc_usable_size so that sized and unsized deletes agree.
namespace {
std::uint64_t g_allocations = 0;
std::int64_t g_live_bytes = 0;

void* counted_alloc(std::size_t n, std::size_t align) {
  void* p = align <= alignof(std::max_align_t) ? std::malloc(n ? n : 1) : std::aligned_alloc(align, (n + align - 1) / align * align);
  if (!p) throw std::bad_alloc();
  ++g_allocations;
  g_live_bytes += static_cast<std::int64_t>(malloc_usable_size(p));
  return p;
}

void counted_free(void* p) noexcept {
  if (!p) return;
  g_live_bytes -= static_cast<std::int64_t>(malloc_usable_size(p));
  std::free(p);
}
}  // namespace

namespace korvalinth::bench {
AllocCounts alloc_counts() noexcept { return AllocCounts{g_allocations, g_live_bytes}; }
}  // namespace korvalinth::bench

void* operator new(std::size_t n) { return counted_alloc(n, 0); }
void* operator new[](std::size_t n) { return counted_alloc(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return counted_alloc(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return counted_alloc(n, static_cast<std::size_t>(a)); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }
