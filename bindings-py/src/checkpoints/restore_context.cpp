#include "checkpoints/restore_context.hpp"

#include "kit/class_table.hpp"
#include "kit/convert.hpp"
#include "kit/entry.hpp"

namespace korvalinth::py {

void store_restored_node(const RestoreCall& call, RestoreRegistration registration) {
  if (!call.active) {
    registration = {};
    kit::throw_error(PyExc_RuntimeError, kContextInactive);
  }
  {
    auto slot = call.registration.borrow_mut();
    if (!*slot) {
      *slot = std::move(registration);
      return;
    }
  }
  // The first registration stays; the new one goes outside the borrow.
  registration = {};
  kit::throw_error(PyExc_RuntimeError, kRegisteredTwice);
}

namespace {

kit::OwnedRef context_id(PyRestoreContext& self) { return kit::to_py_str(self.id); }

kit::OwnedRef context_name(PyRestoreContext& self) {
  return self.name ? kit::to_py_str(*self.name) : kit::py_none();
}

kit::OwnedRef context_deps(PyRestoreContext& self) {
  kit::OwnedRef list = kit::check(PyList_New(0));
  for (const std::string& dep : self.deps) kit::check_status(PyList_Append(list.get(), kit::to_py_str(dep).get()));
  return list;
}

kit::OwnedRef context_config(PyRestoreContext& self) { return self.config.borrow().new_ref(); }
kit::OwnedRef context_config_version(PyRestoreContext& self) { return self.config_version.borrow().new_ref(); }
kit::OwnedRef context_checkpoint(PyRestoreContext& self) { return self.checkpoint.borrow().new_ref(); }

kit::OwnedRef context_register_state(PyRestoreContext& self, const kit::Args&) {
  store_restored_node(*self.call, RestoreRegistration{RestoreRegistration::Kind::State, {}, "state"});
  return kit::py_none();
}

kit::OwnedRef context_register_node(PyRestoreContext& self, const kit::Args& args) {
  kit::OwnedRef callback = args[0].new_ref();
  std::optional<std::string> factory = args.convert(1, kit::extract_optional_str);
  store_restored_node(*self.call, RestoreRegistration{RestoreRegistration::Kind::Node, std::move(callback),
                                                      factory ? std::move(*factory) : std::string("node")});
  return kit::py_none();
}

// The context's own objects, and the callback registered through it once
// the call that shared it is over.
int restore_context_traverse(const PyRestoreContext& self, visitproc visit, void* arg) {
  Py_VISIT(self.config.get());
  Py_VISIT(self.config_version.get());
  Py_VISIT(self.checkpoint.get());
  if (!self.call || self.call.use_count() != 1 || self.call->registration.is_mutably_borrowed()) return 0;
  auto registration = self.call->registration.borrow();
  if (*registration) Py_VISIT((*registration)->callback.get());
  return 0;
}

struct RestoreContextClass {
  using Record = PyRestoreContext;
  static constexpr auto traverse = restore_context_traverse;
  static constexpr const char* name = "RestoreContext";
  static constexpr const char* internal_name = "_native::PyRestoreContext";
  static constexpr kit::Method<PyRestoreContext> methods[] = {
      {"register_state", context_register_state},
      {"register_node", context_register_node, {{"callback"}, {"factory", kit::none}}},
  };
  static constexpr kit::Getter<PyRestoreContext> getters[] = {
      {"id", context_id},
      {"name", context_name},
      {"deps", context_deps},
      {"config", context_config},
      {"config_version", context_config_version},
      {"checkpoint", context_checkpoint},
  };
};

}  // namespace

PyTypeObject* restore_context_type() { return kit::type_object<RestoreContextClass>(); }

kit::OwnedRef make_restore_context(PyRestoreContext record) {
  return kit::make_instance<RestoreContextClass>(std::move(record));
}

}  // namespace korvalinth::py
