#pragma once
// Faults: broken invariants and misuse the runtime cannot absorb. They unwind
// as C++ exceptions to the owner of the running wave or to the guard of the
// Python call. A fault may carry no text; catchers then use a fixed text.

#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace korvalinth {

class Fault : public std::exception {
 public:
  explicit Fault(std::string text) : text_(std::move(text)) {}
  // A fault whose payload is not a text.
  static Fault untexted() { return Fault(); }

  bool has_text() const noexcept { return text_.has_value(); }
  const std::string& text() const noexcept {
    static const std::string empty;
    return text_ ? *text_ : empty;
  }
  const char* what() const noexcept override { return text_ ? text_->c_str() : "fault without text"; }

 private:
  Fault() = default;
  std::optional<std::string> text_;
};

[[noreturn]] inline void fault(std::string text) { throw Fault(std::move(text)); }
// The same for a constant text, kept out of line so that checks on hot paths
// stay small.
[[noreturn, gnu::cold]] void fault(const char* text);

// The text of a caught exception, or nullopt when its payload carries none.
// Must be called inside a catch handler. Does not recognise the host-boundary
// abort: callers test for it first.
std::optional<std::string> current_fault_text();

}  // namespace korvalinth
