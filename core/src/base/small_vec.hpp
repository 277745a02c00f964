#pragma once
// A vector with N elements of inline storage: the per-message sink copies and
// the per-wave value lists stay off the heap in the common case.

#include <cstddef>
#include <cstdlib>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <utility>

namespace korvalinth {

template <class T, std::size_t N>
class SmallVec {
  static_assert(N > 0);

 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;
  using size_type = std::size_t;

  // User-provided: value-initialising a SmallVec (or a struct holding one)
  // must not zero the inline buffer.
  SmallVec() noexcept {}
  SmallVec(std::initializer_list<T> init) {
    reserve(init.size());
    for (const T& v : init) push_back(v);
  }
  SmallVec(const SmallVec& o) {
    reserve(o.size_);
    for (const T& v : o) push_back(v);
  }
  SmallVec(SmallVec&& o) noexcept { take(std::move(o)); }
  SmallVec& operator=(const SmallVec& o) {
    if (this != &o) {
      clear();
      reserve(o.size_);
      for (const T& v : o) push_back(v);
    }
    return *this;
  }
  SmallVec& operator=(SmallVec&& o) noexcept {
    if (this != &o) {
      destroy_all();
      take(std::move(o));
    }
    return *this;
  }
  ~SmallVec() { destroy_all(); }

  T* data() noexcept { return heap_ ? heap_ : inline_ptr(); }
  const T* data() const noexcept { return heap_ ? heap_ : inline_ptr(); }
  size_type size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  size_type capacity() const noexcept { return heap_ ? cap_ : N; }
  // Whether the elements live in a heap block, past the inline room.
  bool on_heap() const noexcept { return heap_ != nullptr; }
  // The inline room's bytes, which hold nothing while the elements are on
  // the heap (a move of such a list leaves them be): an owner may keep its
  // own there meanwhile.
  void* idle_inline_room() noexcept { return inline_; }
  static constexpr std::size_t kInlineRoomBytes = N * sizeof(T);

  iterator begin() noexcept { return data(); }
  iterator end() noexcept { return data() + size_; }
  const_iterator begin() const noexcept { return data(); }
  const_iterator end() const noexcept { return data() + size_; }

  T& operator[](size_type i) noexcept { return data()[i]; }
  const T& operator[](size_type i) const noexcept { return data()[i]; }
  T& front() noexcept { return data()[0]; }
  T& back() noexcept { return data()[size_ - 1]; }
  const T& back() const noexcept { return data()[size_ - 1]; }

  void reserve(size_type want) {
    if (want <= capacity()) return;
    size_type cap = capacity() * 2;
    if (cap < want) cap = want;
    T* fresh = static_cast<T*>(::operator new(cap * sizeof(T), std::align_val_t(alignof(T))));
    T* src = data();
    for (size_type i = 0; i < size_; ++i) {
      ::new (fresh + i) T(std::move(src[i]));
      src[i].~T();
    }
    free_heap();
    heap_ = fresh;
    cap_ = cap;
  }

  template <class... A>
  T& emplace_back(A&&... a) {
    if (size_ == capacity()) reserve(size_ + 1);
    T* p = ::new (data() + size_) T(std::forward<A>(a)...);
    ++size_;
    return *p;
  }
  // Appends n elements, each made in place by make(at, i), which must not
  // throw; the size is written once, so the loop keeps its pointer in hand.
  template <class Make>
  [[gnu::always_inline]] void append_made(size_type n, Make&& make) {
    static_assert(noexcept(make(std::declval<T*>(), size_type{0})));
    reserve(size_ + n);
    T* const at = data() + size_;
    for (size_type i = 0; i < n; ++i) make(at + i, i);
    size_ += n;
  }
  // Appends n elements, all made in place by make_all(at) in the room at
  // `at`, which must not throw: for a maker that walks them its own way.
  template <class MakeAll>
  void append_all_made(size_type n, MakeAll&& make_all) {
    static_assert(noexcept(make_all(std::declval<T*>())));
    reserve(size_ + n);
    make_all(data() + size_);
    size_ += n;
  }
  void push_back(const T& v) { emplace_back(v); }
  void push_back(T&& v) { emplace_back(std::move(v)); }
  void pop_back() noexcept {
    --size_;
    data()[size_].~T();
  }
  // Empties the list without destroying its elements: for a caller that
  // knows their destruction does nothing.
  void forget_all() noexcept { size_ = 0; }
  // Drops the elements front to back.
  void clear() noexcept {
    T* d = data();
    for (size_type i = 0; i < size_; ++i) d[i].~T();
    size_ = 0;
  }

 private:
  T* inline_ptr() noexcept { return std::launder(reinterpret_cast<T*>(inline_)); }
  const T* inline_ptr() const noexcept { return std::launder(reinterpret_cast<const T*>(inline_)); }
  void free_heap() noexcept {
    if (heap_) ::operator delete(heap_, std::align_val_t(alignof(T)));
    heap_ = nullptr;
    cap_ = 0;
  }
  void destroy_all() noexcept {
    clear();
    free_heap();
  }
  void take(SmallVec&& o) noexcept {
    if (o.heap_) {
      heap_ = std::exchange(o.heap_, nullptr);
      cap_ = std::exchange(o.cap_, 0);
      size_ = std::exchange(o.size_, 0);
      return;
    }
    T* src = o.inline_ptr();
    for (size_type i = 0; i < o.size_; ++i) {
      ::new (inline_ptr() + i) T(std::move(src[i]));
      src[i].~T();
    }
    size_ = std::exchange(o.size_, 0);
  }

  alignas(T) unsigned char inline_[N * sizeof(T)];
  T* heap_ = nullptr;
  size_type cap_;  // read only while heap_ is set, which sets it
  size_type size_ = 0;
};

}  // namespace korvalinth
