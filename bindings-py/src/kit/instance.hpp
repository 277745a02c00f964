#pragma once
// The memory of every instance of a class of the module: the object header,
// the class's own record and the creating thread. Objects are bound to that
// thread: every call checks it, and a drop on another thread leaks the record
// rather than run its destructor there. Records are only ever read through
// shared access (no method takes one exclusively), so an instance keeps no
// borrow count.

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

// Faults with "{} is unsendable, but sent to another thread".
[[noreturn]] void fail_owner_thread(std::string_view internal_name);

// Faults when the calling thread did not create the object; the check runs
// on every call, so the compare is inline and the refusal out of line.
inline void check_owner_thread(ThreadNumber owner, std::string_view internal_name) {
  if (owner != current_thread_number()) [[unlikely]] fail_owner_thread(internal_name);
}

// Reports the drop of an object on a thread that did not create it.
void report_foreign_drop(std::string_view internal_name) noexcept;

// Makes the record T from args, in place, in `object`, a new instance of
// `type` (a fresh one or a kept one made an object again). An instance of a
// collected class (`collected`: the type has Py_TPFLAGS_HAVE_GC) is handed to
// the cycle collector only once its record is complete, so its memory needs
// no clearing first.
template <class T, bool collected, class... A>
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
  if constexpr (collected) PyObject_GC_Track(object.get());
  return object;
}

// Allocates an instance of `type` and makes its record T from args, in place.
template <class T, bool collected = false, class... A>
OwnedRef emplace_instance(PyTypeObject* type, A&&... args) {
  OwnedRef object;
  if constexpr (collected) {
    object = check(_PyObject_GC_New(type));
  } else {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    object = check(alloc(type, 0));
  }
  return emplace_record<T, collected>(std::move(object), type, std::forward<A>(args)...);
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
  } else {
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

}  // namespace korvalinth::kit
