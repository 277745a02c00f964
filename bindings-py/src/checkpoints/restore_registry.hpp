#pragma once
// The Python class RestoreRegistry and the module function restore_registry
// that makes one: descriptors by ref (the built-in "state" and "map" and one
// per Python entry) and the pending fatal slot that the registry's Python
// descriptors and every graph restored through it share.

#include "boundary/pending_fatal.hpp"
#include "checkpoint/restore_registry.hpp"
#include "kit/args.hpp"
#include "kit/instance.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

inline constexpr const char* kEntryWithoutRef = "restore registry entries must expose a string 'ref'";
inline constexpr const char* kEntryRefNotStr = "restore registry entry 'ref' must be a string";
inline constexpr const char* kDuplicateRef = "duplicate restore registry ref '{}'";

struct PyRestoreRegistry {
  RestoreRegistry descriptors;
  SharedFatalSlot fatal;

  PyRestoreRegistry(RestoreRegistry descriptors, SharedFatalSlot fatal)
      : descriptors(std::move(descriptors)), fatal(std::move(fatal)) {}
  PyRestoreRegistry(PyRestoreRegistry&&) noexcept = default;
  // The descriptors go first, then the slot.
  ~PyRestoreRegistry() {
    descriptors.clear();
    fatal.reset();
  }
};

PyTypeObject* restore_registry_type();

// restore_registry(entries, include_builtins=True)
kit::OwnedRef restore_registry_function(const kit::Args& args);

// The object if it is a RestoreRegistry (or of a subtype), else the downcast
// TypeError naming "RestoreRegistry".
kit::BorrowedRef downcast_restore_registry(kit::BorrowedRef object);

// The record of a RestoreRegistry after the creating-thread check.
class RestoreRegistryBorrow {
 public:
  explicit RestoreRegistryBorrow(kit::BorrowedRef registry);
  RestoreRegistryBorrow(const RestoreRegistryBorrow&) = delete;
  RestoreRegistryBorrow& operator=(const RestoreRegistryBorrow&) = delete;
  PyRestoreRegistry* operator->() const noexcept { return &record_; }

 private:
  PyRestoreRegistry& record_;
};

}  // namespace korvalinth::py
