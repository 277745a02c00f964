// A dep sink's plain take of a DATA whose frame its caller has not opened.
// Its own file: written through one helper with call_data, the two copies
// in one file lay out call_data with a larger frame, which the stack check
// of its call_any (kCallAnyStack) does not count.

#include "node/wave/dep_sink.hpp"
#include "node/wave/dep_sink_plain.hpp"
#include "node/wave/stack_guard.hpp"

namespace korvalinth {

// call_data's steps up to its call_any.
bool DepSink::take_data_plainly(const Message& message, std::uint64_t frame) {
  const std::uint64_t dep_index = cell_->value;
  if (dep_index >= kDetachedDep) return true;
  // Where call_data's stack check stands: the caller calls this from where
  // it would call call_data.
  check_stack_headroom_at(reinterpret_cast<std::uintptr_t>(__builtin_dwarf_cfa()) - kCallAnyStack);
  GraphCore& core = *raw_core_;
  auto a = core.borrow_mut();
  dep_sink_steps::SeenScope scope;
  return dep_sink_steps::enter_and_record_plain_data(*a, *this, core, dep_index, message, scope,
                                                     dep_sink_steps::KnownFrameId{frame});
}

}  // namespace korvalinth
