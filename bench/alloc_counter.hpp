#pragma once
// Counts the heap allocations of the whole benchmark process (the global
// operator new is replaced in alloc_counter.cpp), so a benchmark can report
// allocations per wave and bytes per node.

#include <cstdint>

namespace korvalinth::bench {

struct AllocCounts {
  std::uint64_t allocations = 0;  // calls of operator new
  std::int64_t live_bytes = 0;    // bytes allocated and not yet freed
};

AllocCounts alloc_counts() noexcept;

}  // namespace korvalinth::bench
