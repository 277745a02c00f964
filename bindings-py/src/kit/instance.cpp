#include "kit/instance.hpp"

#include <string>

#include "base/fault.hpp"

namespace korvalinth::kit {

void check_owner_thread(std::thread::id owner, std::string_view internal_name) {
  if (owner != std::this_thread::get_id()) {
    fault(std::string(internal_name) + " is unsendable, but sent to another thread");
  }
}

SharedBorrow::SharedBorrow(std::intptr_t& flag) : flag_(flag) {
  if (flag_ < 0) throw_error(PyExc_RuntimeError, "Already mutably borrowed");
  ++flag_;
}

void report_foreign_drop(std::string_view internal_name) noexcept {
  std::string text = std::string(internal_name) + " is unsendable, but is being dropped on another thread";
  PyErr_SetString(PyExc_RuntimeError, text.c_str());
  PyErr_WriteUnraisable(nullptr);
}

}  // namespace korvalinth::kit
