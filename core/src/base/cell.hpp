#pragma once
// A single-threaded cell with a borrow flag: any number of shared borrows or
// one mutable borrow. A conflicting borrow is a fault, never undefined
// behaviour. Guards release their borrow also while a fault unwinds.

#include <cstdint>
#include <utility>

#include "base/fault.hpp"

namespace korvalinth {

inline constexpr const char* kAlreadyMutablyBorrowed = "already mutably borrowed: BorrowError";
inline constexpr const char* kAlreadyBorrowed = "already borrowed: BorrowMutError";

template <class T>
class Cell;

template <class T>
class Ref {
 public:
  Ref(Ref&& o) noexcept : cell_(std::exchange(o.cell_, nullptr)) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref& operator=(Ref&&) = delete;
  ~Ref() { release(); }
  const T& operator*() const noexcept { return cell_->value_; }
  const T* operator->() const noexcept { return &cell_->value_; }
  const T& get() const noexcept { return cell_->value_; }
  void release() noexcept {
    if (cell_) {
      --cell_->flag_;
      cell_ = nullptr;
    }
  }

 private:
  friend class Cell<T>;
  explicit Ref(const Cell<T>* c) noexcept : cell_(c) {}
  const Cell<T>* cell_;
};

template <class T>
class RefMut {
 public:
  RefMut(RefMut&& o) noexcept : cell_(std::exchange(o.cell_, nullptr)) {}
  RefMut(const RefMut&) = delete;
  RefMut& operator=(const RefMut&) = delete;
  RefMut& operator=(RefMut&&) = delete;
  ~RefMut() { release(); }
  T& operator*() const noexcept { return cell_->value_; }
  T* operator->() const noexcept { return &cell_->value_; }
  T& get() const noexcept { return cell_->value_; }
  void release() noexcept {
    if (cell_) {
      cell_->flag_ = 0;
      cell_ = nullptr;
    }
  }

 private:
  friend class Cell<T>;
  explicit RefMut(const Cell<T>* c) noexcept : cell_(c) {}
  const Cell<T>* cell_;
};

template <class T>
class Cell {
 public:
  template <class... A>
  explicit Cell(A&&... a) : value_(std::forward<A>(a)...) {}
  Cell(const Cell&) = delete;
  Cell& operator=(const Cell&) = delete;

  Ref<T> borrow() const {
    if (flag_ < 0) fault(kAlreadyMutablyBorrowed);
    ++flag_;
    return Ref<T>(this);
  }
  RefMut<T> borrow_mut() const {
    if (flag_ != 0) fault(kAlreadyBorrowed);
    flag_ = -1;
    return RefMut<T>(this);
  }
  bool is_borrowed() const noexcept { return flag_ != 0; }
  bool is_mutably_borrowed() const noexcept { return flag_ < 0; }

  // Direct access for code that has proven no borrow is held (tests, teardown).
  T& unguarded() noexcept { return value_; }
  // A read for code that has proven no mutable borrow is held meanwhile.
  const T& unguarded() const noexcept { return value_; }

 private:
  friend class Ref<T>;
  friend class RefMut<T>;
  mutable T value_;
  mutable std::intptr_t flag_ = 0;  // >0 shared borrows, -1 mutable
};

}  // namespace korvalinth
