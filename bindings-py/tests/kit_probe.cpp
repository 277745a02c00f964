// A test-only module that drives the binding kit, the graph-operation guard
// and the callback rules from pytest. Never installed.

#include <array>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <thread>

#include "base/drop_fault.hpp"
#include "base/fault.hpp"
#include "boundary/callback_errors.hpp"
#include "boundary/guard.hpp"
#include "checkpoint/checkpoint_value_encoding.hpp"
#include "checkpoints/checkpoint_encoder.hpp"
#include "checkpoints/checkpoint_from_py.hpp"
#include "checkpoints/checkpoint_to_py.hpp"
#include "graphs/describe_output.hpp"
#include "host_boundary/host_boundary.hpp"
#include "json/json_value.hpp"
#include "kit/class_table.hpp"
#include "kit/convert.hpp"
#include "node/arena/construct.hpp"
#include "nodes/node.hpp"
#include "nodes/node_args.hpp"
#include "subscriptions/subscription.hpp"
#include "values/py_json.hpp"
#include "values/py_object_value.hpp"
#include "values/value_conversions.hpp"
#include "module/graph_class.hpp"
#include "node/wave/wave_scope.hpp"
#include "wire/bridge/bridge_messages.hpp"
#include "wires/wire_bridge_adapter.hpp"

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

// The matched objects of (a, b=None, c=True, d=False) and whether each was
// given, as ((a, b, c, d), (given_a, ..., given_d)).
OwnedRef echo_given(const Args& args) {
  OwnedRef values = tuple_of({args[0].get(), args[1].get(), args[2].get(), args[3].get()});
  auto flag = [&](std::size_t i) { return args.given(i) ? Py_True : Py_False; };
  OwnedRef given = tuple_of({flag(0), flag(1), flag(2), flag(3)});
  return tuple_of({values.get(), given.get()});
}

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

// Takes the GIL guard from a C++ exit handler, after the interpreter has
// been finalized, and says whether it was held.
OwnedRef guard_after_finalization(const Args&) {
  std::atexit([] {
    kit::GilGuard gil;
    std::puts(gil.held() ? "guard held" : "guard not held");
    std::fflush(stdout);
  });
  return kit::py_none();
}

// ---- Python values in the runtime ----

// The object after a trip through a runtime value and back.
OwnedRef value_roundtrip(const Args& args) { return cached_value_to_py(make_py_value(args[0].new_ref())); }

// Makes a value of the object and drops its last share on a thread that
// holds no GIL: the release must wait for the next binding frame.
OwnedRef drop_value_off_thread(const Args& args) {
  SharedValue value = make_py_value(args[0].new_ref());
  std::thread([v = std::move(value)]() mutable { v.reset(); }).join();
  return kit::py_none();
}

// cached_value_to_py of a value of the kind named: "json" (the JSON text
// parsed into a JSON value) or "foreign" (a value of another type).
OwnedRef cached_value(const Args& args) {
  std::string kind(kit::str_view(args[0]));
  if (kind == "json") return cached_value_to_py(make_json_value(Json::parse(std::string(kit::str_view(args[1])))));
  return cached_value_to_py(make_value<std::string>("foreign"));
}

// The dep arguments of a value callback for deps given as a list: an object gives a Python value,
// a str "json:..." a JSON value, None no DATA.
OwnedRef dep_data(const Args& args) {
  DepInputs inputs;
  OwnedRef items = kit::check(PySequence_List(args[0].get()));
  for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    DepInput input;
    if (PyUnicode_Check(item) && kit::str_view(kit::BorrowedRef(item)).starts_with("json:")) {
      input.current = make_json_value(Json::parse(kit::str_view(kit::BorrowedRef(item)).substr(5)));
    } else if (item != Py_None) {
      input.current = make_py_value(OwnedRef::new_ref(item));
    }
    inputs.push_back(std::move(input));
  }
  DepArguments arguments(inputs);
  OwnedRef out = kit::check(PyList_New(0));
  const std::size_t n = arguments.nargsf() & ~PY_VECTORCALL_ARGUMENTS_OFFSET;
  for (std::size_t i = 0; i < n; ++i) kit::check_status(PyList_Append(out.get(), arguments.argv()[i]));
  return out;
}

