#include "graphs/describe_output.hpp"

#include <string_view>
#include <utility>
#include <variant>

#include "kit/entry.hpp"
#include "kit/errors.hpp"

namespace korvalinth::py {

namespace {

kit::OwnedRef text(std::string_view value) {
  return kit::check(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

kit::OwnedRef optional_text(const std::optional<std::string>& value) {
  return value ? text(*value) : kit::py_none();
}

void set_item(const kit::OwnedRef& dict, const char* key, kit::OwnedRef value) {
  kit::OwnedRef k = text(key);
  kit::check_status(PyDict_SetItem(dict.get(), k.get(), value.get()));
}

void append(const kit::OwnedRef& list, kit::OwnedRef item) { kit::check_status(PyList_Append(list.get(), item.get())); }

kit::OwnedRef described_value(const DescribedValue& value) {
  return std::visit(
      [](const auto& v) -> kit::OwnedRef {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return kit::OwnedRef::new_ref(v ? Py_True : Py_False);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return kit::check(PyLong_FromLongLong(v));
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
          return kit::check(PyLong_FromUnsignedLongLong(v));
        } else if constexpr (std::is_same_v<T, double>) {
          return kit::check(PyFloat_FromDouble(v));
        } else if constexpr (std::is_same_v<T, std::string>) {
          return text(v);
        } else {
          return text("<opaque>");
        }
      },
      value);
}

kit::OwnedRef text_list(const std::vector<std::string>& items) {
  kit::OwnedRef list = kit::check(PyList_New(0));
  for (const std::string& item : items) append(list, text(item));
  return list;
}

kit::OwnedRef node_to_py(NodeDescription node) {
  kit::OwnedRef dict = kit::check(PyDict_New());
  set_item(dict, "id", text(node.id));
  set_item(dict, "name", optional_text(node.name));
  set_item(dict, "factory", text(node.factory));
  set_item(dict, "status", text(node_status_name(node.status)));
  set_item(dict, "has_value", kit::OwnedRef::new_ref(node.value ? Py_True : Py_False));
  set_item(dict, "value", node.value ? described_value(*node.value) : kit::py_none());
  set_item(dict, "deps", text_list(node.deps));
  if (node.metadata) {
    // The map iterates in ascending key order.
    kit::OwnedRef metadata = kit::check(PyDict_New());
    for (const auto& [key, value] : *node.metadata) {
      kit::OwnedRef k = text(key);
      kit::OwnedRef v = text(value);
      kit::check_status(PyDict_SetItem(metadata.get(), k.get(), v.get()));
    }
    set_item(dict, "metadata", std::move(metadata));
  } else {
    set_item(dict, "metadata", kit::py_none());
  }
  return dict;
}

kit::OwnedRef edge_to_py(const EdgeDescription& edge) {
  kit::OwnedRef dict = kit::check(PyDict_New());
  set_item(dict, "from", text(edge.from));
  set_item(dict, "to", text(edge.to));
  return dict;
}

}  // namespace

kit::OwnedRef describe_to_py(GraphDescription description) {
  kit::OwnedRef graph = kit::check(PyDict_New());
  set_item(graph, "name", optional_text(description.name));

  kit::OwnedRef nodes = kit::check(PyList_New(0));
  for (NodeDescription& node : description.nodes) append(nodes, node_to_py(std::exchange(node, {})));
  description.nodes.clear();
  set_item(graph, "nodes", std::move(nodes));

  kit::OwnedRef edges = kit::check(PyList_New(0));
  for (const EdgeDescription& edge : description.edges) append(edges, edge_to_py(edge));
  description.edges.clear();
  set_item(graph, "edges", std::move(edges));

  if (description.subgraphs) {
    kit::OwnedRef subgraphs = kit::check(PyList_New(0));
    for (GraphDescription& child : *description.subgraphs) append(subgraphs, describe_to_py(std::move(child)));
    set_item(graph, "subgraphs", std::move(subgraphs));
  } else {
    set_item(graph, "subgraphs", kit::py_none());
  }
  return graph;
}

kit::OwnedRef graph_describe(PyGraph& self, const kit::Args&) {
  raise_pending_fatal(*self.fatal);
  return describe_to_py(describe(*self.container));
}

}  // namespace korvalinth::py
