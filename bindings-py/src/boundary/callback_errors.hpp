#pragma once
// What becomes of an exception raised by a Python callback that the runtime
// called (a node function, an effect, a sink, a hook). The settlers of the
// callback adapters share this rule:
//   - an Exception (or subclass) becomes the payload of an ERROR message on
//     the node, a PyCallbackError whose message is python_exception_message;
//   - any other BaseException (KeyboardInterrupt, SystemExit, PanicException,
//     direct BaseException subclasses) is stored as the graph's pending fatal
//     and the running operation aborts through the host boundary; the guard
//     of the Python call that started it raises the stored exception.

#include <string>

#include "base/value.hpp"
#include "boundary/pending_fatal.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

class PyCallbackError final : public ErrorValue {
 public:
  explicit PyCallbackError(std::string message) : message_(std::move(message)) {}
  std::string display() const override { return message_; }
  std::string debug() const override;
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// "{type name}: {str(exception)}"; an exception whose str() raises gives
// "<unprintable {type name} object>" as its text (the failure is reported as
// unraisable). Takes the GIL unless the thread's binding frames hold it.
std::string python_exception_message(kit::BorrowedRef exception);

// True for an instance of Exception or of a subclass.
bool is_exception(kit::BorrowedRef exception) noexcept;

// The ERROR payload for an Exception. Any other BaseException is recorded in
// `slot` and the operation aborts (host_boundary_abort; a fault when no host
// boundary is active), so this returns only for an Exception.
SharedError settle_callback_exception(const PendingFatalSlot& slot, kit::OwnedRef exception);

// The rule for subscribers and observers: an Exception is printed to
// standard error with its traceback and dropped (the message counts as
// delivered); any other BaseException is recorded and the operation aborts.
void settle_sink_exception(const PendingFatalSlot& slot, kit::OwnedRef exception);

// Once the interpreter is finalizing and the GIL cannot be had, the
// exception is let go unexamined: a callback's becomes an ERROR with the
// text kit::kInterpreterFinalizing, a sink's is dropped.

}  // namespace korvalinth::py
