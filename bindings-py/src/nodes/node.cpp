#include "nodes/node.hpp"

#include "boundary/guard.hpp"
#include "kit/class_table.hpp"
#include "kit/convert.hpp"
#include "node/arena/graph_core.hpp"
#include "node/topology/node_ops.hpp"
#include "node/topology/node_set.hpp"
#include "node/wave/wave_scope.hpp"
#include "nodes/node_hooks.hpp"
#include "subscriptions/subscription.hpp"
#include "values/kind_names.hpp"
#include "values/py_object_value.hpp"
#include "values/value_conversions.hpp"

namespace korvalinth::py {

namespace {

// ---- value and flow operations ----

// Pre-drain, the refusal of lookup handles, the delivery under the guard,
// post-drain. `op_text` names the operation in the refusal.
template <class Op>
kit::OwnedRef flow_operation(PyNode& self, const char* op_text, Op&& op) {
  // Found once: a record does not change, and calls would make it be read
  // again for each drain.
  const PendingFatalSlot& fatal = self.fatal();
  raise_pending_fatal(fatal);
  if (self.lookup_target()) {
    kit::throw_error(PyExc_RuntimeError, std::string(op_text) + " is not available on graph lookup handles");
  }
  run_guarded(fatal, std::forward<Op>(op));
  post_drain(fatal);
  return kit::py_none();
}

// Inline in its entry: a set is the call made most often from Python.
[[gnu::always_inline]] inline kit::OwnedRef node_set_method(PyNode& self, const kit::Args& args) {
  SharedValue value = make_py_value(args.new_ref(0));
  return flow_operation(self, "set()", [&] { node_set_in_boundary(self.primary(), value); });
}

kit::OwnedRef node_send_method(PyNode& self, const kit::Args& args) {
  SharedValue value = make_py_value(args.new_ref(0));
  return flow_operation(self, "send()", [&] { node_send(self.primary(), std::move(value)); });
}

kit::OwnedRef node_pause_method(PyNode& self, const kit::Args& args) {
  std::string lock_id = args.convert(0, kit::extract_str);
  return flow_operation(self, "pause()", [&] { node_pause(self.primary(), std::move(lock_id)); });
}

kit::OwnedRef node_resume_method(PyNode& self, const kit::Args& args) {
  std::string lock_id = args.convert(0, kit::extract_str);
  return flow_operation(self, "resume()", [&] { node_resume(self.primary(), std::move(lock_id)); });
}

kit::OwnedRef node_invalidate_method(PyNode& self, const kit::Args&) {
  return flow_operation(self, "invalidate()", [&] {
    check_live(self.primary());
    MessageList messages;
    messages.push_back(Message::invalidate());
    node_up_in_wave_scope(self.primary(), std::move(messages));
  });
}

// ---- subscribe ----

// The sink goes on the node the Node stands for (the found node of a lookup
// handle). An attachment that no Subscription will own is undone before the
// exception continues: after an abort or fault once the sink was registered,
// and when a callback stored a pending fatal meanwhile.
kit::OwnedRef node_subscribe_method(PyNode& self, const kit::Args& args) {
  kit::OwnedRef callback = args[0].new_ref();
  raise_pending_fatal(self.fatal());
  const UncountedNode& target = self.target();
  SinkRegistration registration;
  UnsubscribeFn action;
  try {
    action = run_guarded(self.fatal(), [&] {
      return node_subscribe(target, make_subscriber_sink(std::move(callback), self.fatal_share()), registration);
    });
  } catch (kit::PyErrAlreadySet&) {
    if (registration) {
      try {
        UnsubscribeActions undo;
        undo.emplace_back(*registration, target.promote_counted());
        undo_attachment(self.fatal(), std::move(undo));
      } catch (...) {
        // A node that is gone has no sink left to detach.
      }
    }
    throw;
  }
  UnsubscribeActions actions;
  actions.push_back(std::move(action));
  if (kit::OwnedRef exception = take_pending_fatal(self.fatal())) {
    undo_attachment(self.fatal(), std::move(actions));
    throw kit::PyErrAlreadySet(std::move(exception));
  }
  return make_subscription_object(self.fatal_share(), std::move(actions));
}

// ---- readers: the pre-drain only, outside the guard ----

// A fault of the read itself (a stale or freed slot) is a RuntimeError, as
// under the guard.
template <class Read>
auto read_slot(Read&& read) -> decltype(read()) {
  try {
    return read();
  } catch (const Fault& fault) {
    kit::throw_error(PyExc_RuntimeError, fault.has_text() ? fault.text() : std::string(kGraphOperationPanicked));
  }
}

kit::OwnedRef node_status(PyNode& self, const kit::Args&) {
  raise_pending_fatal(self.fatal());
  NodeStatus status = read_slot([&] { return status_of(self.target()); });
  return node_status_str(status);
}

// The cached value as Python, or nothing. A factory's Node gives only the
// object of a Python value; a lookup handle converts JSON values too and
// refuses foreign ones.
std::optional<kit::OwnedRef> cached_object(const PyNode& self) {
  raise_pending_fatal(self.fatal());
  if (self.lookup_target()) {
    SharedValue value = read_slot([&] { return cache_of(*self.lookup_target()); });
    if (!value) return std::nullopt;
    return cached_value_to_py(value);
  }
  SharedValue value = read_slot([&] { return cache_of(self.primary()); });
  if (const PyObjectValue* held = py_object_value_cast(value)) return held->object().new_ref();
  return std::nullopt;
}

kit::OwnedRef node_cache(PyNode& self, const kit::Args&) {
  std::optional<kit::OwnedRef> value = cached_object(self);
  return value ? std::move(*value) : kit::py_none();
}

kit::OwnedRef node_cache_entry(PyNode& self, const kit::Args&) {
  std::optional<kit::OwnedRef> value = cached_object(self);
  kit::OwnedRef has = kit::OwnedRef::new_ref(value ? Py_True : Py_False);
  kit::OwnedRef object = value ? std::move(*value) : kit::py_none();
  return kit::check(PyTuple_Pack(2, has.get(), object.get()));
}

// What the cores keep is their anchors' to visit.
int node_traverse(const PyNode& self, visitproc visit, void* arg) { return self.visit_anchors(visit, arg); }

struct NodeClass {
  using Record = PyNode;
  static constexpr auto traverse = node_traverse;
  static constexpr const char* name = "Node";
  static constexpr const char* internal_name = kNodeInternalName;
  // One Node per node built, most of them dropped soon after.
  static constexpr std::size_t kept_instances = 16;
  static constexpr kit::Method<PyNode> methods[] = {
      {"set", node_set_method, {{"value"}}},
      {"send", node_send_method, {{"value"}}},
      {"pause", node_pause_method, {{"lock_id"}}},
      {"resume", node_resume_method, {{"lock_id"}}},
      {"invalidate", node_invalidate_method},
      {"_up_dirty", node_up_dirty},
      {"_up_teardown", node_up_teardown},
      {"_conformance_up_pull", node_conformance_up_pull_method, {{"pull_id"}, {"params", kit::none}}},
      {"_conformance_up_pull_toward",
       node_conformance_up_pull_toward_method,
       {{"toward_dep"}, {"pull_id"}, {"params", kit::none}}},
      {"_conformance_up_data_forbidden", node_conformance_up_data_forbidden_method, {{"value"}}},
      {"_conformance_immediate_subscribe_dep", node_conformance_immediate_subscribe_dep_method, {{"dep"}, {"callback"}}},
      {"_conformance_immediate_unsubscribe_dep",
       node_conformance_immediate_unsubscribe_dep_method,
       {{"dep"}, {"callback"}}},
      {"_conformance_immediate_replace_deps", node_conformance_immediate_replace_deps_method, {{"deps"}, {"callback"}}},
      {"_conformance_c21_replace_with_live_dep",
       node_conformance_c21_replace_with_live_dep_method,
       {{"dep"}, {"async_handle"}}},
      {"_down_resolved", node_down_resolved},
      {"_down_dirty", node_down_dirty},
      {"_conformance_c22_down_data", node_conformance_c22_down_data_method, {{"value"}}},
      {"_down_invalidate", node_down_invalidate},
      {"_down_data_data_invalidate", node_down_data_data_invalidate_method, {{"first"}, {"second"}}},
      {"_conformance_c12_down_data_resolved", node_conformance_c12_down_data_resolved_method, {{"value"}}},
      {"_down_data_complete", node_down_data_complete_method, {{"value"}}},
      {"_down_complete", node_down_complete},
      {"_down_teardown", node_down_teardown},
      {"_down_error", node_down_error_method, {{"message"}}},
      {"cache", node_cache},
      {"cache_entry", node_cache_entry},
      {"status", node_status},
      {"subscribe", node_subscribe_method, {{"callback"}}},
  };
};

}  // namespace

PyTypeObject* node_type() { return kit::type_object<NodeClass>(); }

template <FactoryHandle Handle>
kit::OwnedRef make_node_object(const SharedFatalSlot& fatal, Handle&& primary) {
  return kit::make_instance<NodeClass>(fatal, std::move(primary));
}

template kit::OwnedRef make_node_object<HeldNode>(const SharedFatalSlot&, HeldNode&&);
template kit::OwnedRef make_node_object<NodeHandle>(const SharedFatalSlot&, NodeHandle&&);

kit::OwnedRef make_node_object(PyNode&& record) { return kit::make_instance<NodeClass>(std::move(record)); }

bool is_node(kit::BorrowedRef object) {
  PyTypeObject* type = nullptr;
  try {
    type = node_type();
  } catch (kit::PyErrAlreadySet& e) {
    kit::fail_type_object(NodeClass::name, e);
  }
  return PyObject_TypeCheck(object.get(), type) != 0;
}

}  // namespace korvalinth::py
