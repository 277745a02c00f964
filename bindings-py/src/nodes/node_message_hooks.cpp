// The message hooks of Node: each converts its arguments, then delivers its
// fixed list between the guard's drains. The binding checks nothing about
// the list: refusals and their ERROR come from the runtime's wave scope.

#include "boundary/guard.hpp"
#include "kit/convert.hpp"
#include "kit/entry.hpp"
#include "node/arena/graph_core.hpp"
#include "node/topology/node_ops.hpp"
#include "node/wave/wave_scope.hpp"
#include "nodes/node_hooks.hpp"
#include "values/py_object_value.hpp"

namespace korvalinth::py {

namespace {

// Pre-drain, the delivery under the guard, post-drain.
template <class Deliver>
kit::OwnedRef delivered(PyNode& self, Deliver&& deliver) {
  graph_operation(self.fatal(), std::forward<Deliver>(deliver));
  return kit::py_none();
}

enum class Toward { Down, Up };

// A list of one payload-free message, for the hooks without arguments.
template <Message (*Make)(), Toward Direction>
kit::OwnedRef lone_message(PyNode& self, const kit::Args&) {
  return delivered(self, [&] {
    check_live(self.primary());  // a stale node is refused before a wave opens
    MessageList messages;
    messages.push_back(Make());
    if constexpr (Direction == Toward::Up) {
      node_up_in_wave_scope(self.primary(), std::move(messages));
    } else {
      node_down_list(self.primary(), std::move(messages));
    }
  });
}

// A value argument enters the runtime as the very object.
SharedValue value_arg(const kit::Args& args, std::size_t i) { return make_py_value(args[i].new_ref()); }

// PULL params: absent for None only.
SharedValue params_arg(const kit::Args& args, std::size_t i) {
  kit::OwnedRef params = args.unless_none(i);
  return params ? make_py_value(std::move(params)) : nullptr;
}

template <void (*Entry)(const UncountedNode&, SharedValue)>
kit::OwnedRef one_value(PyNode& self, const kit::Args& args) {
  SharedValue value = value_arg(args, 0);
  return delivered(self, [&] { Entry(self.primary(), std::move(value)); });
}

}  // namespace

kit::OwnedRef node_up_dirty(PyNode& self, const kit::Args& args) {
  return lone_message<Message::dirty, Toward::Up>(self, args);
}

kit::OwnedRef node_up_teardown(PyNode& self, const kit::Args& args) {
  return lone_message<Message::teardown, Toward::Up>(self, args);
}

kit::OwnedRef node_down_dirty(PyNode& self, const kit::Args& args) {
  return lone_message<Message::dirty, Toward::Down>(self, args);
}

kit::OwnedRef node_down_resolved(PyNode& self, const kit::Args& args) {
  return lone_message<Message::resolved, Toward::Down>(self, args);
}

kit::OwnedRef node_down_invalidate(PyNode& self, const kit::Args& args) {
  return lone_message<Message::invalidate, Toward::Down>(self, args);
}

kit::OwnedRef node_down_complete(PyNode& self, const kit::Args& args) {
  return lone_message<Message::complete, Toward::Down>(self, args);
}

kit::OwnedRef node_down_teardown(PyNode& self, const kit::Args& args) {
  return lone_message<Message::teardown, Toward::Down>(self, args);
}

kit::OwnedRef node_down_error_method(PyNode& self, const kit::Args& args) {
  std::string message = args.convert(0, kit::extract_str);
  return delivered(self, [&] { node_down_error(self.primary(), std::move(message)); });
}

kit::OwnedRef node_down_data_complete_method(PyNode& self, const kit::Args& args) {
  return one_value<node_down_data_complete>(self, args);
}

kit::OwnedRef node_down_data_data_invalidate_method(PyNode& self, const kit::Args& args) {
  SharedValue first = value_arg(args, 0);
  SharedValue second = value_arg(args, 1);
  return delivered(self,
                   [&] { node_down_data_data_invalidate(self.primary(), std::move(first), std::move(second)); });
}

kit::OwnedRef node_conformance_up_pull_method(PyNode& self, const kit::Args& args) {
  std::string pull_id = args.convert(0, kit::extract_str);
  SharedValue params = params_arg(args, 1);
  return delivered(self, [&] { node_conformance_up_pull(self.primary(), std::move(pull_id), std::move(params)); });
}

kit::OwnedRef node_conformance_up_pull_toward_method(PyNode& self, const kit::Args& args) {
  std::uint64_t toward_dep = args.convert(0, kit::extract_u64);
  std::string pull_id = args.convert(1, kit::extract_str);
  SharedValue params = params_arg(args, 2);
  return delivered(self, [&] {
    node_conformance_up_pull_toward(self.primary(), toward_dep, std::move(pull_id), std::move(params));
  });
}

kit::OwnedRef node_conformance_up_data_forbidden_method(PyNode& self, const kit::Args& args) {
  return one_value<node_conformance_up_data_forbidden>(self, args);
}

kit::OwnedRef node_conformance_c22_down_data_method(PyNode& self, const kit::Args& args) {
  return one_value<node_conformance_c22_down_data>(self, args);
}

kit::OwnedRef node_conformance_c12_down_data_resolved_method(PyNode& self, const kit::Args& args) {
  return one_value<node_conformance_c12_down_data_resolved>(self, args);
}

}  // namespace korvalinth::py
