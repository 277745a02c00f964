#pragma once
// The GIL as the bindings see it: a per-thread count of binding frames that
// hold it. Every entry from Python raises the count (the caller holds the
// GIL); code called back by the runtime takes the GIL only when the count
// says it is not held. References dropped where the count is zero are queued
// and released the next time a binding frame starts.

#include <atomic>
#include <cstdint>

#include "base/thread_block.hpp"
#include "kit/python.hpp"

namespace korvalinth::kit {

namespace detail {
// Read inline on every callback and every reference drop: one load.
inline constinit thread_local std::uint64_t tls_gil_count KORVALINTH_FAST_TLS = 0;
// Whether references wait in the release queue: read inline on every entry,
// so that an empty queue costs one load.
inline constinit std::atomic<bool> releases_queued{false};
void release_queued() noexcept;
}  // namespace detail

inline std::uint64_t gil_count() noexcept { return detail::tls_gil_count; }

// Releases the queued references (the GIL must be held).
inline void apply_pending_releases() noexcept {
  if (detail::releases_queued.load(std::memory_order_acquire)) detail::release_queued();
}

// Marks a binding frame entered with the GIL held by the caller.
class GilMark {
 public:
  GilMark() noexcept {
    ++detail::tls_gil_count;
    apply_pending_releases();
  }
  ~GilMark() { --detail::tls_gil_count; }
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
  // Under a binding frame (the usual case) nothing moves: the frame holds
  // the GIL for longer than this guard lives, and the count is only ever
  // tested against zero.
  GilGuard() noexcept {
    if (detail::tls_gil_count == 0) ensure();
  }
  ~GilGuard() {
    if (!ensured_) return;
    --detail::tls_gil_count;
    release();
  }
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;

  bool held() const noexcept { return held_; }

 private:
  void ensure() noexcept;
  void release() noexcept;

  bool held_ = true;
  bool ensured_ = false;
  PyGILState_STATE state_{};
};

// The text of what runtime code gets instead of a Python call's outcome when
// the GIL could not be had.
inline constexpr const char* kInterpreterFinalizing = "the Python interpreter is finalizing";

// Queues a strong reference for the next binding frame to give up.
void queue_release(PyObject* object) noexcept;

// Gives up a strong reference (not null) now when the count says the GIL
// is held, else queues it. For values the runtime may drop anywhere.
inline void release_held_ref(PyObject* object) noexcept {
  if (detail::tls_gil_count > 0) {
    Py_DECREF(object);
  } else {
    queue_release(object);
  }
}
// The same for a reference that may be null (none to give up).
inline void release_ref(PyObject* object) noexcept {
  if (object != nullptr) release_held_ref(object);
}

}  // namespace korvalinth::kit
