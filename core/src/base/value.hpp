#pragma once
// Runtime values: shared, reference-counted, type-erased, with a process-wide
// type identity by which consumers downcast them. DATA payloads, cached
// values, ctx state and PULL params are all values.

#include <memory>
#include <string>
#include <typeinfo>
#include <utility>

namespace korvalinth {

// Identity of a value type: compared by address.
struct TypeTag {
  const char* name;
};

template <class T>
const TypeTag* type_tag_of() noexcept {
  static const TypeTag tag{typeid(T).name()};
  return &tag;
}

class Value {
 public:
  virtual ~Value() = default;
  virtual const TypeTag* type_tag() const noexcept = 0;
};

using SharedValue = std::shared_ptr<const Value>;

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
  return std::make_shared<const BoxedValue<T>>(std::in_place, std::forward<A>(a)...);
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
