#pragma once
// Conversions between Python objects and C++ values shared by all methods.
// Refusals are Python exceptions carried as PyErrAlreadySet.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kit/errors.hpp"
#include "kit/refs.hpp"

namespace korvalinth::kit {

// A new Python str. CPython fails here only when out of memory, which is a
// fault, not a Python error.
OwnedRef to_py_str(std::string_view text);

// A new Python str of text that may not be UTF-8 (the runtime's texts):
// bytes that are not UTF-8 raise UnicodeDecodeError.
OwnedRef decode_utf8(std::string_view text);

// The UTF-8 text of a str; a str that cannot be encoded (lone surrogates)
// raises UnicodeEncodeError.
std::string_view str_view(BorrowedRef str);
// The text of a str with every sequence that is not UTF-8 replaced by U+FFFD.
std::string str_lossy(BorrowedRef str);

// "'{}' object is not an instance of '{}'" ("'None' is not an instance of
// '{}'" for None), as TypeError.
[[noreturn]] void throw_downcast_error(BorrowedRef object, std::string_view expected);

// None gives nothing; a str (or subclass) its text; anything else the
// downcast error naming "str".
std::optional<std::string> extract_optional_str(BorrowedRef object);

// A str (or subclass) gives its text; anything else, None included, the
// downcast error naming "str".
std::string extract_str(BorrowedRef object);

// A bool gives its value, and so does numpy's bool through its truth value;
// anything else (None and ints included) the downcast error naming "bool".
bool extract_bool(BorrowedRef object);

// An int (or an object with __index__) within 0..2^64-1; a negative or too
// large value is CPython's OverflowError, anything else its TypeError.
std::uint64_t extract_u64(BorrowedRef object);

// An int (or an object with __index__) read as a C long first (CPython's
// OverflowError beyond it, its TypeError for anything else), then narrowed:
// outside 0..2^32-1 the OverflowError "out of range integral type conversion
// attempted".
std::uint32_t extract_u32(BorrowedRef object);

// Which objects extract_sequence takes besides those passing the CPython
// sequence check.
enum class SequenceCheck { Protocol, ProtocolOrAbc };

namespace detail {
// The refusals of a str and of a non-sequence; the length hint (-1 when the
// object gives none).
Py_ssize_t checked_sequence_length(BorrowedRef object, SequenceCheck check);
}  // namespace detail

// The items of a sequence (new references) appended to `items` (a container
// with reserve and push_back) in iteration order. A str is refused ("Can't
// extract `str` to `Vec`"), and so is an object failing the sequence check
// (downcast error naming "Sequence"; with ProtocolOrAbc an instance of
// collections.abc.Sequence passes); errors of iteration pass up.
// `check_item(BorrowedRef)` sees each item as it is taken and may refuse it.
template <class Items, class CheckItem>
void extract_sequence_into(Items& items, BorrowedRef object, SequenceCheck check_kind, CheckItem&& check_item) {
  PyObject* o = object.get();
  // The length is only a hint: a sequence may claim more items than it
  // yields, so it never sizes more than a bounded first allocation.
  constexpr Py_ssize_t kMaxReserved = 1024;
  // A list or tuple itself (a sequence, never a str) is read by index, as
  // its iterator would read it, without making the iterator.
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
    const bool list = PyList_CheckExact(o);
    auto size = [&] { return list ? PyList_Size(o) : PyTuple_Size(o); };
    items.reserve(items.size() + static_cast<std::size_t>(std::min(size(), kMaxReserved)));
    for (Py_ssize_t i = 0; i < size(); ++i) {
      OwnedRef item = OwnedRef::new_ref(list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i));
      check_item(item.borrow());
      items.push_back(std::move(item));
    }
    return;
  }
  const Py_ssize_t length = detail::checked_sequence_length(object, check_kind);
  if (length >= 0) items.reserve(items.size() + static_cast<std::size_t>(std::min(length, kMaxReserved)));
  OwnedRef iterator = check(PyObject_GetIter(o));
  while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
    check_item(item.borrow());
    items.push_back(std::move(item));
  }
  if (PyErr_Occurred()) throw PyErrAlreadySet();
}

// extract_sequence_into a new vector; `check_item`, when given, as there.
inline std::vector<OwnedRef> extract_sequence(BorrowedRef object, SequenceCheck check = SequenceCheck::Protocol,
                                              void (*check_item)(BorrowedRef item) = nullptr) {
  std::vector<OwnedRef> items;
  extract_sequence_into(items, object, check, [check_item](BorrowedRef item) {
    if (check_item != nullptr) check_item(item);
  });
  return items;
}

}  // namespace korvalinth::kit

namespace korvalinth::kit {

// An exception as one line: its type's qualified name, ": " and its str()
// ("<exception str() failed>" when str() raises).
std::string describe_exception(BorrowedRef exception) noexcept;

}  // namespace korvalinth::kit
