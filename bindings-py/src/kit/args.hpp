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
  // A new reference to parameter `i`'s object (never null: a default is an
  // object too).
  OwnedRef new_ref(std::size_t i) const noexcept {
    Py_INCREF(values_[i]);
    return OwnedRef::steal(values_[i]);
  }
  // A new reference to parameter `i`'s object; none when it is None.
  OwnedRef unless_none(std::size_t i) const noexcept {
    return (*this)[i].get() == Py_None ? OwnedRef() : (*this)[i].new_ref();
  }

  // Matches a vectorcall (METH_FASTCALL | METH_KEYWORDS) call; a mismatch
  // throws the TypeError. Positional arguments alone that the table accepts
  // as they are fill the first parameters here, the rest their defaults;
  // everything else, refusals included, goes through the general matching.
  static Args from_fastcall(const FunctionName& function, const Params& params, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
    const std::size_t given = static_cast<std::size_t>(nargs);
    if (kwnames != nullptr || given < params.required_positional || given > params.positional ||
        params.required_keyword_only) [[unlikely]] {
      return match_fastcall(function, params, args, nargs, kwnames);
    }
    return Args(params, args, given);
  }
  // Matches a tuple-and-dict call (tp_new).
  static Args from_tuple_dict(const FunctionName& function, const Params& params, PyObject* args, PyObject* kwargs);

 private:
  Args(const Params& params) : params_(params.items) {}
  // The first `given` parameters take the arguments, the rest their defaults;
  // built in place, as the caller's result.
  Args(const Params& params, PyObject* const* args, std::size_t given) : params_(params.items) {
    for (std::size_t i = 0; i < params.count; ++i) {
      const bool from_call = i < given;
      values_[i] = from_call ? args[i] : default_object(params.items[i].fallback);
      given_[i] = from_call;
    }
  }
  static Args match_fastcall(const FunctionName& function, const Params& params, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames);
  void fill(const Params& params, const Matched& matched, PyObject* const* positional, PyObject* const* keyword);
  static PyObject* default_object(Default d) noexcept {
    switch (d) {
      case Default::True:
        return Py_True;
      case Default::False:
        return Py_False;
      default:
        return Py_None;
    }
  }

  // Only the first params_.count entries are set and read: a call does not
  // pay for clearing the rest.
  std::array<PyObject*, kMaxParams> values_;
  std::array<bool, kMaxParams> given_;
  const std::array<Param, kMaxParams>& params_;
};

}  // namespace korvalinth::kit
