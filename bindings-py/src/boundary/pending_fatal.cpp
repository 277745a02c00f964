#include "boundary/pending_fatal.hpp"

#include "kit/errors.hpp"

namespace korvalinth::py {

kit::OwnedRef take_pending_fatal(const PendingFatalSlot& slot) {
  auto held = slot.exception.borrow_mut();
  return held->take();
}

void record_pending_fatal(const PendingFatalSlot& slot, kit::OwnedRef exception) {
  {
    auto held = slot.exception.borrow_mut();
    if (!*held) {
      *held = kit::AnywhereRef(std::move(exception));
      return;
    }
  }
  // Released outside the borrow: its finaliser may run Python code that
  // reaches this slot again.
  exception.reset();
}

void raise_stored_fatal(const PendingFatalSlot& slot) {
  kit::OwnedRef exception = take_pending_fatal(slot);
  if (exception) throw kit::PyErrAlreadySet(std::move(exception));
}

}  // namespace korvalinth::py
