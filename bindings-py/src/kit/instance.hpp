#pragma once
// The memory of every instance of a class of the module: the object header,
// the class's own record and the creating thread. Objects are bound to that
// thread: every call checks it, and a drop on another thread leaks the record
// rather than run its destructor there. Records are only ever read through
// shared access (no method takes one exclusively), so an instance keeps no
// borrow count. The cycle collector may end a record before its object goes
// (clear_record): the object is then bound to no thread, and every call is
// refused.

#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>

#include "kit/errors.hpp"
#include "kit/refs.hpp"
#include "kit/thread_identity.hpp"

namespace korvalinth::kit {

template <class T>
struct Instance {
  PyObject header;
  alignas(T) unsigned char storage[sizeof(T)];
  ThreadNumber owner;

  T& record() noexcept { return *std::launder(reinterpret_cast<T*>(storage)); }
  static Instance* of(PyObject* object) noexcept { return reinterpret_cast<Instance*>(object); }
};

// The owner of an instance whose record the cycle collector has ended: the
// number of no thread, so the creating-thread check refuses every call.
inline constexpr ThreadNumber kClearedOwner = ~ThreadNumber{0};

// Faults with "{} is unsendable, but sent to another thread"; for a cleared
// instance, raises RuntimeError "{} was cleared by the cycle collector".
[[noreturn]] void fail_owner_thread(ThreadNumber owner, std::string_view internal_name);

// Refuses the call when the calling thread did not create the object; the
// check runs on every call, so the compare is inline and the refusal out of
// line.
inline void check_owner_thread(ThreadNumber owner, std::string_view internal_name) {
  if (owner != current_thread_number()) [[unlikely]] fail_owner_thread(owner, internal_name);
}

// Reports the drop of an object on a thread that did not create it.
void report_foreign_drop(std::string_view internal_name) noexcept;

// Makes the record T from args, in place, in `object`, a new instance of
// `type` (a fresh one or a kept one made an object again). An instance of a
// collected class (`collected`: the type has Py_TPFLAGS_HAVE_GC) is handed to
// the cycle collector only once its record is complete, so its memory needs
// no clearing first; with `tracked` false, only when its class says
// (track_instance).
template <class T, bool collected, bool tracked = collected, class... A>
OwnedRef emplace_record(OwnedRef object, PyTypeObject* type, A&&... args) {
  auto* instance = Instance<T>::of(object.get());
  if constexpr (collected) {
    // A failed record leaves an object the collector never saw: its memory
    // goes back without a dealloc, and with it the type's reference.
    try {
      new (instance->storage) T(std::forward<A>(args)...);
    } catch (...) {
      PyObject_GC_Del(object.release());
      Py_DECREF(type);
      throw;
    }
  } else {
    new (instance->storage) T(std::forward<A>(args)...);
  }
  // Set last: the memory of an uncollected class comes zeroed, and 0 is no
  // thread's number, so a record is left alone until it is complete.
  instance->owner = current_thread_number();
  if constexpr (collected && tracked) PyObject_GC_Track(object.get());
  return object;
}

// Hands an instance of a collected class made untracked to the collector;
// one tracked already stays as it is.
inline void track_instance(BorrowedRef object) noexcept {
  if (!PyObject_GC_IsTracked(object.get())) PyObject_GC_Track(object.get());
}

// Allocates an instance of `type` and makes its record T from args, in place.
template <class T, bool collected = false, bool tracked = collected, class... A>
OwnedRef emplace_instance(PyTypeObject* type, A&&... args) {
  OwnedRef object;
  if constexpr (collected) {
    object = check(_PyObject_GC_New(type));
  } else {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    object = check(alloc(type, 0));
  }
  return emplace_record<T, collected, tracked>(std::move(object), type, std::forward<A>(args)...);
}

// The tp_dealloc of a class with record T; a collected class's memory goes
// back through the collector's own free unless `keep(object)` kept it.
template <class T, bool collected = false, class Keep>
void dealloc_instance(PyObject* object, std::string_view internal_name, [[maybe_unused]] Keep&& keep) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  auto* instance = Instance<T>::of(object);
  // The record's destructor may run Python code; keep an error in flight.
  PyObject* in_flight = PyErr_GetRaisedException();
  if (instance->owner == current_thread_number()) {
    try {
      instance->record().~T();
    } catch (...) {
      // Destructors do not throw; one that did is reported, never raised.
      report_current_exception_unraisable(BorrowedRef(reinterpret_cast<PyObject*>(type)));
    }
  } else if (instance->owner != kClearedOwner) {
    report_foreign_drop(internal_name);
  }
  PyErr_SetRaisedException(in_flight);
  if constexpr (collected) {
    if (!keep(object)) PyObject_GC_Del(object);
  } else {
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(object);
  }
  Py_DECREF(type);
}

// The tp_clear of a collected class with record T: ends the record now, as
// the object's drop would, and leaves the object cleared, so that the
// collector breaks the cycles that run through what the record held. Only
// on the creating thread (elsewhere the record's references were never
// visited). The object is marked first: code that the record's destructor
// runs finds it refusing calls, not half ended.
template <class T>
void clear_record(PyObject* object) noexcept {
  auto* instance = Instance<T>::of(object);
  if (instance->owner != current_thread_number()) return;
  instance->owner = kClearedOwner;
  PyObject* in_flight = PyErr_GetRaisedException();
  try {
    instance->record().~T();
  } catch (...) {
    report_current_exception_unraisable(BorrowedRef(reinterpret_cast<PyObject*>(Py_TYPE(object))));
  }
  PyErr_SetRaisedException(in_flight);
}

}  // namespace korvalinth::kit
