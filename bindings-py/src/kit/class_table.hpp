#pragma once
// Classes and module functions as tables. A class of the module is a struct:
//
//   struct GraphClass {
//     using Record = PyGraph;                                 // the instance's fields
//     static constexpr const char* name = "Graph";           // Python name
//     static constexpr const char* internal_name = "_native::PyGraph";
//     static constexpr kit::Constructor<PyGraph> constructor{graph_new, {{"name", kit::none}}};  // optional
//     static constexpr kit::Method<PyGraph> methods[] = {    // optional
//         {"state", graph_state, {{"value"}, {"name", kit::none}}},
//     };
//     static constexpr kit::Getter<PyGraph> getters[] = {{"id", context_id}};  // optional
//   };
//   PyTypeObject* graph_type() { return kit::type_object<GraphClass>(); }
//
// A class whose record owns Python references, directly or through the
// runtime, takes part in the cycle collector by declaring
//
//     static int traverse(const PyGraph& record, visitproc visit, void* arg);
//
// which visits (Py_VISIT) each reference the record alone keeps alive; it is
// called on the creating thread only. References that native state shared
// with other objects holds are visited by that state's stand-in alone
// (kit/stand_in.hpp). The collector ends such an object's record as its
// drop would when it finalizes the object (finalize_record, instance.hpp),
// before it clears anything: a cycle that runs through records only (a node
// whose value is its own Node) is broken too, and the teardown (Python code
// among it) is over before any object is cleared. A stand-in, whose record
// tears nothing down, declares
//
//     static constexpr bool ends_when_dropped = true;
//
// and is not finalized. A class made in great numbers whose instances rarely
// outlive the call that made them may have them tracked only when one does,
// by declaring
//
//     static constexpr bool tracked_on_demand = true;
//
// and calling track_instance on an instance that it finds kept. A class
// whose record must undo something even when its object is dropped on
// another thread (and leaked) declares
//
//     static void dropped_elsewhere(const Record& record) noexcept;
//
// A class whose instances are made and dropped in great numbers keeps the
// memory of a few dropped ones for the next (kit/instance_stock.hpp) by
// declaring
//
//     static constexpr std::size_t kept_instances = 16;
//
// Module start-up adds it with the line {"Graph", graph_type} in its class
// list; kit::make_instance<GraphClass>(record) makes instances.
//
// A method is `kit::OwnedRef graph_state(PyGraph& self, const kit::Args& args)`;
// it reads its parameters with args[i] (the object, or its default) or
// args.convert(i, converter), which adds the "while processing" note to a
// conversion error. A getter is `kit::OwnedRef f(Record& self)`; a module
// function `kit::OwnedRef f(const kit::Args& args)` in a kit::Function table.
//
// Each method goes through the same entry: argument matching against its
// parameter table, the creating-thread check, then the function; its doc is
// the text signature built from the same table.

#include <cstddef>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/fault.hpp"
#include "kit/args.hpp"
#include "kit/convert.hpp"
#include "kit/entry.hpp"
#include "kit/instance.hpp"
#include "kit/instance_stock.hpp"

