#pragma once
// Runtime values: shared, reference-counted, type-erased, with a process-wide
// type identity by which consumers downcast them. DATA payloads, cached
// values, ctx state and PULL params are all values.
//
// Threads: a value's reference count is a plain integer kept in the value,
// so copies and drops cost no atomic operation. The rule that makes this
// safe: no two threads ever copy or drop shares of the same value at the
// same time. A graph is used by one thread only, and the values it holds
// are made and dropped on that thread; a value may move to another thread
// only whole (every share handed over, or the handover itself synchronised,
// as the GIL does for the shares Python objects hold). Hence no value is
// process-wide: there are no shared constant values, and none may be added
// without a count that is never touched.

#include <cstddef>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>

#include "base/host_refs.hpp"
#include "base/relocatable.hpp"
#include "base/value_blocks.hpp"

namespace korvalinth {

// Identity of a value type: compared by address.
struct TypeTag {
  const std::type_info* type;
};

// A constant, not a function-local static: reading it needs no guard check,
// and every downcast reads one.
template <class T>
inline constexpr TypeTag type_tag_storage{&typeid(T)};

template <class T>
constexpr const TypeTag* type_tag_of() noexcept {
  return &type_tag_storage<T>;
}

class Value;
class SharedValue;

template <class V, class... A>
SharedValue make_derived_value(A&&... a);

// Watchers of one value: tells them when the value has gone. Made only when
// a value is first watched, so unwatched values carry a null pointer only.
struct ValueWatch {
  const Value* value;  // null once the value has gone
  std::size_t watchers;
};

class Value {
 public:
  Value() noexcept = default;
  // A value's identity is its address: copies are separate values.
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;
  virtual ~Value() = default;
  virtual const TypeTag* type_tag() const noexcept = 0;
  // The host references the value owns, for the host's cycle collector.
  virtual int visit_host_refs(HostRefVisit) const { return 0; }
  // The shares held of the value, for the same collector's census.
  std::size_t share_count() const noexcept { return shares_; }

  // Each value is a heap block of its own (its address is its identity);
  // small blocks come from the thread's stock of freed ones. Only sized
  // forms: the delete of the value's own type then passes its size.
  static void* operator new(std::size_t size) { return take_value_block(size); }
  static void operator delete(void* block, std::size_t size) noexcept { give_value_block(block, size); }
  static void* operator new(std::size_t size, std::align_val_t align) { return ::operator new(size, align); }
  static void operator delete(void* block, std::size_t size, std::align_val_t align) noexcept {
    ::operator delete(block, size, align);
  }

 private:
  friend class SharedValue;
  friend class WeakValue;
  mutable std::size_t shares_ = 1;  // the maker's share
  mutable ValueWatch* watch_ = nullptr;
};

// A share of a value (or none). Copy and drop as a shared pointer would,
// without atomics (see the thread rule above). The last share destroys the
// value, after the holder already points at its new value (as with reset).
class SharedValue {
 public:
  constexpr SharedValue() noexcept = default;
  constexpr SharedValue(std::nullptr_t) noexcept {}  // NOLINT: as a pointer
  SharedValue(const SharedValue& other) noexcept : value_(other.value_) {
    if (value_ != nullptr) ++value_->shares_;
  }
  SharedValue(SharedValue&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
  SharedValue& operator=(const SharedValue& other) noexcept {
    SharedValue(other).swap(*this);
    return *this;
  }
  SharedValue& operator=(SharedValue&& other) noexcept {
    SharedValue(std::move(other)).swap(*this);
    return *this;
  }
  SharedValue& operator=(std::nullptr_t) noexcept {
    reset();
    return *this;
  }
  ~SharedValue() { drop(value_); }

  void reset() noexcept { drop(std::exchange(value_, nullptr)); }
  // Drops this share when another holder keeps the value, so that nothing
  // is destroyed here; false, the share kept, when it is the last.
  bool drop_unless_last() noexcept {
    if (value_ != nullptr) {
      if (value_->shares_ == 1) return false;
      --value_->shares_;
      value_ = nullptr;
    }
    return true;
  }
  void swap(SharedValue& other) noexcept { std::swap(value_, other.value_); }
  // Whether dropping this share destroys the value (and so may run code).
  bool is_last_share() const noexcept { return value_ != nullptr && value_->shares_ == 1; }

  // The share as a plain pointer, and back: a caller that hands its share on
  // this way keeps nothing to drop after the call, which may then replace it.
  const Value* release() noexcept { return std::exchange(value_, nullptr); }
  static SharedValue adopt(const Value* released) noexcept { return SharedValue(released); }
  // Two new shares at once, as a plain pointer each is adopted from: one
  // count change where two copies would make two in a row.
  const Value* share_twice() const noexcept {
    if (value_ != nullptr) value_->shares_ += 2;
    return value_;
  }

  const Value* get() const noexcept { return value_; }
  const Value* operator->() const noexcept { return value_; }
  const Value& operator*() const noexcept { return *value_; }
  explicit operator bool() const noexcept { return value_ != nullptr; }

  friend bool operator==(const SharedValue& a, const SharedValue& b) noexcept { return a.value_ == b.value_; }
  friend bool operator==(const SharedValue& a, std::nullptr_t) noexcept { return a.value_ == nullptr; }

 private:
  template <class V, class... A>
  friend SharedValue make_derived_value(A&&... a);
  // Takes over the maker's share of a value just made.
  explicit SharedValue(const Value* made) noexcept : value_(made) {}

  // The test apart, so small that it is inlined even where the drop is
  // not: a released share's drop is then seen to be none.
  static void drop(const Value* value) noexcept {
    if (value != nullptr) drop_share(value);
  }
  static void drop_share(const Value* value) noexcept {
    if (--value->shares_ != 0) return;
    if (value->watch_ != nullptr) value->watch_->value = nullptr;
    delete value;
  }

  const Value* value_ = nullptr;
};

// One pointer: a value's shares count its holders, not their addresses.
template <>
inline constexpr bool relocatable_as_bytes<SharedValue> = made_of_relocatable_parts<SharedValue, const Value*>;

// Watches a value without keeping it alive: tells only whether it has gone.
class WeakValue {
 public:
  WeakValue() noexcept = default;
  WeakValue(const SharedValue& value) : watch_(watch_of(value.get())) {}  // NOLINT: as a weak pointer
  WeakValue(const WeakValue& other) noexcept : watch_(other.watch_) {
    if (watch_ != nullptr) ++watch_->watchers;
  }
  WeakValue(WeakValue&& other) noexcept : watch_(std::exchange(other.watch_, nullptr)) {}
  WeakValue& operator=(WeakValue other) noexcept {
    std::swap(watch_, other.watch_);
    return *this;
  }
  ~WeakValue() { unwatch(watch_); }

