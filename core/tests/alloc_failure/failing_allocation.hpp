#pragma once
// This binary's allocator fails the n-th allocation a test arms it for on
// the arming thread, and the count - 1 allocations right after it (off
// otherwise).

namespace korvalinth::test {

class FailingAllocation {
 public:
  explicit FailingAllocation(long nth, long count = 1);
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;
  ~FailingAllocation();
  // Whether the nth allocation came.
  bool failed() const noexcept;
};

}  // namespace korvalinth::test