// The registered checkpoint encoding of a Python value, through the writer's
// registry: ("data", json text) or ("error", text).
OwnedRef checkpoint_encode(const Args& args) {
  std::string path(kit::str_view(args[1]));
  auto encoded = encode_checkpoint_value(make_py_value(args[0].new_ref()), true, path);
  if (!encoded) return tuple_of({kit::to_py_str("error").get(), kit::to_py_str(encoded.error()).get()});
  return tuple_of({kit::to_py_str("data").get(), kit::to_py_str(encoded->data.dump()).get()});
}

OwnedRef encoder_on_foreign_value(const Args&) {
  auto encoded = encode_python_checkpoint_value(make_value<int>(3), "$.nodes[0].value");
  return kit::to_py_str(encoded ? std::string("ok") : encoded.error());
}

OwnedRef bytes_like(const Args& args) {
  auto bytes = extract_bytes_like(args[0]);
  if (!bytes) return kit::py_none();
  return kit::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes->data()),
                                              static_cast<Py_ssize_t>(bytes->size())));
}

// ---- strict JSON ----

// The compact text of the converted object (keys in the tree's order).
OwnedRef to_json_text(const Args& args) { return kit::to_py_str(py_to_strict_json(args[0]).dump()); }

// The object converted to JSON and back.
OwnedRef json_roundtrip(const Args& args) { return json_value_to_py(py_to_strict_json(args[0])); }

// A JSON text parsed by the codec's library, then turned into Python.
OwnedRef json_text_to_py(const Args& args) { return json_value_to_py(Json::parse(std::string(kit::str_view(args[0])))); }

// A Python checkpoint read into records through its JSON tree and in
// place: for each, ("read", the records' JSON form), ("refused", text), or
// ("raised", the exception).
OwnedRef checkpoint_reads(const Args& args) {
  auto outcome = [&](auto read) {
    try {
      std::expected<GraphCheckpoint, std::string> records = read();
      if (!records) {
        OwnedRef text = kit::decode_utf8(records.error());
        return tuple_of({kit::to_py_str("refused").get(), text.get()});
      }
      OwnedRef form = json_value_to_py(serialize_checkpoint(*records));
      return tuple_of({kit::to_py_str("read").get(), form.get()});
    } catch (kit::PyErrAlreadySet& e) {
      OwnedRef exception = e.take();
      return tuple_of({kit::to_py_str("raised").get(), exception.get()});
    }
  };
  OwnedRef via_json = outcome([&] { return deserialize_checkpoint(py_to_strict_json(args[0])); });
  OwnedRef in_place = outcome([&] { return checkpoint_from_py(args[0]); });
  return tuple_of({via_json.get(), in_place.get()});
}

// A checkpoint read into records, then made Python twice: through its JSON
// form and straight from the records; with the same pair for each node.
OwnedRef checkpoint_forms(const Args& args) {
  auto records = deserialize_checkpoint(py_to_strict_json(args[0]));
  if (!records) kit::throw_error(PyExc_ValueError, records.error());
  OwnedRef nodes = kit::check(PyList_New(0));
  for (const GraphCheckpointNode& node : records->nodes) {
    OwnedRef via_json = json_value_to_py(serialize_checkpoint_node(node));
    OwnedRef direct = checkpoint_node_to_py(node);
    OwnedRef pair = tuple_of({via_json.get(), direct.get()});
    kit::check_status(PyList_Append(nodes.get(), pair.get()));
  }
  OwnedRef via_json = json_value_to_py(serialize_checkpoint(*records));
  OwnedRef direct = checkpoint_to_py(*records);
  return tuple_of({via_json.get(), direct.get(), nodes.get()});
}

// ---- node arguments ----

template <class Refs>
OwnedRef list_of(const Refs& deps) {
  OwnedRef out = kit::check(PyList_New(0));
  for (const OwnedRef& dep : deps) kit::check_status(PyList_Append(out.get(), dep.get()));
  return out;
}

OwnedRef deps_of(const Args& args) { return list_of(args.convert(0, extract_deps)); }

// The node factories' inline road, which must read deps as deps_of does.
OwnedRef dep_refs_of(const Args& args) { return list_of(args.convert(0, extract_dep_refs)); }

