#include "checkpoints/checkpoint_from_py.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "base/small_vec.hpp"
#include "checkpoint/checkpoint_reader.hpp"
#include "kit/errors.hpp"
#include "values/py_json.hpp"

namespace korvalinth::py {

namespace {

// The strict check bounds the depth far below the reader's own limit, so
// the reader's recursion is safe without its depth walk.
static_assert(kStrictJsonMaxDepth < kCheckpointReadMaxDepth);

std::string_view utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(str, &size);
  if (text == nullptr) throw kit::PyErrAlreadySet();
  return {text, static_cast<std::size_t>(size)};
}

// The reader's view of an object that passed the strict check: only None,
// bool, int, float, str, list and dict (exact types, str keys) are met, and
// no Python code runs while the records are read, so the objects stay as
// they were checked.
class PyView {
 public:
  explicit PyView(PyObject* object) noexcept : object_(object) {}
  bool is_object() const noexcept { return PyDict_CheckExact(object_); }
  bool is_array() const noexcept { return PyList_CheckExact(object_); }
  bool is_string() const noexcept { return PyUnicode_CheckExact(object_); }
  bool is_boolean() const noexcept { return PyBool_Check(object_); }
  bool is_null() const noexcept { return object_ == Py_None; }
  std::string_view string() const { return utf8_of(object_); }
  bool boolean() const noexcept { return object_ == Py_True; }
  std::size_t size() const { return static_cast<std::size_t>(PyList_Size(object_)); }
  PyView at(std::size_t i) const { return PyView(PyList_GetItem(object_, static_cast<Py_ssize_t>(i))); }

  std::optional<PyView> find(std::string_view key) const {
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(object_, &pos, &k, &v))
      if (utf8_of(k) == key) return PyView(v);
    return std::nullopt;
  }

  // In the byte order of the keys' UTF-8, as the JSON tree keeps them.
  template <class F>
  checkpoint_reader::Status each_entry(F&& f) const {
    SmallVec<std::pair<std::string_view, PyObject*>, 16> entries;
    entries.reserve(static_cast<std::size_t>(PyDict_Size(object_)));
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(object_, &pos, &k, &v)) entries.push_back({utf8_of(k), v});
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [key, value] : entries)
      if (checkpoint_reader::Status e = f(key, PyView(value))) return e;
    return std::nullopt;
  }

  Json json() const { return py_to_strict_json(kit::BorrowedRef(object_)); }

  std::string unexpected() const {
    // Containers are told by their kind alone; no need to convert them.
    if (is_object()) return "map";
    if (is_array()) return "sequence";
    return describe_unexpected(json());
  }

 private:
  PyObject* object_;  // borrowed: the checkpoint object holds it
};

}  // namespace

std::expected<GraphCheckpoint, std::string> checkpoint_from_py(kit::BorrowedRef object) {
  check_strict_json(object);
  return checkpoint_reader::read_document(PyView(object.get()));
}

}  // namespace korvalinth::py
