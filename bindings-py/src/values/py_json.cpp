#include "values/py_json.hpp"

#include <cmath>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/fault.hpp"
#include "base/small_vec.hpp"
#include "kit/convert.hpp"
#include "kit/entry.hpp"
#include "kit/errors.hpp"

namespace korvalinth::py {

namespace {

constexpr const char* kTooDeep = "checkpoint value exceeds strict JSON nesting depth";
constexpr const char* kIntegerRange = "checkpoint integer is outside strict JSON range";
constexpr const char* kNotFinite = "checkpoint value must be finite strict JSON";
constexpr const char* kCyclicArray = "checkpoint value contains a cyclic JSON array";
constexpr const char* kCyclicObject = "checkpoint value contains a cyclic JSON object";
constexpr const char* kKeyNotString = "checkpoint object keys must be strings";
constexpr const char* kDuplicateKey = "checkpoint object has duplicate key";
constexpr const char* kNotCompatible = "checkpoint value is not strict JSON compatible";

// The lists and dicts the walk is inside right now: the path from the root,
// at most the depth limit long, so a search of it costs a bounded time and
// no allocation for the usual few levels.
using OpenContainers = SmallVec<PyObject*, 16>;

[[noreturn]] void refuse(const char* text) { kit::throw_error(PyExc_ValueError, text); }

// Marks a container open for the length of its conversion.
class OpenContainer {
 public:
  OpenContainer(OpenContainers& open, PyObject* container, const char* cyclic) : open_(open) {
    for (PyObject* o : open_)
      if (o == container) refuse(cyclic);
    open_.push_back(container);
  }
  ~OpenContainer() { open_.pop_back(); }
  OpenContainer(const OpenContainer&) = delete;
  OpenContainer& operator=(const OpenContainer&) = delete;

 private:
  OpenContainers& open_;
};

// What a walk makes of the values it accepts: the JSON value, or nothing
// when it only checks them.
struct BuildJson {
  using Out = Json;
  static Json null() { return Json(nullptr); }
  static Json boolean(bool b) { return Json(b); }
  static Json integer(std::int64_t n) { return Json(n); }
  static Json unsigned_integer(std::uint64_t n) { return Json(n); }
  static Json real(double x) { return Json(x); }
  static Json string(std::string_view text) { return Json(std::string(text)); }
  static Json array(Py_ssize_t length) {
    Json out = Json::array();
    out.get_ref<Json::array_t&>().reserve(static_cast<std::size_t>(length));
    return out;
  }
  static void push(Json& array, Json item) { array.get_ref<Json::array_t&>().push_back(std::move(item)); }
  static Json object() { return Json::object(); }
  // False for a key the object has already.
  static bool emplace(Json& object, std::string_view key, Json value) {
    return object.get_ref<Json::object_t&>().emplace(std::string(key), std::move(value)).second;
  }
};

struct CheckOnly {
  struct Out {};
  static Out null() { return {}; }
  static Out boolean(bool) { return {}; }
  static Out integer(std::int64_t) { return {}; }
  static Out unsigned_integer(std::uint64_t) { return {}; }
  static Out real(double) { return {}; }
  static Out string(std::string_view) { return {}; }
  static Out array(Py_ssize_t) { return {}; }
  static void push(Out&, Out) {}
  static Out object() { return {}; }
  // The keys of one dict are distinct strs, and distinct strs that encode
  // have distinct UTF-8 texts.
  static bool emplace(Out&, std::string_view, Out) { return true; }
};

template <class B>
typename B::Out int_to_json(PyObject* object) {
  long long value = PyLong_AsLongLong(object);
  if (value != -1 || !PyErr_Occurred()) {
    if (value < 0) return B::integer(static_cast<std::int64_t>(value));
    return B::unsigned_integer(static_cast<std::uint64_t>(value));
  }
  PyErr_Clear();
  unsigned long long wide = PyLong_AsUnsignedLongLong(object);
  if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    refuse(kIntegerRange);
  }
  return B::unsigned_integer(static_cast<std::uint64_t>(wide));
}

template <class B>
typename B::Out float_to_json(PyObject* object) {
  double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw kit::PyErrAlreadySet();
  if (!std::isfinite(value)) refuse(kNotFinite);
  return B::real(value);
}

template <class B>
typename B::Out to_json(PyObject* object, OpenContainers& open, std::uint32_t depth);

template <class B>
typename B::Out list_to_json(PyObject* list, OpenContainers& open, std::uint32_t depth) {
  OpenContainer mark(open, list, kCyclicArray);
  Py_ssize_t length = PyList_Size(list);
  typename B::Out out = B::array(length);
  for (Py_ssize_t i = 0; i < length && i < PyList_Size(list); ++i) {
    kit::OwnedRef item = kit::OwnedRef::new_ref(PyList_GetItem(list, i));
    if (!item) throw kit::PyErrAlreadySet();
    B::push(out, to_json<B>(item.get(), open, depth + 1));
  }
  return out;
}

template <class B>
typename B::Out dict_to_json(PyObject* dict, OpenContainers& open, std::uint32_t depth) {
  OpenContainer mark(open, dict, kCyclicObject);
  typename B::Out out = B::object();
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) refuse(kKeyNotString);
    // Held while the value is converted.
    kit::OwnedRef held_key = kit::OwnedRef::new_ref(key);
    kit::OwnedRef held_value = kit::OwnedRef::new_ref(value);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) {
      PyErr_Clear();
      refuse(kKeyNotString);
    }
    typename B::Out converted = to_json<B>(held_value.get(), open, depth + 1);
    if (!B::emplace(out, std::string_view(text, static_cast<std::size_t>(size)), std::move(converted))) {
      refuse(kDuplicateKey);
    }
  }
  return out;
}

