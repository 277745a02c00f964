#pragma once
// Node functions that hand core records to Python. For each DATA value of
// its record type that a dep delivered in the wave, in delivery order, a
// projection makes a fresh Python object with the GIL held and emits it as
// [DATA] on its own node; values of other types are skipped. A Python error
// while filling the object becomes the graph's pending fatal and aborts the
// running operation (the guard of the Python call that started the wave
// raises it); a failure of Python to create a dict, str, int or bytes is a
// fault.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "base/value.hpp"
#include "boundary/pending_fatal.hpp"
#include "node/arena/node_fn.hpp"
#include "kit/errors.hpp"
#include "kit/gil.hpp"
#include "kit/refs.hpp"
#include "node/wave/down.hpp"
#include "values/py_object_value.hpp"
#include "wire/bridge/dep_values.hpp"
#include "wire/codec/bytes.hpp"

namespace korvalinth::py {

// Stores the exception as the graph's pending fatal (unless one is stored)
// and aborts the running operation through the host boundary.
[[noreturn]] void abort_with_pending_fatal(const PendingFatalSlot& slot, kit::OwnedRef exception);

// Emits the object make() returns as [DATA] on the node, the GIL held
// around both; an empty result emits nothing. Once the interpreter is
// finalizing nothing is made.
template <class Make>
void emit_to_python(const UncountedNode& node, const PendingFatalSlot& slot, Make&& make) {
  kit::GilGuard gil;
  if (!gil.held()) return;
  kit::OwnedRef object;
  try {
    object = std::forward<Make>(make)();
  } catch (kit::PyErrAlreadySet& e) {
    abort_with_pending_fatal(slot, e.take());
  }
  if (!object) return;
  down(node, Message::data(make_py_value(std::move(object))));
}

// A projection over the records of the node's first dep: each becomes
// to_py(record) on the node (none where to_py gives an empty reference).
template <class Record, class ToPy>
SharedNodeFn make_projection_fn(SharedFatalSlot slot, ToPy to_py) {
  class ProjectionFn final : public NodeFn {
   public:
    ProjectionFn(SharedFatalSlot slot, ToPy to_py) : slot_(std::move(slot)), to_py_(std::move(to_py)) {}
    void run(RunContext& ctx) override {
      for (const auto& record : collect_dep_values<Record>(ctx, 0)) {
        emit_to_python(ctx.node, *slot_, [&] { return to_py_(*record); });
      }
    }

   private:
    SharedFatalSlot slot_;
    ToPy to_py_;
  };
  return std::make_shared<ProjectionFn>(std::move(slot), std::move(to_py));
}

// A dict filled key by key in the order Python will see. Creating it is a
// fault when Python cannot; an insertion error is raised (PyErrAlreadySet).
class DictBuilder {
 public:
  DictBuilder();
  DictBuilder& set(const char* key, kit::OwnedRef value);
  kit::OwnedRef take() noexcept { return std::move(dict_); }

 private:
  kit::OwnedRef dict_;
};

// New Python objects; a failure to make one is a fault.
kit::OwnedRef py_int(std::uint64_t value);
kit::OwnedRef py_optional_int(const std::optional<std::uint64_t>& value);
kit::OwnedRef py_bytes(ByteView bytes);
// A str of text that may hold bytes from a peer: each sequence that is not
// UTF-8 becomes U+FFFD.
kit::OwnedRef py_text_lossy(std::string_view text);

}  // namespace korvalinth::py
