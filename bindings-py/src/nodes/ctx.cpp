#include "nodes/ctx.hpp"

#include "json/json_value.hpp"
#include "kit/class_table.hpp"
#include "kit/convert.hpp"
#include "nodes/node.hpp"
#include "nodes/node_args.hpp"
#include "values/py_json.hpp"
#include "values/py_object_value.hpp"
#include "values/value_conversions.hpp"

namespace korvalinth::py {

namespace {

constexpr const char* kInternalName = "_native::PyCtx";

// Arguments are converted before this check, so a refused call still
// reports a wrong argument first; what they took is released on the way out.
void require_valid(const PyCtx& self) {
  if (!self.in_callback) kit::throw_error(PyExc_RuntimeError, kCtxInvalid);
}

const DepInput& dep_at(const PyCtx& self, std::uint64_t index) {
  if (index >= self.dep_inputs->size()) kit::throw_error(PyExc_IndexError, kDepIndexOutOfRange);
  return (*self.dep_inputs)[index];
}

kit::OwnedRef entry_pair(std::optional<kit::OwnedRef> value) {
  kit::OwnedRef has = kit::OwnedRef::new_ref(value ? Py_True : Py_False);
  kit::OwnedRef object = value ? std::move(*value) : kit::py_none();
  return kit::check(PyTuple_Pack(2, has.get(), object.get()));
}

kit::OwnedRef new_list() { return kit::check(PyList_New(0)); }

void append(const kit::OwnedRef& list, const kit::OwnedRef& item) {
  kit::check_status(PyList_Append(list.get(), item.get()));
}

// The object of a Python value, the Python form of a JSON value; nothing
// for no value or one of another type.
std::optional<kit::OwnedRef> held_or_json(const SharedValue& value) {
  if (const PyObjectValue* held = py_object_value_cast(value)) return held->object().new_ref();
  if (const Json* json = json_value_cast(value)) return json_value_to_py(*json);
  return std::nullopt;
}

void queue(PyCtx& self, CtxAction&& action) {
  auto actions = self.actions->borrow_mut();
  actions->push_back(std::move(action));
}

kit::OwnedRef queued(PyCtx& self, CtxAction&& action) {
  queue(self, std::move(action));
  return kit::py_none();
}

// ---- readers ----

kit::OwnedRef ctx_dep_len(PyCtx& self, const kit::Args&) {
  require_valid(self);
  return kit::check(PyLong_FromSize_t(self.dep_inputs->size()));
}

kit::OwnedRef ctx_data_entry(PyCtx& self, const kit::Args& args) {
  std::uint64_t index = args.convert(0, kit::extract_u64);
  require_valid(self);
  return entry_pair(held_or_json(dep_at(self, index).current));
}

kit::OwnedRef ctx_wave_data(PyCtx& self, const kit::Args& args) {
  kit::BorrowedRef sentinel = args[0];
  require_valid(self);
  kit::OwnedRef deps = new_list();
  for (const DepInput& input : *self.dep_inputs) {
    kit::OwnedRef waves = new_list();
    for (const DeliveryView delivery : input.deliveries()) {
      kit::OwnedRef wave = new_list();
      for (const SharedValue& value : delivery) {
        append(wave, value ? cached_value_to_py(value) : sentinel.new_ref());
      }
      append(waves, wave);
    }
    append(deps, waves);
  }
  return deps;
}

kit::OwnedRef ctx_terminal(PyCtx& self, const kit::Args& args) {
  std::uint64_t index = args.convert(0, kit::extract_u64);
  require_valid(self);
  const TerminalRecord& terminal = dep_at(self, index).terminal();
  if (!terminal.present) return kit::OwnedRef::new_ref(Py_False);
  if (terminal.error) return kit::to_py_str(*terminal.error);
  return kit::OwnedRef::new_ref(Py_True);
}

kit::OwnedRef ctx_pull_context(PyCtx& self, const kit::Args&) {
  require_valid(self);
  if (!self.pull_id) return kit::py_none();
  kit::OwnedRef id = kit::to_py_str(*self.pull_id);
  const PyObjectValue* held = py_object_value_cast(self.pull_params);
  kit::OwnedRef params = held ? held->object().new_ref() : kit::py_none();
  return kit::check(PyTuple_Pack(2, id.get(), params.get()));
}

// The callback's own latest set_state wins over the snapshot.
kit::OwnedRef ctx_state_entry(PyCtx& self, const kit::Args&) {
  require_valid(self);
  {
    auto actions = self.actions->borrow();
    for (std::size_t i = actions->size(); i-- > 0;) {
      const CtxAction& action = (*actions)[i];
      if (action.kind == CtxActionKind::SetState) return entry_pair(action.object.borrow().new_ref());
    }
  }
  if (self.state) return entry_pair(self.state.borrow().new_ref());
  return entry_pair(std::nullopt);
}

// ---- requests ----

CtxAction with_object(CtxActionKind kind, kit::BorrowedRef object) {
  return CtxAction{kind, object.new_ref(), false, {}, std::nullopt, {}};
}

kit::OwnedRef ctx_emit(PyCtx& self, const kit::Args& args) {
  CtxAction action = with_object(CtxActionKind::Emit, args[0]);
  require_valid(self);
  return queued(self, std::move(action));
}

kit::OwnedRef ctx_set_state(PyCtx& self, const kit::Args& args) {
  CtxAction action = with_object(CtxActionKind::SetState, args[0]);
  require_valid(self);
  return queued(self, std::move(action));
}

kit::OwnedRef ctx_state_persist(PyCtx& self, const kit::Args& args) {
  bool on = args.convert(0, kit::extract_bool);
  require_valid(self);
  return queued(self, CtxAction{CtxActionKind::StatePersist, {}, on, {}, std::nullopt, {}});
}

kit::OwnedRef ctx_on_invalidate(PyCtx& self, const kit::Args& args) {
  CtxAction action = with_object(CtxActionKind::OnInvalidate, args[0]);
  require_valid(self);
  return queued(self, std::move(action));
}

kit::OwnedRef ctx_on_deactivation(PyCtx& self, const kit::Args& args) {
  CtxAction action = with_object(CtxActionKind::OnDeactivation, args[0]);
  require_valid(self);
  return queued(self, std::move(action));
}

// A single dep is taken as every deps argument is: a graph lookup handle
// stands for the node it found.
kit::OwnedRef rewire_one_dep(PyCtx& self, const kit::Args& args, CtxActionKind kind) {
  kit::BorrowedRef dep = args.convert(0, downcast_node);
  CtxAction action = with_object(kind, args[1]);
  require_valid(self);
  action.deps.push_back(dep_handle_of(dep));
  return queued(self, std::move(action));
}

kit::OwnedRef ctx_rewire_next_subscribe_dep(PyCtx& self, const kit::Args& args) {
  return rewire_one_dep(self, args, CtxActionKind::RewireNextSubscribeDep);
}

kit::OwnedRef ctx_rewire_next_unsubscribe_dep(PyCtx& self, const kit::Args& args) {
  return rewire_one_dep(self, args, CtxActionKind::RewireNextUnsubscribeDep);
}

kit::OwnedRef ctx_rewire_next_replace_deps(PyCtx& self, const kit::Args& args) {
  std::vector<kit::OwnedRef> deps = args.convert(0, extract_deps);
  CtxAction action = with_object(CtxActionKind::RewireNextReplaceDeps, args[1]);
  require_valid(self);
  action.deps = dep_handles_of(deps);
  return queued(self, std::move(action));
}

kit::OwnedRef pull_request(PyCtx& self, const kit::Args& args, CtxActionKind kind) {
  CtxAction action{kind, {}, false, args.convert(0, kit::extract_str), std::nullopt, {}};
  action.object = args.unless_none(1);
  action.toward_dep = args.convert_unless_none(2, kit::extract_u64);
  require_valid(self);
  return queued(self, std::move(action));
}

kit::OwnedRef ctx_up_next_pull(PyCtx& self, const kit::Args& args) {
  return pull_request(self, args, CtxActionKind::UpNextPull);
}

kit::OwnedRef ctx_up_pull(PyCtx& self, const kit::Args& args) { return pull_request(self, args, CtxActionKind::UpPull); }

kit::OwnedRef ctx_conformance_up_data(PyCtx& self, const kit::Args& args) {
  CtxAction action = with_object(CtxActionKind::ConformanceUpData, args[0]);
  require_valid(self);
  return queued(self, std::move(action));
}

kit::OwnedRef ctx_conformance_down_complete(PyCtx& self, const kit::Args&) {
  require_valid(self);
  return queued(self, CtxAction{CtxActionKind::ConformanceDownComplete, {}, false, {}, std::nullopt, {}});
}

// A kept Ctx owns its ctx state's object, its pull params when no one else
// shares them, and its share of the node's core.
int ctx_traverse(const PyCtx& self, visitproc visit, void* arg) {
  Py_VISIT(self.state.get());
  if (self.pull_params.is_last_share()) {
    if (int stop = self.pull_params->visit_host_refs([&](void* object) { return visit(static_cast<PyObject*>(object), arg); }))
      return stop;
  }
  return self.kept.visit(visit, arg);
}

struct CtxClass {
  using Record = PyCtx;
  static constexpr const char* name = "Ctx";
  static constexpr const char* internal_name = kInternalName;
  static constexpr auto traverse = ctx_traverse;
  // One per callback run, nearly all of them dropped as it returns; a wave
  // down a chain of nodes holds one per node it is inside.
  static constexpr bool tracked_on_demand = true;
  static constexpr std::size_t kept_instances = 128;
  static constexpr kit::Method<PyCtx> methods[] = {
      {"dep_len", ctx_dep_len},
      {"data_entry", ctx_data_entry, {{"index"}}},
      {"wave_data", ctx_wave_data, {{"sentinel"}}},
      {"terminal", ctx_terminal, {{"index"}}},
      {"_pull_context", ctx_pull_context},
      {"emit", ctx_emit, {{"value"}}},
      {"state_entry", ctx_state_entry},
      {"set_state", ctx_set_state, {{"value"}}},
      {"state_persist", ctx_state_persist, {{"on", kit::yes}}},
      {"on_invalidate", ctx_on_invalidate, {{"callback"}}},
      {"on_deactivation", ctx_on_deactivation, {{"callback"}}},
      {"_rewire_next_subscribe_dep", ctx_rewire_next_subscribe_dep, {{"dep"}, {"callback"}}},
      {"_rewire_next_unsubscribe_dep", ctx_rewire_next_unsubscribe_dep, {{"dep"}, {"callback"}}},
      {"_rewire_next_replace_deps", ctx_rewire_next_replace_deps, {{"deps"}, {"callback"}}},
      {"_up_next_pull", ctx_up_next_pull, {{"pull_id"}, {"params", kit::none}, {"toward_dep", kit::none}}},
      {"_up_pull", ctx_up_pull, {{"pull_id"}, {"params", kit::none}, {"toward_dep", kit::none}}},
      {"_conformance_up_data", ctx_conformance_up_data, {{"value"}}},
      {"_conformance_down_complete", ctx_conformance_down_complete},
  };
};

}  // namespace

PyCtx::~PyCtx() {
  kept.reset();
  node = NodeHandle();
  pull_id.reset();
  pull_params.reset();
  state.reset();
}

PyTypeObject* ctx_type() { return kit::type_object<CtxClass>(); }

kit::OwnedRef make_ctx_object(const RunContext& run, CtxActionQueue& actions) {
  PyCtx record;
  if (std::optional<kit::OwnedRef> state = value_to_py(run.node)) record.state = std::move(*state);
  record.dep_inputs = &run.inputs;
  record.actions = &actions;
  record.node = run.node.promote_counted();
  if (run.pull) {
    record.pull_id = run.pull->pull_id;
    record.pull_params = run.pull->params;
  }
  return kit::make_instance<CtxClass>(std::move(record));
}

void invalidate_ctx(kit::BorrowedRef ctx) noexcept {
  PyCtx& record = kit::Instance<PyCtx>::of(ctx.get())->record();
  record.in_callback = false;
  record.dep_inputs = nullptr;
  record.actions = nullptr;
  // The caller's reference is the only one unless the callback kept the Ctx.
  if (Py_REFCNT(ctx.get()) == 1) return;
  try {
    record.kept = CoreShare(record.node.core(), 1);
  } catch (...) {
    // Without its share the Ctx keeps the core from the anchor's view.
    kit::report_current_exception_unraisable(ctx);
  }
  kit::track_instance(ctx);
}

}  // namespace korvalinth::py
