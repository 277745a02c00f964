#pragma once
// Python references with their ownership in the type.
//
// Rules of use, followed by every function of the bindings:
//  1. Every reference a C++ object keeps has one of three types: OwnedRef
//     (one strong reference, dropped where the GIL is held), AnywhereRef (one
//     strong reference that may be dropped where the GIL is not held: kept by
//     what the runtime owns and drops wherever it likes) or BorrowedRef (no
//     reference; someone else keeps the object alive while it is used). No
//     member owns through a bare PyObject*, except a vectorcall argument array
//     (the callee wants contiguous pointers; the array releases what it owns,
//     and what it borrows is kept alive by its owner for the call) and
//     objects made once per process and never released (type objects,
//     exception classes, shared strs).
//  2. What a function takes to look at is borrowed: a BorrowedRef (or a bare
//     PyObject* in the CPython-facing helpers), alive for the whole call.
//  3. What a function keeps is taken as an OwnedRef by value: the caller
//     moves its reference in, or makes one with BorrowedRef::new_ref().
//  4. What a function makes or finds is returned owned, as an OwnedRef. A
//     failure is thrown (PyErrAlreadySet, errors.hpp), not returned as null;
//     an empty OwnedRef means "none" only where the function says so.
//  5. Bare pointers live at the CPython edge only: OwnedRef::steal() takes
//     the new reference a CPython call returned (through kit::check when null
//     means failure); release() hands the reference to a call that steals it
//     (PyErr_SetRaisedException, PyTuple_SetItem) or to CPython as a result;
//     get() lends the pointer for one CPython call.
//  6. Python is touched with the GIL held only: every OwnedRef and BorrowedRef
//     operation and every read of an AnywhereRef. Only an AnywhereRef's drop
//     is free of the rule (gil.hpp, release_ref).
//  7. A Python error travels as a C++ exception (PyErrAlreadySet) up to the
//     one place where CPython called in (entry.hpp), which sets it again, and
//     a fault becomes PanicException there. No other code returns with the
//     error indicator set.
//  8. Destructors neither throw nor raise: what fails in one is reported with
//     report_unraisable (errors.hpp), CPython's PyErr_WriteUnraisable.

#include <utility>

#include "kit/gil.hpp"
#include "kit/python.hpp"

namespace korvalinth::kit {

class OwnedRef;

class BorrowedRef {
 public:
  BorrowedRef() noexcept = default;
  explicit BorrowedRef(PyObject* object) noexcept : object_(object) {}

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // A new strong reference to the same object.
  OwnedRef new_ref() const noexcept;

 private:
  PyObject* object_ = nullptr;
};

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  // Takes over a reference the caller owns (may be null).
  static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
  // Takes a new reference of its own.
  static OwnedRef new_ref(PyObject* object) noexcept {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  BorrowedRef borrow() const noexcept { return BorrowedRef(object_); }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (CPython calls that steal, returns).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  // Drops the reference now.
  void reset() noexcept { Py_CLEAR(object_); }

 private:
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

inline OwnedRef BorrowedRef::new_ref() const noexcept { return OwnedRef::new_ref(object_); }

// One strong reference that its last owner may drop anywhere: released at
// once when this thread's binding frames hold the GIL, else queued for the
// next binding frame (release_ref). Reading it still needs the GIL.
class AnywhereRef {
 public:
  AnywhereRef() noexcept = default;
  explicit AnywhereRef(OwnedRef object) noexcept : object_(object.release()) {}
  AnywhereRef(AnywhereRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  AnywhereRef& operator=(AnywhereRef&& other) noexcept {
    if (this != &other) release_ref(std::exchange(object_, std::exchange(other.object_, nullptr)));
    return *this;
  }
  AnywhereRef(const AnywhereRef&) = delete;
  AnywhereRef& operator=(const AnywhereRef&) = delete;
  ~AnywhereRef() { release_ref(object_); }

  PyObject* get() const noexcept { return object_; }
  BorrowedRef borrow() const noexcept { return BorrowedRef(object_); }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference back as an OwnedRef (the GIL must be held).
  OwnedRef take() noexcept { return OwnedRef::steal(std::exchange(object_, nullptr)); }
  // Gives up the reference, known not null, in place of the destructor: for
  // an owner whose memory goes back without destroying this holder.
  void end_held() && noexcept { release_held_ref(object_); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace korvalinth::kit