// The options record read from the arguments, as a tuple of its fields.
OwnedRef node_options(const Args& args) {
  NodeOptionArgs read{
      .name = args.convert(0, kit::extract_optional_str),
      .partial = args.convert(1, kit::extract_bool),
      .complete_when_deps_complete = args.convert(2, kit::extract_bool),
      .error_when_deps_error = args.convert(3, kit::extract_bool),
      .terminal_as_real_input = args.convert(4, kit::extract_bool),
      .pausable = args.convert(5, kit::extract_optional_str),
      .pull_id = args.convert(6, kit::extract_optional_str),
  };
  NodeOptions o = node_options_from_py(std::move(read));
  auto text = [](const std::optional<std::string>& t) { return t ? kit::to_py_str(*t) : kit::py_none(); };
  auto flag = [](bool b) { return OwnedRef::new_ref(b ? Py_True : Py_False); };
  return tuple_of({text(o.name).get(), flag(o.partial).get(), flag(o.complete_when_deps_complete).get(),
                   flag(o.error_when_deps_error).get(), flag(o.terminal_as_real_input).get(),
                   kit::check(PyLong_FromLong(static_cast<long>(o.pause_mode))).get(), text(o.pull_id).get(),
                   flag(o.restore.has_value() || o.versioning.choice != VersioningForm::Choice::GraphPolicy || o.dispatch_partition != 0).get()});
}

OwnedRef flag(const Args& args) { return OwnedRef::new_ref(args.convert(0, kit::extract_bool) ? Py_True : Py_False); }

OwnedRef text(const Args& args) { return kit::to_py_str(args.convert(0, kit::extract_str)); }

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
    if (how == "kept") {
      // A fault a destructor kept during the operation, which itself succeeds.
      drop_quietly([] { fault("kept by a destructor"); });
    }
    return kit::py_none();
  });
}

// A Node sharing the probe's slot, on a node built alone in a fresh core:
// holding `value` when given (a JSON value parsed from `json` when that is
// given instead); a graph lookup handle on it when `lookup` is true.
OwnedRef probe_make_node(Probe& self, const Args& args) {
  SharedValue initial;
  if (args.given(0)) initial = make_py_value(args[0].new_ref());
  if (args[2].get() != Py_None) initial = make_json_value(Json::parse(std::string(kit::str_view(args[2]))));
  DispatcherRef dispatcher = Dispatcher::thread_default();
  NodeHandle node = construct_node(GraphCore::create(), {}, std::nullopt, dispatcher, std::move(initial), NodeSpec{});
  if (args[1].get() != Py_True) return make_node_object(self.fatal, std::move(node));
  NodeHandle placeholder = construct_node(GraphCore::create(), {}, std::nullopt, dispatcher, nullptr, NodeSpec{});
  return make_node_object(PyNode(self.fatal, std::move(node), std::move(placeholder)));
}

// A Node whose node is gone: its slot released, the Node's handle stale.
OwnedRef probe_make_stale_node(Probe& self, const Args&) {
  NodeHandle node = construct_node(GraphCore::create(), {}, std::nullopt, Dispatcher::thread_default(), nullptr,
                                   NodeSpec{});
  UncountedNode stale = node.uncounted();
  node.drop();
  return make_node_object(self.fatal, HeldNode(std::move(stale)));
}

// Two Nodes sharing the probe's slot on one node holding `value`, built
// alone in a fresh core: one on its uncounted name, then one holding its one
// unit of the count. Either keeps the core alive.
OwnedRef probe_make_node_pair(Probe& self, const Args& args) {
  NodeHandle node = construct_node(GraphCore::create(), {}, std::nullopt, Dispatcher::thread_default(),
                                   make_py_value(args[0].new_ref()), NodeSpec{});
  OwnedRef uncounted = make_node_object(self.fatal, HeldNode(node.uncounted()));
  OwnedRef counted = make_node_object(self.fatal, std::move(node));
  return tuple_of({uncounted.get(), counted.get()});
}

// The host holds on the core of the node a Node names: one per Node naming
// one of its nodes.
OwnedRef probe_host_holds(Probe&, const Args& args) {
  NodeBorrow node(args[0]);
  const CoreRef& core = node->primary().core();
  return kit::check(PyLong_FromSize_t(core ? core->host_holds() : 0));
}

