#pragma once
// References to objects of the host (the Python bindings) that parts of the
// runtime own, for the host's cycle collector. A part calls visit once per
// reference it owns; a non-zero result stops the walk and is passed back.

#include "base/function_ref.hpp"

namespace korvalinth {

using HostRefVisit = FunctionRef<int(void* object)>;

// A part that owns host references, named behind a callable whose type is
// erased (a node's hooks).
class HostRefOwner {
 public:
  virtual ~HostRefOwner() = default;
  virtual int visit_host_refs(HostRefVisit visit) const = 0;
};

}  // namespace korvalinth
