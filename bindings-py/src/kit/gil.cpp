#include "kit/gil.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace korvalinth::kit {

using detail::releases_queued;
using detail::tls_gil_count;

namespace {

struct PendingReleases {
  std::mutex mutex;
  std::vector<PyObject*> objects;
};

PendingReleases& pending() {
  // Never destroyed: objects may still be queued at process exit.
  static auto* pool = new PendingReleases();
  return *pool;
}

// Py_IsFinalizing joined the limited API only in 3.13. In the 3.12 stable
// ABI, Py_IsInitialized() turns false at the step where CPython starts to
// refuse the GIL to other threads (after the atexit callbacks) and stays
// false once finalization is done, so it answers the same question. It is
// read without the GIL, as CPython reads its own flag before taking it.
bool interpreter_finalizing() noexcept { return Py_IsInitialized() == 0; }

}  // namespace

void GilGuard::ensure() noexcept {
  if (interpreter_finalizing()) {
    held_ = false;
    return;
  }
  state_ = PyGILState_Ensure();
  ensured_ = true;
  ++tls_gil_count;
  apply_pending_releases();
}

void GilGuard::release() noexcept { PyGILState_Release(state_); }

void queue_release(PyObject* object) noexcept {
  PendingReleases& pool = pending();
  std::lock_guard lock(pool.mutex);
  pool.objects.push_back(object);
  releases_queued.store(true, std::memory_order_release);
}

void detail::release_queued() noexcept {
  PendingReleases& pool = pending();
  std::vector<PyObject*> objects;
  {
    std::lock_guard lock(pool.mutex);
    objects.swap(pool.objects);
    releases_queued.store(false, std::memory_order_relaxed);
  }
  // Outside the lock: a release may run Python code that drops more.
  for (PyObject* object : objects) Py_DECREF(object);
}

}  // namespace korvalinth::kit
