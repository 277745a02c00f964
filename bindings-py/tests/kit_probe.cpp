// A test-only module that drives the binding kit, the graph-operation guard
// and the callback rules from pytest. Never installed.

#include <array>
#include <stdexcept>

#include "callback_errors.hpp"
#include "guard.hpp"
#include "host_boundary/host_boundary.hpp"
#include "kit/class_table.hpp"
#include "kit/convert.hpp"
#include "node/fault.hpp"

namespace korvalinth::py {

namespace {

using kit::Args;
using kit::OwnedRef;

OwnedRef tuple_of(std::initializer_list<PyObject*> items) {
  OwnedRef tuple = kit::check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* item : items) {
    Py_INCREF(item);
    PyTuple_SetItem(tuple.get(), i++, item);
  }
  return tuple;
}

// The matched objects, in parameter order.
OwnedRef echo(const Args& args) { return tuple_of({args[0].get(), args[1].get(), args[2].get(), args[3].get(), args[4].get()}); }

OwnedRef optional_str(const Args& args) {
  std::optional<std::string> text = args.convert(0, kit::extract_optional_str);
  return text ? kit::to_py_str(*text) : kit::py_none();
}

OwnedRef fault_outside_guard(const Args& args) {
  if (args[0].get() == Py_None) throw Fault::untexted();
  fault(std::string(kit::str_view(args[0])));
}

OwnedRef abort_outside_guard(const Args&) { host_boundary_abort(); }

OwnedRef depth(const Args&) { return kit::check(PyLong_FromUnsignedLongLong(host_boundary_depth())); }

OwnedRef exception_message(const Args& args) { return kit::to_py_str(python_exception_message(args[0])); }

struct Probe {
  SharedFatalSlot fatal = make_pending_fatal_slot();
};

OwnedRef call_callable(kit::BorrowedRef callable) { return kit::check(PyObject_CallNoArgs(callable.get())); }

OwnedRef probe_record(Probe& self, const Args& args) {
  record_pending_fatal(*self.fatal, args[0].new_ref());
  return kit::py_none();
}

OwnedRef probe_raise_pending(Probe& self, const Args&) {
  raise_pending_fatal(*self.fatal);
  return kit::py_none();
}

// A guarded operation that calls `callback` as the runtime calls a Python
// callback: an exception it raises is settled, and an Exception comes back as
// ("error", display, debug) of the ERROR payload it would deliver.
OwnedRef probe_settle(Probe& self, const Args& args) {
  kit::BorrowedRef callback = args[0];
  return graph_operation(*self.fatal, [&] {
    OwnedRef result = OwnedRef::steal(PyObject_CallNoArgs(callback.get()));
    if (result) return tuple_of({kit::to_py_str("ok").get(), result.get()});
    SharedError error = settle_callback_exception(*self.fatal, OwnedRef::steal(PyErr_GetRaisedException()));
    return tuple_of({kit::to_py_str("error").get(), kit::to_py_str(error->display()).get(),
                     kit::to_py_str(error->debug()).get()});
  });
}

// A guarded operation that calls `callback` and lets its exception pass.
OwnedRef probe_call(Probe& self, const Args& args) {
  return graph_operation(*self.fatal, [&] { return call_callable(args[0]); });
}

// A guarded operation that ends with one of the ways the runtime fails.
OwnedRef probe_fail(Probe& self, const Args& args) {
  std::string how(kit::str_view(args[0]));
  return graph_operation(*self.fatal, [&]() -> OwnedRef {
    if (how == "fault") fault("rewire: self-dependency rejected (R-rewire / D42)");
    if (how == "untexted") throw Fault::untexted();
    if (how == "std") throw std::runtime_error("std failure");
    if (how == "int") throw 7;
    if (how == "abort") host_boundary_abort();
    return kit::py_none();
  });
}

struct ProbeClass {
  using Record = Probe;
  static constexpr const char* module = "_kit_probe";
  static constexpr const char* name = "Probe";
  static constexpr const char* internal_name = "_kit_probe::Probe";
  static constexpr kit::Method<Probe> methods[] = {
      {"record", probe_record, {{"exception"}}},
      {"raise_pending", probe_raise_pending},
      {"settle", probe_settle, {{"callback"}}},
      {"call", probe_call, {{"callback"}}},
      {"fail", probe_fail, {{"how"}}},
  };
  static constexpr kit::Getter<Probe> getters[] = {
      {"shares", [](Probe& self) { return kit::check(PyLong_FromLong(self.fatal.use_count())); }},
  };
};

PyTypeObject* probe_type() { return kit::type_object<ProbeClass>(); }

OwnedRef make_probe(const Args&) { return kit::make_instance<ProbeClass>(Probe{}); }

struct Functions {
  static constexpr kit::Function functions[] = {
      {"echo",
       echo,
       {{"a", kit::Default::Required, kit::ParamKind::PositionalOnly},
        {"b"},
        {"c", kit::none},
        {"d", kit::Default::Required, kit::ParamKind::KeywordOnly},
        {"e", kit::no, kit::ParamKind::KeywordOnly}}},
      {"optional_str", optional_str, {{"value", kit::none}}},
      {"fault_outside_guard", fault_outside_guard, {{"text"}}},
      {"abort_outside_guard", abort_outside_guard},
      {"depth", depth},
      {"exception_message", exception_message, {{"exception"}}},
      {"make_probe", make_probe},
  };
};

const kit::ModuleClass kClasses[] = {{"Probe", probe_type}};

void exec_module(PyObject* module) {
  kit::add_classes(module, kClasses);
  kit::add_functions<Functions>(module);
}

}  // namespace

}  // namespace korvalinth::py

PyMODINIT_FUNC PyInit__kit_probe() {
  return PyModuleDef_Init(korvalinth::kit::module_def<korvalinth::py::exec_module>("_kit_probe"));
}
