#include "kit/convert.hpp"

#include <algorithm>
#include <limits>

#include "base/fault.hpp"

namespace korvalinth::kit {

OwnedRef to_py_str(std::string_view text) {
  PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (str == nullptr) {
    PyErr_Clear();
    fault("Python API call failed");
  }
  return OwnedRef::steal(str);
}

OwnedRef decode_utf8(std::string_view text) {
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::string_view str_view(BorrowedRef str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str.get(), &size);
  if (data == nullptr) throw PyErrAlreadySet();
  return {data, static_cast<std::size_t>(size)};
}

std::string str_lossy(BorrowedRef str) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str.get(), &size)) return {data, static_cast<std::size_t>(size)};
  PyErr_Clear();
  // Surrogates pass through the encoder and the decoder replaces every
  // invalid sequence, as a lossy UTF-8 reading does.
  OwnedRef bytes = check(PyUnicode_AsEncodedString(str.get(), "utf-8", "surrogatepass"));
  char* raw = nullptr;
  Py_ssize_t raw_size = 0;
  check_status(PyBytes_AsStringAndSize(bytes.get(), &raw, &raw_size));
  OwnedRef repaired = check(PyUnicode_DecodeUTF8(raw, raw_size, "replace"));
  return std::string(str_view(repaired.borrow()));
}

void throw_downcast_error(BorrowedRef object, std::string_view expected) {
  std::string text;
  if (object.get() == Py_None) {
    text = "'None' is not an instance of '";
  } else {
    OwnedRef qualname = check(PyType_GetQualName(Py_TYPE(object.get())));
    text = "'" + str_lossy(qualname.borrow()) + "' object is not an instance of '";
  }
  text.append(expected);
  text += "'";
  throw_error(PyExc_TypeError, text);
}

std::optional<std::string> extract_optional_str(BorrowedRef object) {
  if (object.get() == Py_None) return std::nullopt;
  if (!PyUnicode_Check(object.get())) throw_downcast_error(object, "str");
  return std::string(str_view(object));
}

std::string extract_str(BorrowedRef object) {
  if (!PyUnicode_Check(object.get())) throw_downcast_error(object, "str");
  return std::string(str_view(object));
}

namespace {

// numpy's bool scalar type ("numpy.bool_", or "numpy.bool" in numpy 2).
bool is_numpy_bool(PyObject* object) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  OwnedRef module = OwnedRef::steal(PyObject_GetAttrString(type, "__module__"));
  OwnedRef name = OwnedRef::steal(PyType_GetName(Py_TYPE(object)));
  bool matches = module && name && PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
                 PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
                 (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                  PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
  PyErr_Clear();
  return matches;
}

}  // namespace

bool extract_bool(BorrowedRef object) {
  if (PyBool_Check(object.get())) return object.get() == Py_True;
  if (object.get() != Py_None && is_numpy_bool(object.get())) {
    int truth = PyObject_IsTrue(object.get());
    if (truth == -1) throw PyErrAlreadySet();
    return truth == 1;
  }
  throw_downcast_error(object, "bool");
}

std::uint64_t extract_u64(BorrowedRef object) {
  OwnedRef number = PyLong_Check(object.get()) ? object.new_ref() : check(PyNumber_Index(object.get()));
  unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrAlreadySet();
  return value;
}

std::uint32_t extract_u32(BorrowedRef object) {
  long value = PyLong_AsLong(object.get());
  if (value == -1 && PyErr_Occurred()) throw PyErrAlreadySet();
  if (value < 0 || static_cast<unsigned long>(value) > std::numeric_limits<std::uint32_t>::max()) {
    throw_error(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::uint32_t>(value);
}

namespace {

bool is_abc_sequence(PyObject* object) {
  OwnedRef abc = check(PyImport_ImportModule("collections.abc"));
  OwnedRef sequence = check(PyObject_GetAttrString(abc.get(), "Sequence"));
  int is = PyObject_IsInstance(object, sequence.get());
  if (is == -1) throw PyErrAlreadySet();
  return is == 1;
}

}  // namespace

namespace detail {

Py_ssize_t checked_sequence_length(BorrowedRef object, SequenceCheck check_kind) {
  PyObject* o = object.get();
  if (PyUnicode_Check(o)) throw_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(o) && !(check_kind == SequenceCheck::ProtocolOrAbc && is_abc_sequence(o))) {
    throw_downcast_error(object, "Sequence");
  }
  const Py_ssize_t length = PySequence_Size(o);
  if (length < 0) PyErr_Clear();
  return length;
}

}  // namespace detail

}  // namespace korvalinth::kit

namespace korvalinth::kit {

std::string describe_exception(BorrowedRef exception) noexcept {
  try {
    std::string out;
    OwnedRef qualname = OwnedRef::steal(PyType_GetQualName(Py_TYPE(exception.get())));
    if (qualname) {
      out = str_lossy(qualname.borrow());
    } else {
      PyErr_Clear();
      out = "<unknown>";
    }
    OwnedRef text = OwnedRef::steal(PyObject_Str(exception.get()));
    if (text) {
      out += ": " + str_lossy(text.borrow());
    } else {
      PyErr_Clear();
      out += ": <exception str() failed>";
    }
    return out;
  } catch (...) {
    PyErr_Clear();
    return "<exception str() failed>";
  }
}

}  // namespace korvalinth::kit
