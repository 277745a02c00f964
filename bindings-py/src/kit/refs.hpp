#pragma once
// Python references with their ownership in the type. An OwnedRef holds one
// strong reference and gives it up when it goes; a BorrowedRef is a plain
// pointer whose owner keeps the object alive for as long as it is used. Both
// are only touched with the GIL held.

#include <utility>

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

}  // namespace korvalinth::kit
