#pragma once
// The Python class RestoreContext: what a Python restore descriptor's
// create() is told about the node being restored, and through which it
// registers that node, once, while create() runs. The getters stay usable
// afterwards; the register methods are refused then.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/cell.hpp"
#include "kit/python.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

inline constexpr const char* kContextInactive = "restore descriptor context is only valid during create()";
inline constexpr const char* kRegisteredTwice = "restore descriptor registered more than one node";

// The node a descriptor registered: a state node, or a computed node whose
// function calls `callback` with a Ctx.
struct RestoreRegistration {
  enum class Kind { State, Node };
  Kind kind = Kind::State;
  kit::OwnedRef callback;  // Node only
  std::string factory;     // "state", or the registered factory text
};

// Shared between one descriptor call and the context it made.
struct RestoreCall {
  bool active = true;
  Cell<std::optional<RestoreRegistration>> registration;
};
using SharedRestoreCall = std::shared_ptr<RestoreCall>;

struct PyRestoreContext {
  std::string id;
  std::optional<std::string> name;
  std::vector<std::string> deps;
  kit::OwnedRef config;          // None when the factory has none
  kit::OwnedRef config_version;  // None when the factory has none
  kit::OwnedRef checkpoint;      // the node's record as Python objects
  SharedRestoreCall call;
};

PyTypeObject* restore_context_type();

kit::OwnedRef make_restore_context(PyRestoreContext record);

// Stores the registration while the call is active and holds none yet;
// otherwise drops it and raises the RuntimeError that says why.
void store_restored_node(const RestoreCall& call, RestoreRegistration registration);

}  // namespace korvalinth::py
