#pragma once
// Matched arguments of one call, and their conversion. A conversion that
// fails keeps its exception and gains the note "while processing '{}'".

#include <array>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "kit/errors.hpp"
#include "kit/refs.hpp"
#include "kit/signature.hpp"

namespace korvalinth::kit {

class Args {
 public:
  // The object given for parameter `i`, or its default (None, True, False).
  BorrowedRef operator[](std::size_t i) const noexcept { return BorrowedRef(values_[i]); }
  bool given(std::size_t i) const noexcept { return given_[i]; }

  // Converts parameter `i` with `convert(BorrowedRef)`.
  template <class F>
  decltype(auto) convert(std::size_t i, F&& convert) const {
    try {
      return std::forward<F>(convert)((*this)[i]);
    } catch (PyErrAlreadySet& e) {
      add_note(e.exception(), std::string("while processing '") + params_[i].name + "'");
      throw;
    }
  }
  // Converts parameter `i` unless it is None (then nothing).
  template <class F>
  auto convert_unless_none(std::size_t i, F&& convert) const
      -> std::optional<std::decay_t<decltype(convert(BorrowedRef()))>> {
    if ((*this)[i].get() == Py_None) return std::nullopt;
    return this->convert(i, std::forward<F>(convert));
  }
  // A new reference to parameter `i`'s object; none when it is None.
  OwnedRef unless_none(std::size_t i) const noexcept {
    return (*this)[i].get() == Py_None ? OwnedRef() : (*this)[i].new_ref();
  }

  // Matches a vectorcall (METH_FASTCALL | METH_KEYWORDS) call; a mismatch
  // throws the TypeError.
  static Args from_fastcall(const FunctionName& function, const Params& params, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames);
  // Matches a tuple-and-dict call (tp_new).
  static Args from_tuple_dict(const FunctionName& function, const Params& params, PyObject* args, PyObject* kwargs);

 private:
  Args(const Params& params) : params_(params.items) {}
  void fill(const Params& params, const Matched& matched, PyObject* const* positional, PyObject* const* keyword);

  std::array<PyObject*, kMaxParams> values_{};
  std::array<bool, kMaxParams> given_{};
  const std::array<Param, kMaxParams>& params_;
};

}  // namespace korvalinth::kit
