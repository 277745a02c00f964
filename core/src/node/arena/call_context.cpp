#include "node/arena/call_context.hpp"

namespace korvalinth {

namespace {
// Weak: the cache never keeps a dispatcher or hooks alive.
thread_local std::weak_ptr<const CallContext> tls_last_context;
}  // namespace

SharedGraphHooks share_graph_hooks(const GraphHooks& hooks) {
  for (const GraphHook& h : hooks)
    if (h) return std::make_shared<const GraphHooks>(hooks);
  return nullptr;
}

SharedGraphHooks share_first_graph_hook(const GraphHook& first) {
  if (!first) return nullptr;
  GraphHooks hooks;
  hooks[0] = first;
  return std::make_shared<const GraphHooks>(std::move(hooks));
}

SharedCallContext share_call_context(const DispatcherRef& dispatcher, const SharedGraphHooks& hooks) {
  SharedCallContext last = tls_last_context.lock();
  if (last && last->dispatcher == dispatcher && last->hooks == hooks) return last;
  last = std::make_shared<const CallContext>(CallContext{dispatcher, hooks});
  tls_last_context = last;
  return last;
}

const SharedCallContext& no_call_context() noexcept {
  static const CallContext kNone;
  // Aliasing an empty owner: a pointer to the empty block with no count.
  static const SharedCallContext kNoContext(std::shared_ptr<const void>(), &kNone);
  return kNoContext;
}

}  // namespace korvalinth