  bool expired() const noexcept { return watch_ == nullptr || watch_->value == nullptr; }

 private:
  static ValueWatch* watch_of(const Value* value) {
    if (value == nullptr) return nullptr;
    if (value->watch_ == nullptr) {
      value->watch_ = new ValueWatch{value, 1};
    } else {
      ++value->watch_->watchers;
    }
    return value->watch_;
  }
  static void unwatch(ValueWatch* watch) noexcept {
    if (watch == nullptr || --watch->watchers != 0) return;
    if (watch->value != nullptr) watch->value->watch_ = nullptr;
    delete watch;
  }

  ValueWatch* watch_ = nullptr;
};

// A new value of a type derived from Value: the only way a value is made.
template <class V, class... A>
SharedValue make_derived_value(A&&... a) {
  return SharedValue(static_cast<const Value*>(new V(std::forward<A>(a)...)));
}

// A value holding a plain C++ object of type T.
template <class T>
class BoxedValue final : public Value {
 public:
  template <class... A>
  explicit BoxedValue(std::in_place_t, A&&... a) : value_(std::forward<A>(a)...) {}
  const TypeTag* type_tag() const noexcept override { return type_tag_of<T>(); }
  const T& get() const noexcept { return value_; }

 private:
  T value_;
};

template <class T, class... A>
SharedValue make_value(A&&... a) {
  return make_derived_value<BoxedValue<T>>(std::in_place, std::forward<A>(a)...);
}

// Downcast: for a type derived from Value (its own type_tag returning
// type_tag_of<T>()), the object itself; for other T, the content of a BoxedValue<T>.
template <class T>
const T* value_cast(const Value& v) noexcept {
  if (v.type_tag() != type_tag_of<T>()) return nullptr;
  if constexpr (std::is_base_of_v<Value, T>) {
    return static_cast<const T*>(&v);
  } else {
    return &static_cast<const BoxedValue<T>&>(v).get();
  }
}

template <class T>
const T* value_cast(const SharedValue& v) noexcept {
  return v ? value_cast<T>(*v) : nullptr;
}

// A share of a value, seen as its content of type T (which the value holds).
template <class T>
class SharedContent {
 public:
  SharedContent() noexcept = default;
  SharedContent(std::nullptr_t) noexcept {}  // NOLINT: as a pointer
  SharedContent(SharedValue value, const T* content) noexcept : value_(std::move(value)), content_(content) {}

  const T* get() const noexcept { return content_; }
  const SharedValue& value() const noexcept { return value_; }
  const T* operator->() const noexcept { return content_; }
  const T& operator*() const noexcept { return *content_; }
  explicit operator bool() const noexcept { return content_ != nullptr; }

  friend bool operator==(const SharedContent& a, const SharedContent& b) noexcept { return a.content_ == b.content_; }
  friend bool operator==(const SharedContent& a, std::nullptr_t) noexcept { return a.content_ == nullptr; }

 private:
  SharedValue value_;
  const T* content_ = nullptr;
};

// The error payload of ERROR: a display text and a debug text.
class ErrorValue {
 public:
  virtual ~ErrorValue() = default;
  virtual std::string display() const = 0;
  virtual std::string debug() const = 0;
};

using SharedError = std::shared_ptr<const ErrorValue>;

// The plain-text error value: displays as exactly its text.
class TextError final : public ErrorValue {
 public:
  explicit TextError(std::string text) : text_(std::move(text)) {}
  std::string display() const override { return text_; }
  std::string debug() const override;
  const std::string& text() const noexcept { return text_; }

 private:
  std::string text_;
};

inline SharedError make_text_error(std::string text) {
  return std::make_shared<const TextError>(std::move(text));
}

// Rust-style debug quoting of a text: "..." with \" \\ \n \r \t and \u{..} escapes.
std::string debug_quote(std::string_view text);

}  // namespace korvalinth
