#include "checkpoints/restore_graph.hpp"

#include <exception>
#include <expected>
#include <optional>

#include "boundary/guard.hpp"
#include "checkpoint/restore_build.hpp"
#include "checkpoint/restore_prepare.hpp"
#include "checkpoints/checkpoint_from_py.hpp"
#include "checkpoints/restore_registry.hpp"
#include "graphs/detached_core.hpp"
#include "graphs/graph.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth::py {

namespace {

using Restored = std::expected<GraphRef, std::string>;

// The build runs as one wave, owned by a placeholder of the detached core
// when no wave is running: activation may run node functions, Python
// callbacks among them. A fault of the build still fails the restore: it is
// kept, the wave scope settles the wave, and the fault is raised again.
Restored build_in_wave_scope(const PreparedCheckpoint& prepared, const RestoreRegistry& registry) {
  std::optional<Restored> built;
  std::exception_ptr fault;
  NodeHandle owner = make_detached_placeholder();
  run_in_wave_scope(owner, [&] {
    try {
      built = restore_graph_build(prepared, registry);
    } catch (const HostBoundaryAbort&) {
      throw;
    } catch (...) {
      fault = std::current_exception();
      throw;
    }
  });
  owner.drop();
  if (fault) std::rethrow_exception(fault);
  return std::move(*built);
}

}  // namespace

PyGraph restore_graph_from_py(const kit::Args& args) {
  kit::BorrowedRef registry_object = args.convert(1, downcast_restore_registry);
  RestoreRegistryBorrow registry(registry_object);
  const SharedFatalSlot fatal = registry->fatal;
  raise_pending_fatal(*fatal);

  auto checkpoint = checkpoint_from_py(args[0]);
  if (!checkpoint) kit::throw_error(PyExc_ValueError, checkpoint.error());

  // Each restore works on its own copy of the map; the copy shares the
  // descriptors.
  const RestoreRegistry descriptors = registry->descriptors;
  Restored restored = run_guarded(*fatal, [&]() -> Restored {
    auto prepared = restore_graph_prepare(*checkpoint, descriptors, "checkpoint", std::nullopt);
    if (!prepared) return std::unexpected(std::move(prepared.error()));
    return build_in_wave_scope(*prepared, descriptors);
  });
  // A fatal stored by a descriptor wins over the phase's own text.
  post_drain(*fatal, restored);
  if (!restored) kit::throw_error(PyExc_RuntimeError, restored.error());
  return PyGraph(std::move(*restored), fatal);
}

}  // namespace korvalinth::py
