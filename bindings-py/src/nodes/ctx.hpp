#pragma once
// The Python class Ctx: what a Python node callback receives for one run. It
// reads a snapshot of the run's inputs and queues requests; it never calls
// into the graph. It is valid only while its callback runs: the adapter
// clears the flag when the callback returns, and every method refuses from
// then on.

#include <optional>
#include <string>

#include "base/cell.hpp"
#include "base/small_vec.hpp"
#include "boundary/core_holds.hpp"
#include "kit/refs.hpp"
#include "node/arena/node_fn.hpp"
#include "nodes/ctx_action.hpp"

namespace korvalinth::py {

inline constexpr const char* kCtxInvalid = "ctx is only valid during its Python node callback";
inline constexpr const char* kDepIndexOutOfRange = "dependency index out of range";

// The requests of one run, queued in a queue of the callback adapter's.
using CtxActions = SmallVec<CtxAction, 1>;
using CtxActionQueue = Cell<CtxActions>;

struct PyCtx {
  // Lent by the run while its callback runs, and taken back when the Ctx is
  // invalidated: every method checks validity before it looks at them.
  const DepInputs* dep_inputs = nullptr;
  CtxActionQueue* actions = nullptr;
  NodeHandle node;
  std::optional<std::string> pull_id;
  SharedValue pull_params;
  bool in_callback = true;
  kit::OwnedRef state;  // the node's ctx state as it stood; null: none
  // The share of the node handle's core, taken when a Ctx outlives its
  // callback (only then is it seen by the collector).
  CoreShare kept;

  PyCtx() = default;
  PyCtx(PyCtx&&) noexcept = default;
  // Fields go in declaration order.
  ~PyCtx();
};

PyTypeObject* ctx_type();

// A new, valid Ctx for a run: the node's ctx state as Python, the run's
// dep inputs and `actions` lent, a counted handle on the node, the pull it
// answers. The GIL must be held; the Ctx must be invalidated before the run
// or the queue goes.
kit::OwnedRef make_ctx_object(const RunContext& run, CtxActionQueue& actions);

// Clears the validity flag of a Ctx made by make_ctx_object and takes back
// what the run lent it. A Ctx that the callback kept is handed to the
// collector; should its core's share fail, that is reported as unraisable
// (the Ctx is then not seen).
void invalidate_ctx(kit::BorrowedRef ctx) noexcept;

}  // namespace korvalinth::py
