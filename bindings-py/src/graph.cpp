#include "graph.hpp"

#include "kit/class_table.hpp"
#include "kit/convert.hpp"

namespace korvalinth::py {

namespace {

PyGraph graph_new(const kit::Args& args) {
  std::optional<std::string> name = args.convert(0, kit::extract_optional_str);
  GraphRef container = GraphContainer::create(std::move(name), nullptr, false);
  return PyGraph(std::move(container), make_pending_fatal_slot());
}

kit::OwnedRef graph_raise_pending_fatal(PyGraph& self, const kit::Args&) {
  raise_pending_fatal(*self.fatal);
  return kit::py_none();
}

struct GraphClass {
  using Record = PyGraph;
  static constexpr const char* name = "Graph";
  static constexpr const char* internal_name = "_native::PyGraph";
  static constexpr kit::Constructor<PyGraph> constructor{graph_new, {{"name", kit::none}}};
  static constexpr kit::Method<PyGraph> methods[] = {
      {"raise_pending_fatal", graph_raise_pending_fatal},
  };
};

}  // namespace

PyTypeObject* graph_type() { return kit::type_object<GraphClass>(); }

}  // namespace korvalinth::py
