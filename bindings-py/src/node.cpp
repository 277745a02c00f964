#include "node.hpp"

#include "kit/class_table.hpp"
#include "kit/convert.hpp"
#include "node/graph_core.hpp"
#include "py_object_value.hpp"
#include "value_conversions.hpp"

namespace korvalinth::py {

namespace {

constexpr const char* kInternalName = "_native::PyNode";

kit::Instance<PyNode>* instance_of(kit::BorrowedRef node) noexcept {
  return kit::Instance<PyNode>::of(node.get());
}

PyNode& checked(kit::BorrowedRef node) {
  kit::Instance<PyNode>* instance = instance_of(node);
  kit::check_owner_thread(instance->owner, kInternalName);
  return instance->record();
}

// ---- readers: the pre-drain only, outside the guard ----

kit::OwnedRef node_status(PyNode& self, const kit::Args&) {
  raise_pending_fatal(*self.fatal);
  return kit::to_py_str(node_status_name(status_of(self.target())));
}

// The cached value as Python, or nothing. A factory's Node gives only the
// object of a Python value; a lookup handle converts JSON values too and
// refuses foreign ones.
std::optional<kit::OwnedRef> cached_object(const PyNode& self) {
  raise_pending_fatal(*self.fatal);
  if (self.lookup_target) {
    SharedValue value = cache_of(*self.lookup_target);
    if (!value) return std::nullopt;
    return cached_value_to_py(value);
  }
  SharedValue value = cache_of(self.primary);
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

struct NodeClass {
  using Record = PyNode;
  static constexpr const char* name = "Node";
  static constexpr const char* internal_name = kInternalName;
  static constexpr kit::Method<PyNode> methods[] = {
      {"cache", node_cache},
      {"cache_entry", node_cache_entry},
      {"status", node_status},
  };
};

}  // namespace

PyNode::~PyNode() {
  fatal.reset();
  lookup_target.reset();
  primary = NodeHandle();
}

PyTypeObject* node_type() { return kit::type_object<NodeClass>(); }

kit::OwnedRef make_node_object(SharedFatalSlot fatal, NodeHandle primary) {
  return make_node_object(PyNode(std::move(fatal), std::nullopt, std::move(primary)));
}

kit::OwnedRef make_node_object(PyNode record) { return kit::make_instance<NodeClass>(std::move(record)); }

bool is_node(kit::BorrowedRef object) {
  PyTypeObject* type = nullptr;
  try {
    type = node_type();
  } catch (kit::PyErrAlreadySet& e) {
    kit::fail_type_object(NodeClass::name, e);
  }
  return PyObject_TypeCheck(object.get(), type) != 0;
}

NodeBorrow::NodeBorrow(kit::BorrowedRef node) : record_(checked(node)), borrow_(instance_of(node)->borrow_flag) {}

}  // namespace korvalinth::py
