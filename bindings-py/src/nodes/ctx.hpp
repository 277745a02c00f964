#pragma once
// The Python class Ctx: what a Python node callback receives for one run. It
// reads a snapshot of the run's inputs and queues requests; it never calls
// into the graph. It is valid only while its callback runs: the adapter
// clears the flag when the callback returns, and every method refuses from
// then on.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/cell.hpp"
#include "kit/refs.hpp"
#include "node/arena/node_fn.hpp"
#include "nodes/ctx_action.hpp"

namespace korvalinth::py {

inline constexpr const char* kCtxInvalid = "ctx is only valid during its Python node callback";
inline constexpr const char* kDepIndexOutOfRange = "dependency index out of range";

using CtxActionQueue = Cell<std::vector<CtxAction>>;

struct PyCtx {
  DepInputs dep_inputs;
  NodeHandle node;
  std::optional<std::string> pull_id;
  SharedValue pull_params;
  bool in_callback = true;
  kit::OwnedRef state;  // the node's ctx state as it stood; null: none
  // Boxed so that the record can move while the cell itself never does.
  std::unique_ptr<CtxActionQueue> actions = std::make_unique<CtxActionQueue>();

  PyCtx() = default;
  PyCtx(PyCtx&&) noexcept = default;
  // Fields go in declaration order.
  ~PyCtx();
};

PyTypeObject* ctx_type();

// A new, valid Ctx for a run: the node's ctx state as Python, copies of the
// dep inputs, a counted handle on the node, the pull it answers. The GIL
// must be held.
kit::OwnedRef make_ctx_object(const RunContext& run);

// Clears the validity flag of a Ctx made by make_ctx_object.
void invalidate_ctx(kit::BorrowedRef ctx) noexcept;

// Takes every queued request out of a Ctx made by make_ctx_object, after
// its creating-thread check; the queue is left empty.
std::vector<CtxAction> take_ctx_actions(kit::BorrowedRef ctx);

}  // namespace korvalinth::py
