#include "subscriptions/subscription.hpp"

#include <cstdint>
#include <exception>

#include "boundary/callback_errors.hpp"
#include "boundary/callback_settlers.hpp"
#include "boundary/guard.hpp"
#include "kit/class_table.hpp"
#include "kit/convert.hpp"
#include "kit/gil.hpp"
#include "values/kind_names.hpp"
#include "values/py_object_value.hpp"
#include "values/value_conversions.hpp"

namespace korvalinth::py {

namespace {

// The payload made for a subscriber's call: an ERROR's text, a PAUSE's or
// RESUME's lock id, a PULL's id, or a DATA value that is not a Python
// object (a JSON value made anew; any other type refused). Out of line:
// the usual kinds lend their payload.
kit::OwnedRef made_payload(const Message& message) {
  switch (message.kind()) {
    case MessageKind::Data:
      return cached_value_to_py(message.value());
    case MessageKind::Error:
      return kit::decode_utf8(message.error_value()->display());
    case MessageKind::Pause:
    case MessageKind::Resume:
      return kit::decode_utf8(message.lock_id());
    case MessageKind::Pull:
      return kit::decode_utf8(message.pull_request().pull_id);
    default:
      return kit::py_none();
  }
}

// Kinds whose payload is None, one bit each.
constexpr std::uint32_t kNonePayloadKinds =
    ~((1u << static_cast<unsigned>(MessageKind::Data)) | (1u << static_cast<unsigned>(MessageKind::Error)) |
      (1u << static_cast<unsigned>(MessageKind::Pause)) | (1u << static_cast<unsigned>(MessageKind::Resume)) |
      (1u << static_cast<unsigned>(MessageKind::Pull)));

class SubscriberSink final : public Sink {
 public:
  SubscriberSink(kit::OwnedRef callback, SharedFatalSlot fatal) noexcept
      : fatal_(std::move(fatal)), callback_(std::move(callback)) {}

  // The usual message, under a binding frame (the GIL held, nothing to take
  // or give back), has None for payload: it is called and settled straight,
  // as the general road would. Any other takes the general road, out of
  // line so that this one stays light; so does a raise, so that this road
  // needs no unwinding.
  void call(const Message& message) override {
    const MessageKind kind = message.kind();
    if (kit::gil_count() == 0 || !has_none_payload(kind)) [[unlikely]] return call_on_general_road(message);
    PyObject* result = vectorcall(message_kind_str(kind).get(), Py_None);
    if (result == nullptr) [[unlikely]] return settle_raised();
    drop_call_result(result);
  }
  int visit_host_refs(HostRefVisit visit) const override { return visit(callback_.get()); }

 private:
  static bool has_none_payload(MessageKind kind) noexcept {
    return (kNonePayloadKinds >> static_cast<unsigned>(kind)) & 1u;
  }

  // None and the object of a Python value are lent for the call (the value
  // kept alive by a share of it here); any other payload is made for it.
  // The returned object goes last.
  [[gnu::noinline]] void call_on_general_road(const Message& message) {
    kit::GilGuard gil;
    if (!gil.held()) return;
    kit::OwnedRef result;
    try {
      const MessageKind kind = message.kind();
      PyObject* kind_str = message_kind_str(kind).get();
      if (has_none_payload(kind)) {
        result = call_back(kind_str, Py_None);
      } else if (const PyObjectValue* held = kind == MessageKind::Data ? py_object_value_cast(message.value()) : nullptr) {
        SharedValue kept = message.value();
        result = call_back(kind_str, held->object().get());
      } else {
        kit::OwnedRef payload = made_payload(message);
        result = call_back(kind_str, payload.get());
      }
    } catch (kit::PyErrAlreadySet& e) {
      settle_sink_exception(*fatal_, e.take());
    }
  }

  [[gnu::noinline, gnu::cold]] void settle_raised() { settle_sink_exception(*fatal_, kit::PyErrAlreadySet().take()); }

  kit::OwnedRef call_back(PyObject* kind, PyObject* payload) const { return kit::check(vectorcall(kind, payload)); }

  // What the callback returned; null when it raised.
  PyObject* vectorcall(PyObject* kind, PyObject* payload) const {
    // The spare leading slot lets the callee prepend without copying.
    PyObject* args[3] = {nullptr, kind, payload};
    return PyObject_Vectorcall(callback_.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  }

  SharedFatalSlot fatal_;
  kit::AnywhereRef callback_;  // the runtime may drop a sink anywhere
};

class ObserverSink final : public Sink {
 public:
  ObserverSink(std::string path, SeqCounter seq, kit::OwnedRef callback, SharedFatalSlot fatal) noexcept
      : path_(std::move(path)), seq_(std::move(seq)), fatal_(std::move(fatal)), callback_(std::move(callback)) {}
  int visit_host_refs(HostRefVisit visit) const override { return visit(callback_.get()); }