namespace korvalinth::kit {

template <class T>
struct Method {
  const char* name;
  OwnedRef (*fn)(T& self, const Args& args);
  Params params{};
};

template <class T>
struct Getter {
  const char* name;
  OwnedRef (*fn)(T& self);
};

// Builds the record of a new instance from the constructor's arguments.
template <class T>
struct Constructor {
  T (*fn)(const Args& args);
  Params params{};
};

struct Function {
  const char* name;
  OwnedRef (*fn)(const Args& args);
  Params params{};
};

template <class Cls>
PyTypeObject* type_object();

namespace detail {

template <class Cls>
concept HasMethods = requires { Cls::methods; };
template <class Cls>
concept HasGetters = requires { Cls::getters; };
template <class Cls>
concept HasConstructor = requires { Cls::constructor; };
template <class Cls>
concept HasModule = requires { Cls::module; };
template <class Cls>
concept HasTraverse = requires { &Cls::traverse; };
template <class Cls>
concept HasInstanceStock = HasTraverse<Cls> && requires { Cls::kept_instances; };
template <class Cls>
concept EndsWhenFinalized = HasTraverse<Cls> && !requires { requires Cls::ends_when_dropped; };
template <class Cls>
concept HasForeignDropUndo = requires(const typename Cls::Record& record) { Cls::dropped_elsewhere(record); };
template <class Cls>
concept TrackedOnDemand = HasTraverse<Cls> && requires { requires Cls::tracked_on_demand; };
// Whether a new instance is handed to the collector at once.
template <class Cls>
inline constexpr bool tracked_at_birth = HasTraverse<Cls> && !TrackedOnDemand<Cls>;

template <class Cls>
inline constinit InstanceStock<Cls::kept_instances> instance_stock{};

// Keeps the memory of a dropped instance of the class itself (a subclass's
// instance may be larger) when the class keeps some and its stock has room;
// never asked for a block the collector finalized (its mark would stay).
template <class Cls>
bool keep_dropped_instance([[maybe_unused]] PyObject* block) noexcept {
  if constexpr (HasInstanceStock<Cls>) {
    return Py_TYPE(block) == type_object<Cls>() && instance_stock<Cls>.keep(block);
  } else {
    return false;
  }
}

template <class Cls>
constexpr const char* module_of() {
  if constexpr (HasModule<Cls>) {
    return Cls::module;
  } else {
    return "_native";
  }
}

inline const Params kNoParams{};

void check_table(std::string_view owner, std::string_view name, const Params& params);

template <class Fn>
PyCFunction as_cfunction(Fn fn) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// Runs `call(record)` on a method's self after the thread check.
template <class Cls, class F>
OwnedRef with_record(PyObject* self, F&& call) {
  using Record = typename Cls::Record;
  auto* instance = Instance<Record>::of(self);
  check_owner_thread(instance->owner, Cls::internal_name);
  return std::forward<F>(call)(instance->record());
}

// A name for the errors of a table's entry, made at compile time: a call
// that matches pays nothing for it.
template <class Cls, std::size_t I>
inline constexpr FunctionName method_name{Cls::name, Cls::methods[I].name};
template <class Table, std::size_t I>
inline constexpr FunctionName function_name{{}, Table::functions[I].name};

template <class Cls, std::size_t I>
PyObject* method_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return enter([&] {
    constexpr const auto& method = Cls::methods[I];
    Args matched = Args::from_fastcall(method_name<Cls, I>, method.params, args, nargs, kwnames);
    return with_record<Cls>(self, [&](auto& record) { return method.fn(record, matched); });
  });
}

template <class Cls, std::size_t I>
PyObject* method_noargs(PyObject* self, PyObject*) noexcept {
  return enter([&] {
    constexpr const auto& method = Cls::methods[I];
    Args matched = Args::from_fastcall(method_name<Cls, I>, kNoParams, nullptr, 0, nullptr);
    return with_record<Cls>(self, [&](auto& record) { return method.fn(record, matched); });
  });
}

template <class Cls, std::size_t I>
PyObject* getter(PyObject* self, void*) noexcept {
  return enter([&] { return with_record<Cls>(self, [](auto& record) { return Cls::getters[I].fn(record); }); });
}

template <class Cls>
PyObject* constructor(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
  return enter([&] {
    Args matched = Args::from_tuple_dict({Cls::name, "__new__"}, Cls::constructor.params, args, kwargs);
    typename Cls::Record record = Cls::constructor.fn(matched);
    return emplace_instance<typename Cls::Record, HasTraverse<Cls>, tracked_at_birth<Cls>>(cls, std::move(record));
  });
}

template <class Cls>
void dealloc(PyObject* self) noexcept {
  GilMark mark;
  if constexpr (HasTraverse<Cls>) PyObject_GC_UnTrack(self);
  dealloc_instance<typename Cls::Record, HasTraverse<Cls>>(
      self, Cls::internal_name, keep_dropped_instance<Cls>, [](const typename Cls::Record& record) noexcept {
        if constexpr (HasForeignDropUndo<Cls>) Cls::dropped_elsewhere(record);
      });
}

// A heap type's instances visit their type; the record's references are
// visited on the creating thread only, where the runtime's state is read
// consistently (elsewhere they count as held from outside), and not once
// the record is finalized.
template <class Cls>
int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  auto* instance = Instance<typename Cls::Record>::of(self);
  if (instance->owner != current_thread_number()) return 0;
  return Cls::traverse(instance->record(), visit, arg);
}

template <class Cls>
void finalize(PyObject* self) noexcept {
  GilMark mark;
  finalize_record<typename Cls::Record>(self, Cls::internal_name);
}