template <class B>
typename B::Out to_json(PyObject* object, OpenContainers& open, std::uint32_t depth) {
  if (depth > kStrictJsonMaxDepth) refuse(kTooDeep);
  if (object == Py_None) return B::null();
  if (PyBool_Check(object)) return B::boolean(object == Py_True);
  if (PyLong_CheckExact(object)) return int_to_json<B>(object);
  if (PyFloat_CheckExact(object)) return float_to_json<B>(object);
  if (PyUnicode_CheckExact(object)) return B::string(kit::str_view(kit::BorrowedRef(object)));
  if (PyList_CheckExact(object)) return list_to_json<B>(object, open, depth);
  if (PyDict_CheckExact(object)) return dict_to_json<B>(object, open, depth);
  refuse(kNotCompatible);
}

kit::OwnedRef scalar_to_py(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return kit::py_none();
    case Json::value_t::boolean:
      return kit::OwnedRef::new_ref(value.get<bool>() ? Py_True : Py_False);
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      if (json_is_negative_integer(value)) {
        return kit::check(PyLong_FromLongLong(value.get_ref<const Json::number_integer_t&>()));
      } else {
        std::uint64_t n = json_nonneg_integer(value);
        if (n < (std::uint64_t{1} << 63)) return kit::check(PyLong_FromLongLong(static_cast<long long>(n)));
        return kit::check(PyLong_FromUnsignedLongLong(n));
      }
    case Json::value_t::number_float:
      return kit::check(PyFloat_FromDouble(value.get<double>()));
    case Json::value_t::string:
      return kit::decode_utf8(value.get_ref<const std::string&>());
    default:
      // Binary and discarded values never reach a runtime value.
      fault("json value of an unsupported kind reached the Python boundary");
  }
}

// One open array or object of the walk back to Python.
struct Frame {
  const Json* json;
  Json::const_iterator next;
  kit::OwnedRef container;
};

Frame open_frame(const Json& json) {
  return Frame{&json, json.cbegin(), kit::check(json.is_array() ? PyList_New(0) : PyDict_New())};
}

// Stores a converted child into its container and moves on to the next one:
// the value is made first, then the key.
void attach(Frame& frame, kit::OwnedRef child, JsonToPy& keys) {
  if (frame.json->is_array()) {
    kit::check_status(PyList_Append(frame.container.get(), child.get()));
  } else {
    kit::BorrowedRef key = keys.key(frame.next.key());
    kit::check_status(PyDict_SetItem(frame.container.get(), key.get(), child.get()));
  }
  ++frame.next;
}

}  // namespace

Json py_to_strict_json(kit::BorrowedRef object) {
  OpenContainers open;
  return to_json<BuildJson>(object.get(), open, 0);
}

void check_strict_json(kit::BorrowedRef object) {
  OpenContainers open;
  to_json<CheckOnly>(object.get(), open, 0);
}

kit::BorrowedRef JsonToPy::key(std::string_view text) {
  auto it = keys_.find(text);
  if (it != keys_.end()) return it->second.borrow();
  kit::OwnedRef str = kit::decode_utf8(text);
  if (keys_.size() >= kMaxKeys) {
    overflow_ = std::move(str);
    return overflow_.borrow();
  }
  return keys_.emplace(text, std::move(str)).first->second.borrow();
}

// Walks with its own stack: restored checkpoints nest mounts without bound.
kit::OwnedRef JsonToPy::convert(const Json& value) {
  if (!value.is_structured()) return scalar_to_py(value);
  SmallVec<Frame, 8> stack;
  stack.push_back(open_frame(value));
  for (;;) {
    Frame& top = stack.back();
    if (top.next == top.json->cend()) {
      kit::OwnedRef finished = std::move(top.container);
      stack.pop_back();
      if (stack.empty()) return finished;
      attach(stack.back(), std::move(finished), *this);
      continue;
    }
    const Json& child = *top.next;
    if (child.is_structured()) {
      stack.push_back(open_frame(child));
      continue;
    }
    attach(top, scalar_to_py(child), *this);
  }
}

kit::OwnedRef json_value_to_py(const Json& value) {
  if (!value.is_structured()) return scalar_to_py(value);
  return JsonToPy().convert(value);
}

}  // namespace korvalinth::py