// Calls a new subscriber sink (or, with `path`, a new observer sink whose
// sequence counter starts at 7) over `callback` with one message of the
// kind named ("PAUSE", "RESUME", "PULL", "ERROR", "TEARDOWN"), `text` being
// its lock id, pull id or error text.
// The message of the kind named, with `text` as its lock id, pull id or
// error text; a DATA holds `text` as a Python str, or the JSON value after
// "json:".
Message probe_message(const std::string& kind, const std::string& text) {
  if (kind == "PAUSE") return Message::pause(text);
  if (kind == "RESUME") return Message::resume(text);
  if (kind == "PULL") return Message::pull(text, make_py_value(OwnedRef::new_ref(Py_None)));
  if (kind == "ERROR") return Message::error(make_text_error(text));
  if (kind == "START") return Message::start();
  if (kind == "DIRTY") return Message::dirty();
  if (kind == "RESOLVED") return Message::resolved();
  if (kind == "INVALIDATE") return Message::invalidate();
  if (kind == "COMPLETE") return Message::complete();
  if (kind == "DATA" && text.starts_with("json:")) return Message::data(make_json_value(Json::parse(text.substr(5))));
  if (kind == "DATA") return Message::data(make_py_value(kit::to_py_str(text)));
  return Message::teardown();
}

OwnedRef probe_sink_call(Probe& self, const Args& args) {
  std::string kind(kit::str_view(args[1]));
  std::string text = args[2].get() == Py_None ? std::string() : std::string(kit::str_view(args[2]));
  Message message = probe_message(kind, text);
  SharedSink sink;
  if (args[3].get() == Py_None) {
    sink = make_subscriber_sink(args[0].new_ref(), self.fatal);
  } else {
    auto seq = std::make_shared<Cell<std::uint64_t>>(7);
    sink = make_observer_sink(std::string(kit::str_view(args[3])), std::move(seq), args[0], self.fatal);
  }
  graph_operation(*self.fatal, [&] { sink->call(message); });
  return kit::py_none();
}

// ---- wire bridges ----

// A Graph of this module's own copy of the runtime: the wire adapters it
// builds take only bridges of this copy.
OwnedRef graph(const Args& args) {
  std::optional<std::string> name = args.convert(0, kit::extract_optional_str);
  return make_graph_object(PyGraph(GraphContainer::create(std::move(name), nullptr, false), make_pending_fatal_slot()));
}

// Makes the bridge send "data" with the bytes given, or "ack" for the seq
// given: no module call makes a bridge send an ACK, which a test whose two
// sides both send needs.
OwnedRef bridge_send(const Args& args) {
  WireBridgeArgument bridge(args.convert(0, as_wire_bridge));
  const std::string_view kind = kit::str_view(args[1]);
  WireBridgeCommand command =
      kind == "data" ? WireBridgeCommand(bridge_command::Data{*extract_bytes_like(args[2]), std::nullopt, std::nullopt})
                     : WireBridgeCommand(bridge_command::Ack{std::nullopt, std::nullopt, kit::extract_u64(args[2])});
  MessageList messages;
  messages.push_back(Message::data(make_value<WireBridgeCommand>(std::move(command))));
  PendingFatalSlot unused;
  run_guarded(unused, [&] { down_in_wave_scope(bridge.get().bridge->command, std::move(messages)); });
  return kit::py_none();
}

// ---- the cycle collector ----

// What the collector does first to an object it found in unreachable garbage.
OwnedRef collector_finalize(const Args& args) {
  auto finalize = reinterpret_cast<destructor>(PyType_GetSlot(Py_TYPE(args[0].get()), Py_tp_finalize));
  if (finalize == nullptr) kit::throw_error(PyExc_TypeError, "the collector does not finalize the object's class");
  finalize(args[0].get());
  return kit::py_none();
}

// ---- describe output ----

