#pragma once
// A node's count record and the references that share it. A graph, and
// with it every reference to its records, is used by one thread at a time
// (the host's lock hands a graph's objects from thread to thread), so the
// references' tallies are plain integers: a process that has started a
// thread pays no atomic operation per copy, as std::shared_ptr would make
// it pay.

#include <cstdint>
#include <utility>

namespace korvalinth {

// The number of counted handles of one node; 0 means externally dead.
struct ExternalCount {
  std::uint64_t count = 1;
};

namespace detail {
// A record with its tallies: strong references, and weak ones plus one for
// all the strong ones together (the block goes when that reaches 0).
struct CountRecordBlock {
  ExternalCount value;
  std::uint32_t strong = 1;
  std::uint32_t weak = 1;
};
// Gives the block of a record no reference holds any more back.
void free_count_record(CountRecordBlock* block) noexcept;
}  // namespace detail

class WeakCount;

// A shared reference to a count record, empty or holding one.
class SharedCount {
 public:
  SharedCount() noexcept = default;
  // A new record, its count 1.
  static SharedCount make();

  SharedCount(const SharedCount& o) noexcept : block_(o.block_) {
    if (block_) ++block_->strong;
  }
  SharedCount(SharedCount&& o) noexcept : block_(std::exchange(o.block_, nullptr)) {}
  SharedCount& operator=(const SharedCount& o) noexcept {
    SharedCount(o).swap(*this);
    return *this;
  }
  SharedCount& operator=(SharedCount&& o) noexcept {
    SharedCount(std::move(o)).swap(*this);
    return *this;
  }
  ~SharedCount() {
    if (block_) let_go(block_);
  }

  void reset() noexcept {
    if (block_) let_go(std::exchange(block_, nullptr));
  }
  void swap(SharedCount& o) noexcept { std::swap(block_, o.block_); }

  ExternalCount* get() const noexcept { return block_ ? &block_->value : nullptr; }
  ExternalCount& operator*() const noexcept { return block_->value; }
  ExternalCount* operator->() const noexcept { return &block_->value; }
  explicit operator bool() const noexcept { return block_ != nullptr; }
  // The shared references to the record, this one included; 0 when empty.
  long use_count() const noexcept { return block_ ? static_cast<long>(block_->strong) : 0; }

 private:
  friend class WeakCount;
  explicit SharedCount(detail::CountRecordBlock* adopted) noexcept : block_(adopted) {}
  static void let_go(detail::CountRecordBlock* b) noexcept {
    if (--b->strong == 0 && --b->weak == 0) detail::free_count_record(b);
  }

  detail::CountRecordBlock* block_ = nullptr;
};

// A weak reference to a count record: keeps its memory, not the record.
class WeakCount {
 public:
  WeakCount() noexcept = default;
  WeakCount(const SharedCount& s) noexcept : block_(s.block_) {
    if (block_) ++block_->weak;
  }
  WeakCount(const WeakCount& o) noexcept : block_(o.block_) {
    if (block_) ++block_->weak;
  }
  WeakCount(WeakCount&& o) noexcept : block_(std::exchange(o.block_, nullptr)) {}
  WeakCount& operator=(const WeakCount& o) noexcept {
    WeakCount(o).swap(*this);
    return *this;
  }
  WeakCount& operator=(WeakCount&& o) noexcept {
    WeakCount(std::move(o)).swap(*this);
    return *this;
  }
  ~WeakCount() {
    if (block_) let_go(block_);
  }

  void reset() noexcept {
    if (block_) let_go(std::exchange(block_, nullptr));
  }
  void swap(WeakCount& o) noexcept { std::swap(block_, o.block_); }
  bool expired() const noexcept { return !block_ || block_->strong == 0; }
  // A shared reference, or an empty one once no shared reference is left.
  SharedCount lock() const noexcept {
    if (expired()) return SharedCount();
    ++block_->strong;
    return SharedCount(block_);
  }

 private:
  static void let_go(detail::CountRecordBlock* b) noexcept {
    if (--b->weak == 0) detail::free_count_record(b);
  }

  detail::CountRecordBlock* block_ = nullptr;
};

}  // namespace korvalinth
