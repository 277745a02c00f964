#pragma once
// Shared and weak references with plain tallies, for objects that only the
// thread using them touches (a graph's core and its nodes' count records: a
// graph is used by one thread, and the host's objects that hold them stay
// with the thread that made them). Once a process has started a thread,
// std::shared_ptr makes every copy and drop an atomic operation for good;
// these never do.
//
// The object lives in one block after its head: its tallies and the step
// that ends it, so a reference may be copied and dropped where the
// object's type is incomplete.

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace korvalinth {

struct LocalShareHead {
  enum class Step : std::uint8_t { EndObject, FreeBlock };
  std::uint32_t strong = 1;
  std::uint32_t weak = 1;  // weak references, and one for the strong ones together
  void (*manage)(LocalShareHead*, Step) noexcept = nullptr;
  static constexpr std::size_t kObjectOffset = 16;

  // A strong reference went: the last one ends the object, the block goes
  // once no weak one is left either.
  static void drop_strong(LocalShareHead* h) noexcept {
    if (--h->strong != 0) return;
    h->manage(h, Step::EndObject);
    drop_weak(h);
  }
  static void drop_weak(LocalShareHead* h) noexcept {
    if (--h->weak == 0) h->manage(h, Step::FreeBlock);
  }
};
static_assert(sizeof(LocalShareHead) == LocalShareHead::kObjectOffset);

// Where an object's block comes from, unless its reference type says.
struct HeapShareBlocks {
  static_assert(__STDCPP_DEFAULT_NEW_ALIGNMENT__ >= LocalShareHead::kObjectOffset);
  static void* take(std::size_t bytes) { return ::operator new(bytes); }
  static void give_back(void* block) noexcept { ::operator delete(block); }
};

template <class T, class Blocks>
class LocalWeak;

template <class T, class Blocks = HeapShareBlocks>
class LocalShared {
 public:
  LocalShared() noexcept = default;
  // A new object made of a.
  template <class... A>
  static LocalShared make(A&&... a) {
    static_assert(alignof(T) <= LocalShareHead::kObjectOffset);
    void* const block = Blocks::take(LocalShareHead::kObjectOffset + sizeof(T));
    auto* const head = ::new (block) LocalShareHead{1, 1, &manage};
    try {
      ::new (object_of(head)) T(std::forward<A>(a)...);
    } catch (...) {
      Blocks::give_back(block);
      throw;
    }
    return LocalShared(head);
  }

  LocalShared(const LocalShared& o) noexcept : head_(o.head_) {
    if (head_) ++head_->strong;
  }
  LocalShared(LocalShared&& o) noexcept : head_(std::exchange(o.head_, nullptr)) {}
  LocalShared& operator=(const LocalShared& o) noexcept {
    LocalShared(o).swap(*this);
    return *this;
  }
  LocalShared& operator=(LocalShared&& o) noexcept {
    LocalShared(std::move(o)).swap(*this);
    return *this;
  }
  ~LocalShared() {
    if (head_) LocalShareHead::drop_strong(head_);
  }

  void reset() noexcept {
    if (head_) LocalShareHead::drop_strong(std::exchange(head_, nullptr));
  }
  void swap(LocalShared& o) noexcept { std::swap(head_, o.head_); }

  // A share of o, which holds an object: its count is raised untested.
  static LocalShared share_of_held(const LocalShared& o) noexcept {
    ++o.head_->strong;
    return LocalShared(o.head_);
  }

  // The object of o, its count not raised: for a holder whose object
  // another holder keeps alive. Given up with forget_lent(), never dropped.
  static LocalShared lent(const LocalShared& o) noexcept { return LocalShared(o.head_); }
  void forget_lent() noexcept { head_ = nullptr; }

  T* get() const noexcept { return head_ ? object_of(head_) : nullptr; }
  T& operator*() const noexcept { return *object_of(head_); }
  T* operator->() const noexcept { return object_of(head_); }
  explicit operator bool() const noexcept { return head_ != nullptr; }
  // The strong references to the object, this one included; 0 when empty.
  long use_count() const noexcept { return head_ ? static_cast<long>(head_->strong) : 0; }
  friend bool operator==(const LocalShared& a, const LocalShared& b) noexcept { return a.head_ == b.head_; }
  friend bool operator==(const LocalShared& a, std::nullptr_t) noexcept { return a.head_ == nullptr; }

 private:
  friend class LocalWeak<T, Blocks>;
  explicit LocalShared(LocalShareHead* adopted) noexcept : head_(adopted) {}
  static T* object_of(LocalShareHead* h) noexcept {
    return reinterpret_cast<T*>(reinterpret_cast<char*>(h) + LocalShareHead::kObjectOffset);
  }
  static void manage(LocalShareHead* h, LocalShareHead::Step step) noexcept {
    if (step == LocalShareHead::Step::EndObject) {
      object_of(h)->~T();
      return;
    }
    Blocks::give_back(h);
  }

  LocalShareHead* head_ = nullptr;
};

// A weak reference: keeps the object's block, not the object.
template <class T, class Blocks = HeapShareBlocks>
class LocalWeak {
 public:
  LocalWeak() noexcept = default;
  LocalWeak(const LocalShared<T, Blocks>& s) noexcept : head_(s.head_) {
    if (head_) ++head_->weak;
  }
  LocalWeak(const LocalWeak& o) noexcept : head_(o.head_) {
    if (head_) ++head_->weak;
  }
  LocalWeak(LocalWeak&& o) noexcept : head_(std::exchange(o.head_, nullptr)) {}
  LocalWeak& operator=(const LocalWeak& o) noexcept {
    LocalWeak(o).swap(*this);
    return *this;
  }
  LocalWeak& operator=(LocalWeak&& o) noexcept {
    LocalWeak(std::move(o)).swap(*this);
    return *this;
  }
  ~LocalWeak() {
    if (head_) LocalShareHead::drop_weak(head_);
  }

  void reset() noexcept {
    if (head_) LocalShareHead::drop_weak(std::exchange(head_, nullptr));
  }
  void swap(LocalWeak& o) noexcept { std::swap(head_, o.head_); }
  bool expired() const noexcept { return !head_ || head_->strong == 0; }
  // A strong reference, or an empty one once the object has ended.
  LocalShared<T, Blocks> lock() const noexcept {
    if (expired()) return LocalShared<T, Blocks>();
    ++head_->strong;
    return LocalShared<T, Blocks>(head_);
  }

 private:
  LocalShareHead* head_ = nullptr;
};

}  // namespace korvalinth