  void call(const Message& message) override {
    // What the call needs is taken out of the message before the GIL.
    MessageKind kind = message.kind();
    SharedValue data = kind == MessageKind::Data ? message.value() : nullptr;
    std::optional<std::string> error;
    if (kind == MessageKind::Error) error = message.error_value()->display();
    std::uint64_t seq = take_seq(seq_);
    kit::GilGuard gil;
    if (!gil.held()) return;
    kit::OwnedRef result;
    try {
      // The path's str is made on the first message and serves the rest.
      if (!path_str_) path_str_ = kit::AnywhereRef(kit::decode_utf8(path_));
      kit::BorrowedRef path = path_str_.borrow();
      kit::BorrowedRef kind_name = message_kind_str(kind);
      kit::OwnedRef payload = data ? cached_value_to_py(data) : error ? kit::decode_utf8(*error) : kit::py_none();
      kit::OwnedRef tier = kit::check(PyLong_FromLong(message_tier(kind)));
      kit::OwnedRef number = kit::check(PyLong_FromUnsignedLongLong(seq));
      PyObject* args[6] = {nullptr, path.get(), kind_name.get(), payload.get(), tier.get(), number.get()};
      result = kit::check(
          PyObject_Vectorcall(callback_.get(), args + 1, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    } catch (kit::PyErrAlreadySet& e) {
      settle_sink_exception(*fatal_, e.take());
    }
  }

 private:
  std::string path_;
  SeqCounter seq_;
  SharedFatalSlot fatal_;
  kit::AnywhereRef callback_;  // the runtime may drop a sink anywhere
  kit::AnywhereRef path_str_;
};

kit::OwnedRef subscription_unsubscribe(PySubscription& self, const kit::Args&) {
  self.hold.reset();
  guarded_unsubscribe(*self.fatal, *self.unsubscribe);
  return kit::py_none();
}

// The core that every action's handle is on, if there is one.
const CoreRef* single_core(const UnsubscribeActions& actions) {
  const CoreRef* core = nullptr;
  for (const UnsubscribeFn& action : actions) {
    if (action.empty()) continue;
    if (core && action.node().core() != *core) return nullptr;
    core = &action.node().core();
  }
  return core;
}

// What the core keeps, its own subscriber's callback among it, is the
// anchor's to visit.
int subscription_traverse(const PySubscription& self, visitproc visit, void* arg) {
  return self.hold.visit(visit, arg);
}

struct SubscriptionClass {
  using Record = PySubscription;
  static constexpr const char* name = "Subscription";
  static constexpr const char* internal_name = "_native::PySubscription";
  static constexpr auto traverse = subscription_traverse;
  static constexpr kit::Method<PySubscription> methods[] = {
      {"unsubscribe", subscription_unsubscribe},
  };
};

}  // namespace

void run_unsubscribe_actions(UnsubscribeActions actions) {
  std::exception_ptr first;
  for (UnsubscribeFn& action : actions) {
    try {
      action.call();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

void guarded_unsubscribe(const PendingFatalSlot& slot, const UnsubscribeCell& cell) {
  run_guarded(slot, [&] {
    auto held = cell.borrow_mut();
    if (std::optional<UnsubscribeActions> actions = std::exchange(*held, std::nullopt)) {
      run_unsubscribe_actions(std::move(*actions));
    }
  });
  post_drain(slot);
}

void undo_attachment(const PendingFatalSlot& slot, UnsubscribeActions actions) noexcept {
  try {
    UnsubscribeCell cell(std::move(actions));
    guarded_unsubscribe(slot, cell);
  } catch (...) {
    // The attachment's own failure gives way to the error being raised.
  }
}

namespace {

// Where a Subscription's drop reports what it cannot raise: the class (the
// object itself is being deallocated).
kit::BorrowedRef drop_report_context() noexcept {
  return kit::BorrowedRef(reinterpret_cast<PyObject*>(subscription_type()));
}

}  // namespace

PySubscription::PySubscription(SharedFatalSlot fatal, UnsubscribeActions actions)
    : fatal(std::move(fatal)) {
  std::size_t handles = 0;
  for (const UnsubscribeFn& action : actions) handles += !action.empty();
  if (const CoreRef* core = single_core(actions)) hold = CoreShare(*core, handles);
  unsubscribe = std::make_unique<UnsubscribeCell>(std::move(actions));
}

PySubscription::~PySubscription() {
  hold.reset();
  try {
    if (unsubscribe && unsubscribe->borrow()->has_value()) {
      try {
        guarded_unsubscribe(*fatal, *unsubscribe);
      } catch (...) {
        kit::report_current_exception_unraisable(drop_report_context());
      }
      // A pending fatal left by the drop is not raised either.
      if (kit::OwnedRef left = take_pending_fatal(*fatal)) kit::report_unraisable(std::move(left), drop_report_context());
    }
  } catch (...) {
    kit::report_current_exception_unraisable(drop_report_context());
  }
  unsubscribe.reset();
  fatal.reset();
}

SharedSink make_observer_sink(std::string path, SeqCounter seq, kit::BorrowedRef callback, SharedFatalSlot fatal) {
  return std::make_shared<ObserverSink>(std::move(path), std::move(seq), callback.new_ref(), std::move(fatal));
}

PyTypeObject* subscription_type() { return kit::type_object<SubscriptionClass>(); }

kit::OwnedRef make_subscription_object(SharedFatalSlot fatal, UnsubscribeActions actions) {
  return kit::make_instance<SubscriptionClass>(PySubscription(std::move(fatal), std::move(actions)));
}

SharedSink make_subscriber_sink(kit::OwnedRef callback, SharedFatalSlot fatal) {
  return std::make_shared<SubscriberSink>(std::move(callback), std::move(fatal));
}

}  // namespace korvalinth::py
