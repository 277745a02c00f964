#include "kit/args.hpp"

#include <vector>

#include "kit/convert.hpp"

namespace korvalinth::kit {

namespace {

// Keyword names as text; a name that is not valid UTF-8 can match no
// parameter and is reported through its lossy text.
std::vector<std::string> keyword_names(PyObject* const* names, std::size_t count) {
  std::vector<std::string> out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) out.push_back(str_lossy(BorrowedRef(names[i])));
  return out;
}

Matched match_or_throw(const FunctionName& function, const Params& params, std::size_t positional,
                       const std::vector<std::string>& keywords) {
  std::vector<std::string_view> views(keywords.begin(), keywords.end());
  Matched matched;
  if (auto error = match_arguments(function, params.view(), positional, views, matched)) {
    throw_error(PyExc_TypeError, *error);
  }
  return matched;
}

}  // namespace

void Args::fill(const Params& params, const Matched& matched, PyObject* const* positional, PyObject* const* keyword) {
  for (std::size_t i = 0; i < params.count; ++i) {
    switch (matched[i].kind) {
      case ArgSource::Positional:
        values_[i] = positional[matched[i].index];
        given_[i] = true;
        break;
      case ArgSource::Keyword:
        values_[i] = keyword[matched[i].index];
        given_[i] = true;
        break;
      case ArgSource::Missing:
        values_[i] = default_object(params.items[i].fallback);
        given_[i] = false;
        break;
    }
  }
}

Args Args::match_fastcall(const FunctionName& function, const Params& params, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  std::size_t nkw = kwnames ? static_cast<std::size_t>(PyTuple_Size(kwnames)) : 0;
  std::vector<PyObject*> names(nkw);
  for (std::size_t i = 0; i < nkw; ++i) names[i] = PyTuple_GetItem(kwnames, static_cast<Py_ssize_t>(i));
  Matched matched = match_or_throw(function, params, static_cast<std::size_t>(nargs), keyword_names(names.data(), nkw));
  Args out(params);
  // Keyword values follow the positional ones in the vector.
  out.fill(params, matched, args, args + nargs);
  return out;
}

Args Args::from_tuple_dict(const FunctionName& function, const Params& params, PyObject* args, PyObject* kwargs) {
  std::size_t nargs = static_cast<std::size_t>(PyTuple_Size(args));
  std::vector<PyObject*> positional(nargs);
  for (std::size_t i = 0; i < nargs; ++i) positional[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  std::vector<PyObject*> names;
  std::vector<PyObject*> values;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      names.push_back(key);
      values.push_back(value);
    }
  }
  Matched matched = match_or_throw(function, params, nargs, keyword_names(names.data(), names.size()));
  Args out(params);
  out.fill(params, matched, positional.data(), values.data());
  return out;
}

}  // namespace korvalinth::kit
