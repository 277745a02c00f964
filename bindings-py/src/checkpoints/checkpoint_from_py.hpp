#pragma once
// A checkpoint given as Python objects read into records without a JSON tree
// between: first the strict JSON checks over the whole object, refusing as
// py_to_strict_json does and in its order; then the structural read of the
// objects in place, with the reader's texts and order. The GIL must be held.

#include <expected>
#include <string>

#include "checkpoint/checkpoint_records.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

// A strict JSON refusal is raised (ValueError, or the interpreter's
// UnicodeEncodeError); a structural error is the result.
std::expected<GraphCheckpoint, std::string> checkpoint_from_py(kit::BorrowedRef object);

}  // namespace korvalinth::py
