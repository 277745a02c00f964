#include "checkpoints/py_restore_descriptor.hpp"

#include "boundary/callback_errors.hpp"
#include "boundary/callback_settlers.hpp"
#include "checkpoint/restore_descriptors.hpp"
#include "checkpoint/restore_texts.hpp"
#include "checkpoints/checkpoint_to_py.hpp"
#include "checkpoints/restore_context.hpp"
#include "kit/convert.hpp"
#include "kit/entry.hpp"
#include "kit/gil.hpp"
#include "nodes/node_callback.hpp"
#include "values/py_json.hpp"

namespace korvalinth::py {

namespace {

kit::OwnedRef optional_json_to_py(const Json* value) { return value ? json_value_to_py(*value) : kit::py_none(); }

PyRestoreContext context_record(const RestoreCreateRequest& request, SharedRestoreCall call) {
  PyRestoreContext record;
  record.id = std::string(request.id);
  record.name = request.node.name;
  record.deps.assign(request.deps.begin(), request.deps.end());
  record.config = optional_json_to_py(request.config);
  record.config_version = optional_json_to_py(request.config_version);
  record.checkpoint = checkpoint_node_to_py(request.node);
  record.call = std::move(call);
  return record;
}

}  // namespace

// Runs with the GIL throughout: the registration and the context own
// Python references until the outcome is made.
RestoreOutcome PyRestoreDescriptor::create(const RestoreCreateRequest& request) {
  kit::GilGuard gil;
  if (!gil.held()) return RestoreFailure{kit::kInterpreterFinalizing};
  auto call = std::make_shared<RestoreCall>();
  kit::OwnedRef context;
  try {
    context = make_restore_context(context_record(request, call));
  } catch (kit::PyErrAlreadySet& e) {
    kit::OwnedRef exception = e.take();
    return RestoreFailure{kit::describe_exception(exception.borrow())};
  }
  kit::OwnedRef method = kit::to_py_str("create");
  PyObject* args[2] = {entry_.get(), context.get()};
  CallOutcome outcome = CallOutcome::of_call(PyObject_VectorcallMethod(method.get(), args, 2, nullptr));
  call->active = false;
  if (!outcome.ok()) {
    kit::OwnedRef exception = outcome.take_exception();
    if (is_exception(exception.borrow())) return RestoreFailure{kit::describe_exception(exception.borrow())};
    record_pending_fatal(*fatal_, std::move(exception));
    return RestoreFailure{kFatalDescriptorError};
  }
  std::optional<RestoreRegistration> registration = std::exchange(*call->registration.borrow_mut(), std::nullopt);
  context.reset();
  if (!registration) return RestoreFailure{fill_text(kNothingRegistered, {name_, request.id})};

  auto options = restore_node_options(request.node);
  if (!options) return RestoreFailure{std::move(options.error())};
  if (registration->kind == RestoreRegistration::Kind::State) {
    return StateNodeRequest{std::move(*options), std::move(registration->factory)};
  }
  return ComputedNodeRequest{make_py_node_fn(std::move(registration->callback), fatal_), std::move(*options),
                             std::move(registration->factory)};
}

}  // namespace korvalinth::py
