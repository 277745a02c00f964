#include "values/kind_names.hpp"

#include <array>
#include <string_view>

#include "kit/convert.hpp"

namespace korvalinth::py {

namespace {

// Made on first use of the name and kept for the process (the module serves
// one interpreter).
kit::BorrowedRef shared_str(PyObject*& slot, std::string_view name) {
  if (slot == nullptr) slot = kit::to_py_str(name).release();
  return kit::BorrowedRef(slot);
}

constexpr std::size_t kNodeStatusCount = static_cast<std::size_t>(NodeStatus::Errored) + 1;

}  // namespace

kit::BorrowedRef message_kind_str(MessageKind kind) {
  static std::array<PyObject*, kMessageKindCount> strs{};
  return shared_str(strs[static_cast<std::size_t>(kind)], message_kind_name(kind));
}

kit::OwnedRef node_status_str(NodeStatus status) {
  static std::array<PyObject*, kNodeStatusCount> strs{};
  return shared_str(strs[static_cast<std::size_t>(status)], node_status_name(status)).new_ref();
}

}  // namespace korvalinth::py