// A description holding every value kind, converted as Graph.describe does.
OwnedRef describe_sample(const Args&) {
  GraphDescription d;
  auto add = [&](std::string id, std::optional<DescribedValue> value) {
    NodeDescription n;
    n.id = std::move(id);
    n.factory = "state";
    n.status = value ? NodeStatus::Settled : NodeStatus::Sentinel;
    n.value = std::move(value);
    d.nodes.push_back(std::move(n));
  };
  add("t", true);
  add("f", false);
  add("i", std::int64_t{INT64_MIN});
  add("u", std::uint64_t{UINT64_MAX});
  add("x", 1.5);
  add("s", std::string("snowman \u2603"));
  add("o", OpaqueValue{});
  add("none", std::nullopt);
  NodeDescription meta;
  meta.id = "meta";
  meta.name = "m";
  meta.factory = "derived";
  meta.status = NodeStatus::Settled;
  meta.value = OpaqueValue{};
  meta.deps = {"t", "f"};
  meta.metadata = std::map<std::string, std::string>{{"b", "2"}, {"a", "1"}};
  d.nodes.push_back(std::move(meta));
  d.edges = {{"t", "meta"}, {"f", "meta"}};
  GraphDescription sub;
  sub.name = "sub";
  d.subgraphs = std::vector<GraphDescription>{};
  d.subgraphs->push_back(std::move(sub));
  return describe_to_py(std::move(d));
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
      {"make_stale_node", probe_make_stale_node},
      {"make_node_pair", probe_make_node_pair, {{"value"}}},
      {"host_holds", probe_host_holds, {{"node"}}},
      {"sink_call", probe_sink_call, {{"callback"}, {"kind"}, {"text", kit::none}, {"path", kit::none}}},
      {"make_node", probe_make_node, {{"value", kit::none}, {"lookup", kit::no}, {"json", kit::none}}},
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
      {"echo_given", echo_given, {{"a"}, {"b", kit::none}, {"c", kit::yes}, {"d", kit::no}}},
      {"optional_str", optional_str, {{"value", kit::none}}},
      {"fault_outside_guard", fault_outside_guard, {{"text"}}},
      {"abort_outside_guard", abort_outside_guard},
      {"depth", depth},
      {"exception_message", exception_message, {{"exception"}}},
      {"make_probe", make_probe},
      {"guard_after_finalization", guard_after_finalization},
      {"value_roundtrip", value_roundtrip, {{"value"}}},
      {"drop_value_off_thread", drop_value_off_thread, {{"value"}}},
      {"cached_value", cached_value, {{"kind"}, {"text", kit::none}}},
      {"dep_data", dep_data, {{"deps"}}},
      {"checkpoint_encode", checkpoint_encode, {{"value"}, {"path"}}},
      {"encoder_on_foreign_value", encoder_on_foreign_value},
      {"bytes_like", bytes_like, {{"value"}}},
      {"to_json_text", to_json_text, {{"value"}}},
      {"json_roundtrip", json_roundtrip, {{"value"}}},
      {"json_text_to_py", json_text_to_py, {{"text"}}},
      {"checkpoint_forms", checkpoint_forms, {{"checkpoint"}}},
      {"checkpoint_reads", checkpoint_reads, {{"checkpoint"}}},
      {"deps_of", deps_of, {{"deps"}}},
      {"dep_refs_of", dep_refs_of, {{"deps"}}},
      {"flag", flag, {{"flag"}}},
      {"node_options",
       node_options,
       {{"name", kit::none},
        {"partial", kit::no},
        {"complete_when_deps_complete", kit::yes},
        {"error_when_deps_error", kit::yes},
        {"terminal_as_real_input", kit::no},
        {"pausable", kit::none},
        {"pull_id", kit::none}}},
      {"text", text, {{"text"}}},
      {"describe_sample", describe_sample},
      {"graph", graph, {{"name", kit::none}}},
      {"bridge_send", bridge_send, {{"bridge"}, {"kind"}, {"value"}}},
      {"collector_finalize", collector_finalize, {{"object"}}},
  };
};

const kit::ModuleClass kClasses[] = {{"Probe", probe_type}};

void exec_module(PyObject* module) {
  // This module links its own copy of the runtime, with its own registry.
  register_python_checkpoint_encoder();
  kit::add_classes(module, kClasses);
  kit::add_functions<Functions>(module);
}

}  // namespace

}  // namespace korvalinth::py

PyMODINIT_FUNC PyInit__kit_probe() {
  return PyModuleDef_Init(korvalinth::kit::module_def<korvalinth::py::exec_module>("_kit_probe"));
}
