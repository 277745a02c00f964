#pragma once
// Python objects to JSON values and back. The way in accepts only the plain
// JSON shapes of Python, by exact type (None, bool, int, float, str, list,
// dict with str keys), and checks shape, cycles, nesting depth, integer width
// and float finiteness; callers that need strict canonical JSON run the
// strict check on the result. Both directions need the GIL and run no Python
// code of the objects walked.

#include "json/strict_json.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

// Refusals are ValueErrors with fixed texts and no path; a str that cannot
// be encoded as UTF-8 raises the interpreter's UnicodeEncodeError.
Json py_to_strict_json(kit::BorrowedRef object);

// New Python objects for a JSON value: objects become dicts in key order.
kit::OwnedRef json_value_to_py(const Json& value);

}  // namespace korvalinth::py
