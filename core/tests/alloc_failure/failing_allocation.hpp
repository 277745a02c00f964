#pragma once
// This binary's allocator fails the n-th allocation a test arms it for on
// the arming thread (off otherwise).

namespace korvalinth::test {

class FailingAllocation {
 public:
  explicit FailingAllocation(long nth);
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;
  ~FailingAllocation();
  // Whether the nth allocation came.
  bool failed() const noexcept;
};

}  // namespace korvalinth::test
