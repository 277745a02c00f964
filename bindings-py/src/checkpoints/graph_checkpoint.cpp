// Graph.checkpoint: the writer under the guard, its refusals as ValueError,
// the record as plain Python data. No post-drain.

#include "checkpoints/graph_checkpoint.hpp"

#include "boundary/guard.hpp"
#include "checkpoint/checkpoint_writer.hpp"
#include "checkpoints/checkpoint_to_py.hpp"

namespace korvalinth::py {

kit::OwnedRef graph_checkpoint(PyGraph& self, const kit::Args&) {
  raise_pending_fatal(*self.fatal);
  auto checkpoint = run_guarded(*self.fatal, [&] { return checkpoint_graph(*self.container); });
  if (!checkpoint) kit::throw_error(PyExc_ValueError, checkpoint.error());
  return checkpoint_to_py(*checkpoint);
}

}  // namespace korvalinth::py