template <class Table, std::size_t I>
PyObject* function_fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return enter([&] {
    constexpr const Function& function = Table::functions[I];
    Args matched = Args::from_fastcall(function_name<Table, I>, function.params, args, nargs, kwnames);
    return function.fn(matched);
  });
}

template <class Table, std::size_t I>
PyObject* function_noargs(PyObject*, PyObject*) noexcept {
  return enter([&] {
    Args matched = Args::from_fastcall(function_name<Table, I>, kNoParams, nullptr, 0, nullptr);
    return Table::functions[I].fn(matched);
  });
}

// One PyMethodDef per entry of a method or function table; the defs and
// their docs stay alive as long as the process.
template <class Entry, class Fast, class NoArgs>
PyMethodDef method_def(const Entry& entry, bool with_self, std::vector<std::string>& docs, Fast fast,
                       NoArgs noargs) {
  docs.push_back(text_signature_doc(entry.name, entry.params.view(), with_self));
  if (entry.params.empty()) return {entry.name, as_cfunction(noargs), METH_NOARGS, nullptr};
  return {entry.name, as_cfunction(fast), METH_FASTCALL | METH_KEYWORDS, nullptr};
}

template <class Cls>
struct TypeTables {
  std::string qualified_name;
  std::string doc;
  std::vector<std::string> docs;  // reserved up front: defs point into it
  std::vector<PyMethodDef> methods;
  std::vector<PyGetSetDef> getters;
  std::vector<PyType_Slot> slots;
  PyType_Spec spec{};

  TypeTables() {
    qualified_name = std::string(module_of<Cls>()) + "." + Cls::name;
    if constexpr (HasMethods<Cls>) {
      constexpr std::size_t n = std::size(Cls::methods);
      docs.reserve(n);
      [&]<std::size_t... I>(std::index_sequence<I...>) {
        (methods.push_back(method_def(Cls::methods[I], true, docs, &method_fastcall<Cls, I>,
                                      &method_noargs<Cls, I>)),
         ...);
      }(std::make_index_sequence<n>{});
      for (std::size_t i = 0; i < n; ++i) {
        check_table(Cls::name, Cls::methods[i].name, Cls::methods[i].params);
        methods[i].ml_doc = docs[i].c_str();
      }
      methods.push_back({nullptr, nullptr, 0, nullptr});
      slots.push_back({Py_tp_methods, methods.data()});
    }
    if constexpr (HasGetters<Cls>) {
      [&]<std::size_t... I>(std::index_sequence<I...>) {
        (getters.push_back({Cls::getters[I].name, &getter<Cls, I>, nullptr, nullptr, nullptr}), ...);
      }(std::make_index_sequence<std::size(Cls::getters)>{});
      getters.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
      slots.push_back({Py_tp_getset, getters.data()});
    }
    if constexpr (HasConstructor<Cls>) {
      check_table(Cls::name, "__new__", Cls::constructor.params);
      doc = text_signature_doc(Cls::name, Cls::constructor.params.view(), false);
      slots.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});
      slots.push_back({Py_tp_new, reinterpret_cast<void*>(&constructor<Cls>)});
    }
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Cls>)});
    unsigned int flags = Py_TPFLAGS_DEFAULT;
    if constexpr (HasTraverse<Cls>) {
      slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(&traverse<Cls>)});
      if constexpr (EndsWhenFinalized<Cls>) slots.push_back({Py_tp_finalize, reinterpret_cast<void*>(&finalize<Cls>)});
      flags |= Py_TPFLAGS_HAVE_GC;
    }
    slots.push_back({0, nullptr});
    // Without a constructor, instances are made only by the bindings; object's
    // tp_new must not be inherited (it would leave the record unconstructed).
    if constexpr (!HasConstructor<Cls>) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    spec = {qualified_name.c_str(), static_cast<int>(sizeof(Instance<typename Cls::Record>)), 0, flags,
            slots.data()};
  }
};

}  // namespace detail

namespace detail {

template <class Cls>
inline constinit PyTypeObject* made_type = nullptr;

// The first use's creation, kept out of line so that every later lookup is
// one inlined load.
template <class Cls>
[[gnu::noinline]] PyTypeObject* make_type_object() {
  static TypeTables<Cls> tables;
  made_type<Cls> = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&tables.spec)).release());
  return made_type<Cls>;
}

}  // namespace detail

// The class's type object, created on first use and kept for the process.
// Throws PyErrAlreadySet when it cannot be created.
template <class Cls>
PyTypeObject* type_object() {
  if (PyTypeObject* type = detail::made_type<Cls>) [[likely]] return type;
  return detail::make_type_object<Cls>();
}

