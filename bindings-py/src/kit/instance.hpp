#pragma once
// The memory of every instance of a class of the module: the object header,
// the class's own record and the creating thread. Objects are bound to that
// thread: every call checks it, and an object that goes on another thread
// (dropped there, or found garbage by a collection there) is leaked whole,
// record and memory: its destructor cannot run there, and its own thread's
// state may name the record by its address. Records are only ever read
// through shared access (no method takes one exclusively), so an instance
// keeps no borrow count. The cycle collector may end a record before its
// object goes (finalize_record): the object is then bound to no thread, and
// every call is refused.

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
inline constexpr ThreadNumber kFinalizedOwner = ~ThreadNumber{0};

// Faults with "{} is unsendable, but sent to another thread"; for a finalized
// instance, raises RuntimeError "{} was finalized by the cycle collector".
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

// Ends the record of an instance in place. Destructors do not throw; one that
// did is reported, never raised.
template <class T>
void end_record(PyObject* object) noexcept {
  try {
    Instance<T>::of(object)->record().~T();
  } catch (...) {
    report_current_exception_unraisable(BorrowedRef(reinterpret_cast<PyObject*>(Py_TYPE(object))));
  }
}

// The tp_dealloc of a class with record T; a collected class's memory goes
// back through the collector's own free unless `keep(object)` kept it. A
// drop on another thread leaks the object whole (`dropped_elsewhere(record)`
// undoes what must not outlive it).
template <class T, bool collected = false, class Keep, class Elsewhere>
void dealloc_instance(PyObject* object, std::string_view internal_name, [[maybe_unused]] Keep&& keep,
                      Elsewhere&& dropped_elsewhere) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  auto* instance = Instance<T>::of(object);
  // Only the collector's finalizer ends a record before the drop, and its
  // mark stays in the block.
  const bool finalized = instance->owner == kFinalizedOwner;
  // The record's destructor may run Python code; keep an error in flight.
  PyObject* in_flight = PyErr_GetRaisedException();
  if (instance->owner == current_thread_number()) {
    end_record<T>(object);
  } else if (!finalized && instance->owner != ThreadNumber{0}) {
    report_foreign_drop(internal_name);
    dropped_elsewhere(std::as_const(instance->record()));
    PyErr_SetRaisedException(in_flight);
    return;
  }
  PyErr_SetRaisedException(in_flight);
  if constexpr (collected) {
    // A block the collector finalized would never be finalized again.
    if (finalized || !keep(object)) PyObject_GC_Del(object);
  } else {
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(object);
  }
  Py_DECREF(type);
}

// The tp_finalize of a collected class with record T. The collector
// finalizes every object of a garbage set before it clears any: the record
// ends here, as the object's drop would end it, while every object of the
// set is still whole, so that the teardown it runs (unsubscriptions,
// deactivation hooks, releases: Python code among them) never meets a
// cleared one, and nothing of the record is left to run once clearing
// starts. The object is marked first: code that the destructor runs finds it
// refusing calls, not half ended. On another thread the record cannot end:
// the object is leaked whole, as a drop there leaves it, and so never comes
// to a later collection with its record whole.
template <class T>
void finalize_record(PyObject* object, std::string_view internal_name) noexcept {
  auto* instance = Instance<T>::of(object);
  if (instance->owner == kFinalizedOwner) return;
  PyObject* in_flight = PyErr_GetRaisedException();
  if (instance->owner == current_thread_number()) {
    instance->owner = kFinalizedOwner;
    end_record<T>(object);
  } else {
    report_foreign_drop(internal_name);
    Py_INCREF(object);
  }
  PyErr_SetRaisedException(in_flight);
}

}  // namespace korvalinth::kit
