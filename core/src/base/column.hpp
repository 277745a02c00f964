#pragma once
// A growable array of entries relocatable as bytes (base/relocatable.hpp):
// its growth copies the old entries' bytes into the new block instead of
// moving and destroying each entry. It grows as std::vector does (twice the
// size, one at first), makes the new entry before anything moves, so a
// failed growth leaves the column as it was, and destroys its entries front
// to back.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "base/relocatable.hpp"

namespace korvalinth {

template <class T>
class Column {
  static_assert(relocatable_as_bytes<T>, "a column's entries must be relocatable as bytes");
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

 public:
  Column() noexcept = default;
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;
  ~Column() {
    // Read once: a destructor's call-outs could not reach the column, but
    // the compiler cannot tell.
    T* const first = first_;
    T* const last = last_;
    for (T* at = first; at != last; ++at) at->~T();
    if (first) ::operator delete(first, capacity_bytes());
  }

  std::size_t size() const noexcept { return static_cast<std::size_t>(last_ - first_); }
  T& operator[](std::size_t i) noexcept { return first_[i]; }
  const T& operator[](std::size_t i) const noexcept { return first_[i]; }
  T& back() noexcept { return last_[-1]; }
  T* begin() noexcept { return first_; }
  T* end() noexcept { return last_; }
  const T* begin() const noexcept { return first_; }
  const T* end() const noexcept { return last_; }

  template <class... A>
  T& emplace_back(A&&... args) {
    if (last_ == room_end_) [[unlikely]]
      return grow_with(std::forward<A>(args)...);
    T* made = ::new (static_cast<void*>(last_)) T(std::forward<A>(args)...);
    ++last_;
    return *made;
  }
  void pop_back() noexcept { (--last_)->~T(); }
  // Forgets every entry without destroying it, for an owner that destroyed
  // those that own anything (the others hold bytes relocated out).
  void forget_entries() noexcept { last_ = first_; }

 private:
  std::size_t capacity_bytes() const noexcept {
    return static_cast<std::size_t>(reinterpret_cast<const char*>(room_end_) - reinterpret_cast<const char*>(first_));
  }
  // The entries are copied one by one as fixed-size blocks: memcpy copies a
  // block this large with a string instruction, which instruction counts
  // (the cost measure we tune by) take per byte.
  template <class... A>
  [[gnu::noinline, gnu::optimize("no-tree-loop-distribute-patterns")]] T& grow_with(A&&... args) {
    const std::size_t size = this->size();
    const std::size_t capacity = size == 0 ? 1 : 2 * size;
    if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    T* fresh = static_cast<T*>(::operator new(capacity * sizeof(T)));
    T* made;
    try {
      made = ::new (static_cast<void*>(fresh + size)) T(std::forward<A>(args)...);
    } catch (...) {
      ::operator delete(fresh, capacity * sizeof(T));
      throw;
    }
    if (T* const first = first_) {
      T* to = fresh;
      for (const T* from = first; from != last_; ++from, ++to)
        std::memcpy(static_cast<void*>(to), static_cast<const void*>(from), sizeof(T));
      ::operator delete(first, capacity_bytes());
    }
    first_ = fresh;
    last_ = made + 1;
    room_end_ = fresh + capacity;
    return *made;
  }

  T* first_ = nullptr;
  T* last_ = nullptr;
  T* room_end_ = nullptr;
};

}  // namespace korvalinth
