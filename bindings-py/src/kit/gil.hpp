#pragma once
// The GIL as the bindings see it: a per-thread count of binding frames that
// hold it. Every entry from Python raises the count (the caller holds the
// GIL); code called back by the runtime takes the GIL only when the count
// says it is not held. References dropped where the count is zero are queued
// and released the next time a binding frame starts.

#include <cstdint>

#include "kit/python.hpp"

namespace korvalinth::kit {

std::uint64_t gil_count() noexcept;

// Marks a binding frame entered with the GIL held by the caller.
class GilMark {
 public:
  GilMark() noexcept;
  ~GilMark();
  GilMark(const GilMark&) = delete;
  GilMark& operator=(const GilMark&) = delete;
};

// Takes the GIL unless this thread's binding frames already hold it, and
// gives back exactly what it took. Once the interpreter is finalizing it
// takes nothing: CPython would end the calling thread (or, with finalization
// done, crash) rather than hand the GIL out. held() is then false and the
// caller leaves Python alone; under a binding frame it is always true.
class GilGuard {
 public:
  GilGuard() noexcept;
  ~GilGuard();
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;

  bool held() const noexcept { return held_; }

 private:
  bool held_ = true;
  bool ensured_ = false;
  PyGILState_STATE state_{};
};

// The text of what runtime code gets instead of a Python call's outcome when
// the GIL could not be had.
inline constexpr const char* kInterpreterFinalizing = "the Python interpreter is finalizing";

// Gives up a strong reference now when the count says the GIL is held, else
// queues it for the next binding frame. For values the runtime may drop
// anywhere.
void release_ref_slow(PyObject* object) noexcept;
inline void release_ref(PyObject* object) noexcept {
  if (object != nullptr) release_ref_slow(object);
}

// Releases the queued references (the GIL must be held).
void apply_pending_releases() noexcept;

}  // namespace korvalinth::kit
