#pragma once
// Rarely filled per-node state kept on the heap, so that a node pays one
// pointer for it while it is empty: an optional with std::optional's
// interface as the runtime uses it, and the set of a node's pause locks.

#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>

#include "base/relocatable.hpp"

namespace korvalinth {

template <class T>
class HeapOptional {
 public:
  HeapOptional() noexcept = default;
  HeapOptional(std::nullopt_t) noexcept {}  // NOLINT: as std::optional
  HeapOptional(T value) : value_(std::make_unique<T>(std::move(value))) {}  // NOLINT
  HeapOptional(std::optional<T> value)  // NOLINT
      : value_(value ? std::make_unique<T>(std::move(*value)) : nullptr) {}
  HeapOptional(const HeapOptional& o) : value_(o.value_ ? std::make_unique<T>(*o.value_) : nullptr) {}
  HeapOptional(HeapOptional&&) noexcept = default;
  HeapOptional& operator=(const HeapOptional& o) {
    if (this != &o) value_ = o.value_ ? std::make_unique<T>(*o.value_) : nullptr;
    return *this;
  }
  HeapOptional& operator=(HeapOptional&&) noexcept = default;
  HeapOptional& operator=(std::nullopt_t) noexcept {
    value_.reset();
    return *this;
  }

  bool has_value() const noexcept { return value_ != nullptr; }
  explicit operator bool() const noexcept { return value_ != nullptr; }
  T& operator*() noexcept { return *value_; }
  const T& operator*() const noexcept { return *value_; }
  T* operator->() noexcept { return value_.get(); }
  const T* operator->() const noexcept { return value_.get(); }
  void reset() noexcept { value_.reset(); }
  friend bool operator==(const HeapOptional& a, const std::optional<T>& b) {
    return a.has_value() ? (b.has_value() && *a == *b) : !b.has_value();
  }

  // As a std::optional: a copy, or the value moved out of an expiring one.
  operator std::optional<T>() const& { return value_ ? std::optional<T>(*value_) : std::nullopt; }  // NOLINT
  operator std::optional<T>() && {  // NOLINT
    if (!value_) return std::nullopt;
    std::optional<T> out(std::move(*value_));
    value_.reset();
    return out;
  }

 private:
  std::unique_ptr<T> value_;
};

template <class T>
inline constexpr bool relocatable_as_bytes<HeapOptional<T>> = made_of_relocatable_parts<HeapOptional<T>, std::unique_ptr<T>>;

// A node's pause locks: a hash set, made on the first lock.
class PauseLocks {
 public:
  bool empty() const noexcept { return !set_ || set_->empty(); }
  bool contains(const std::string& lock) const { return set_ && set_->contains(lock); }
  void insert(const std::string& lock) {
    if (!set_) set_ = std::make_unique<std::unordered_set<std::string>>();
    set_->insert(lock);
  }
  void erase(const std::string& lock) {
    if (set_) set_->erase(lock);
  }
  void clear() noexcept {
    if (set_) set_->clear();
  }
  // A copy of the set, for a forecast that changes it on the side.
  PauseLocks copy() const {
    PauseLocks out;
    if (set_ && !set_->empty()) out.set_ = std::make_unique<std::unordered_set<std::string>>(*set_);
    return out;
  }

 private:
  std::unique_ptr<std::unordered_set<std::string>> set_;
};

}  // namespace korvalinth
