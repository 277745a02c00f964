#include "values/kind_names.hpp"

#include <string_view>

#include "kit/convert.hpp"

namespace korvalinth::py {

namespace {

kit::BorrowedRef shared_str(PyObject*& slot, std::string_view name) {
  if (slot == nullptr) slot = kit::to_py_str(name).release();
  return kit::BorrowedRef(slot);
}

constexpr std::size_t kNodeStatusCount = static_cast<std::size_t>(NodeStatus::Errored) + 1;

}  // namespace

kit::BorrowedRef detail::make_message_kind_str(MessageKind kind) {
  return shared_str(message_kind_strs[static_cast<std::size_t>(kind)], message_kind_name(kind));
}

kit::OwnedRef node_status_str(NodeStatus status) {
  static std::array<PyObject*, kNodeStatusCount> strs{};
  return shared_str(strs[static_cast<std::size_t>(status)], node_status_name(status)).new_ref();
}

}  // namespace korvalinth::py
