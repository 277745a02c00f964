#include "wires/edge_group_projections.hpp"

#include <optional>
#include <string>
#include <vector>

#include "kit/convert.hpp"
#include "kit/entry.hpp"
#include "wire/edge_group/edge_group_status.hpp"
#include "wires/projections.hpp"

namespace korvalinth::py {

namespace {

kit::OwnedRef py_optional_text(const std::optional<std::string>& text) {
  return text ? py_text_lossy(*text) : kit::py_none();
}

kit::OwnedRef issue_to_dict(const WireEdgeGroupIssue& issue) {
  return DictBuilder()
      .set("code", kit::to_py_str(issue_code_text(issue.code)))
      .set("message", py_text_lossy(issue.message))
      .set("edge_id", py_optional_text(issue.edge_id))
      .set("cause_id", py_optional_text(issue.cause_id))
      .set("active_cause_id", py_optional_text(issue.active_cause_id))
      .take();
}

kit::OwnedRef text_list(const std::vector<std::string>& texts) {
  kit::OwnedRef list = kit::check(PyList_New(0));
  for (const std::string& text : texts) kit::check_status(PyList_Append(list.get(), py_text_lossy(text).get()));
  return list;
}

}  // namespace

SharedNodeFn make_py_edge_group_status_fn(SharedFatalSlot fatal) {
  return make_projection_fn<WireEdgeGroupStatus>(std::move(fatal), [](const WireEdgeGroupStatus& status) {
    return DictBuilder()
        .set("state", kit::to_py_str(group_state_text(status.state)))
        .set("expected_edges", text_list(status.expected_edges))
        .set("active_cause_id", py_optional_text(status.active_cause_id))
        .set("dirty", py_int(status.dirty))
        .set("data", py_int(status.data))
        .set("released", py_int(status.released))
        .set("issues", py_int(status.issues))
        .set("last_issue", status.last_issue ? issue_to_dict(*status.last_issue) : kit::py_none())
        .take();
  });
}

SharedNodeFn make_py_edge_group_issues_fn(SharedFatalSlot fatal) {
  return make_projection_fn<WireEdgeGroupIssue>(std::move(fatal), issue_to_dict);
}

SharedNodeFn make_py_edge_group_inbound_fn(SharedFatalSlot fatal) {
  return make_projection_fn<Bytes>(std::move(fatal), [](const Bytes& bytes) { return py_bytes(bytes); });
}

}  // namespace korvalinth::py