// Prints the creation error and faults "failed to create type object for
// `{}`"; for code that makes instances.
[[noreturn]] void fail_type_object(const char* class_name, PyErrAlreadySet& error);

// A new instance of the class whose record is made from args in place (a
// record given whole is moved in once).
template <class Cls, class... A>
OwnedRef make_instance(A&&... args) {
  PyTypeObject* type = nullptr;
  try {
    type = type_object<Cls>();
  } catch (PyErrAlreadySet& e) {
    fail_type_object(Cls::name, e);
  }
  if constexpr (detail::HasInstanceStock<Cls>) {
    if (PyObject* kept = detail::instance_stock<Cls>.take(type)) {
      return emplace_record<typename Cls::Record, true, detail::tracked_at_birth<Cls>>(OwnedRef::steal(kept), type,
                                                                                       std::forward<A>(args)...);
    }
  }
  return emplace_instance<typename Cls::Record, detail::HasTraverse<Cls>, detail::tracked_at_birth<Cls>>(
      type, std::forward<A>(args)...);
}

// The record of an object known to be an instance of the class (or of a
// subclass), after the creating-thread check.
template <class Cls>
typename Cls::Record& checked_record(BorrowedRef object) {
  auto* instance = Instance<typename Cls::Record>::of(object.get());
  check_owner_thread(instance->owner, Cls::internal_name);
  return instance->record();
}

// The object if it is an instance of the class (or of a subclass), else the
// downcast TypeError naming the class.
template <class Cls>
BorrowedRef downcast(BorrowedRef object) {
  PyTypeObject* type = nullptr;
  try {
    type = type_object<Cls>();
  } catch (PyErrAlreadySet& e) {
    fail_type_object(Cls::name, e);
  }
  if (PyObject_TypeCheck(object.get(), type) == 0) throw_downcast_error(object, Cls::name);
  return object;
}

// Module start-up helpers: each add appends the name to __all__ (created on
// first use) before setting the attribute.
void append_to_all(PyObject* module, const char* name);

// One class added by module start-up: its Python name and its type object
// (the class's file exports the getter, kit::type_object<TheClass>).
struct ModuleClass {
  const char* name;
  PyTypeObject* (*type)();
};

void add_classes(PyObject* module, std::span<const ModuleClass> classes);

// Adds every function of `Table::functions` as a built-in bound to the module.
template <class Table>
void add_functions(PyObject* module) {
  constexpr std::size_t n = std::size(Table::functions);
  struct Defs {
    std::vector<std::string> docs;
    std::vector<PyMethodDef> defs;
  };
  static Defs* tables = [] {
    auto* t = new Defs();
    t->docs.reserve(n);
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (t->defs.push_back(detail::method_def(Table::functions[I], false, t->docs,
                                            &detail::function_fastcall<Table, I>,
                                            &detail::function_noargs<Table, I>)),
       ...);
    }(std::make_index_sequence<n>{});
    for (std::size_t i = 0; i < n; ++i) {
      detail::check_table({}, Table::functions[i].name, Table::functions[i].params);
      t->defs[i].ml_doc = t->docs[i].c_str();
    }
    return t;
  }();
  OwnedRef module_name = check(PyModule_GetNameObject(module));
  for (PyMethodDef& def : tables->defs) {
    OwnedRef function = check(PyCFunction_NewEx(&def, module, module_name.get()));
    append_to_all(module, def.ml_name);
    check_status(PyObject_SetAttrString(module, def.ml_name, function.get()));
  }
}

// Refuses a second interpreter: type objects and exception classes are made
// once per process, for the interpreter that imported the module first.
void claim_interpreter(PyObject* module);

// The module definition for multi-phase initialisation: no state, no method
// table, one exec slot running `Exec` inside the entry boundary.
template <void (*Exec)(PyObject* module)>
PyModuleDef* module_def(const char* name) {
  static PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(+[](PyObject* module) noexcept -> int {
         return enter_status([&] {
           if (!PyModule_Check(module)) throw_downcast_error(BorrowedRef(module), "PyModule");
           claim_interpreter(module);
           Exec(module);
         });
       })},
      {0, nullptr}};
  static PyModuleDef def = {PyModuleDef_HEAD_INIT, name, "", 0, nullptr, slots, nullptr, nullptr, nullptr};
  return &def;
}

}  // namespace korvalinth::kit
