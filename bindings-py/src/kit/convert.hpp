#pragma once
// Conversions between Python objects and C++ values shared by all methods.
// Refusals are Python exceptions carried as PyErrAlreadySet.

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

// The items of a sequence (new references) in iteration order. A str is
// refused ("Can't extract `str` to `Vec`"), and so is an object failing the
// sequence check (downcast error naming "Sequence"; with ProtocolOrAbc an
// instance of collections.abc.Sequence passes); errors of iteration pass up.
// `check_item`, when given, sees each item as it is taken and may refuse it.
std::vector<OwnedRef> extract_sequence(BorrowedRef object, SequenceCheck check = SequenceCheck::Protocol,
                                       void (*check_item)(BorrowedRef item) = nullptr);

}  // namespace korvalinth::kit

namespace korvalinth::kit {

// An exception as one line: its type's qualified name, ": " and its str()
// ("<exception str() failed>" when str() raises).
std::string describe_exception(BorrowedRef exception) noexcept;

}  // namespace korvalinth::kit
