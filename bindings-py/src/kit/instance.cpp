#include "kit/instance.hpp"

#include <atomic>
#include <string>

#include "base/fault.hpp"

namespace korvalinth::kit {

namespace detail {

ThreadNumber assign_thread_number() noexcept {
  static std::atomic<ThreadNumber> next{1};
  this_thread_number = next.fetch_add(1, std::memory_order_relaxed);
  return this_thread_number;
}

}  // namespace detail

void fail_owner_thread(ThreadNumber owner, std::string_view internal_name) {
  if (owner == kFinalizedOwner) {
    throw_error(PyExc_RuntimeError, std::string(internal_name) + " was finalized by the cycle collector");
  }
  fault(std::string(internal_name) + " is unsendable, but sent to another thread");
}

void report_foreign_drop(std::string_view internal_name) noexcept {
  std::string text = std::string(internal_name) + " is unsendable, but is being dropped on another thread";
  PyErr_SetString(PyExc_RuntimeError, text.c_str());
  PyErr_WriteUnraisable(nullptr);
}

}  // namespace korvalinth::kit
