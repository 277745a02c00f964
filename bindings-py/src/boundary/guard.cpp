#include "boundary/guard.hpp"

#include "base/fault.hpp"

namespace korvalinth::py {

void raise_caught_fault(const PendingFatalSlot& slot) {
  try {
    throw;
  } catch (const HostBoundaryAbort&) {
    if (kit::OwnedRef exception = take_pending_fatal(slot)) throw kit::PyErrAlreadySet(std::move(exception));
    kit::throw_error(PyExc_RuntimeError, kAbortWithoutPendingFatal);
  } catch (kit::PyErrAlreadySet&) {
    throw;
  } catch (...) {
    std::optional<std::string> text = current_fault_text();
    kit::throw_error(PyExc_RuntimeError, text ? *text : std::string(kGraphOperationPanicked));
  }
}

}  // namespace korvalinth::py
