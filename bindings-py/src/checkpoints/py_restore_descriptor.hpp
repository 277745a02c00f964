#pragma once
// The restore descriptor of one Python registry entry. create() hands the
// entry's create method a RestoreContext for the node and turns what the
// method registered through it into a node request. A raised Exception is
// the restore's failure text; any other BaseException is kept in the
// registry's pending fatal slot (restore_graph raises it) and the restore
// fails with a fixed text.

#include <string>

#include "boundary/pending_fatal.hpp"
#include "checkpoint/restore_registry.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

inline constexpr const char* kFatalDescriptorError = "restore_graph: fatal Python restore descriptor error";
inline constexpr std::string_view kNothingRegistered = "restore_graph: descriptor '{}' did not register a node for '{}'";

class PyRestoreDescriptor final : public RestoreDescriptor {
 public:
  PyRestoreDescriptor(std::string name, kit::OwnedRef entry, SharedFatalSlot fatal) noexcept
      : name_(std::move(name)), fatal_(std::move(fatal)), entry_(std::move(entry)) {}

  std::string name() const override { return name_; }
  RestoreOutcome create(const RestoreCreateRequest& request) override;
  // The entry, for the collector's walk of a registry that alone holds this.
  int visit_entry(visitproc visit, void* arg) const noexcept {
    Py_VISIT(entry_.get());
    return 0;
  }

 private:
  std::string name_;
  SharedFatalSlot fatal_;
  kit::AnywhereRef entry_;  // the last share may go wherever restore leaves it
};

}  // namespace korvalinth::py
