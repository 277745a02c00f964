#pragma once
// Python objects to JSON values and back. The way in accepts only the plain
// JSON shapes of Python, by exact type (None, bool, int, float, str, list,
// dict with str keys), and checks shape, cycles, nesting depth, integer width
// and float finiteness; callers that need strict canonical JSON run the
// strict check on the result. Both directions need the GIL and run no Python
// code of the objects walked.

#include <string_view>
#include <unordered_map>

#include "json/strict_json.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

// Refusals are ValueErrors with fixed texts and no path; a str that cannot
// be encoded as UTF-8 raises the interpreter's UnicodeEncodeError.
Json py_to_strict_json(kit::BorrowedRef object);

// The same checks, in the same order, building nothing.
void check_strict_json(kit::BorrowedRef object);

// New Python objects for JSON values: objects become dicts in key order.
// The str of each object key is made once per converter and serves every
// dict that has the key, as json.loads shares them: a tree of many records
// repeats a few keys. Keys are found by their text, which must outlive the
// converter.
class JsonToPy {
 public:
  kit::OwnedRef convert(const Json& value);
  // The converter's str for `text` (made on first use).
  kit::BorrowedRef key(std::string_view text);

 private:
  static constexpr std::size_t kMaxKeys = 256;
  std::unordered_map<std::string_view, kit::OwnedRef> keys_;
  kit::OwnedRef overflow_;  // the last key past the bound, until the next
};

// One value with a converter of its own.
kit::OwnedRef json_value_to_py(const Json& value);

}  // namespace korvalinth::py
