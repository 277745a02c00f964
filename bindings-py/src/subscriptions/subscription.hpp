#pragma once
// Python code watching nodes: the subscriber sink of Node.subscribe, the
// observer sink of Graph.observe, and the Subscription that detaches them.

#include <memory>
#include <optional>
#include <vector>

#include "base/cell.hpp"
#include "boundary/core_holds.hpp"
#include "boundary/pending_fatal.hpp"
#include "graph/topology_event.hpp"
#include "kit/refs.hpp"
#include "node/arena/sink.hpp"
#include "node/topology/subscribe.hpp"
#include "node/arena/unsubscribe_fn.hpp"

namespace korvalinth::py {

// What a Subscription detaches: one action for Node.subscribe, one per
// observed node for Graph.observe, run first to last.
using UnsubscribeActions = std::vector<UnsubscribeFn>;
using UnsubscribeCell = Cell<std::optional<UnsubscribeActions>>;

// Runs every action in order; a fault of one does not keep the others from
// running, and the first is raised after the last.
void run_unsubscribe_actions(UnsubscribeActions actions);

struct PySubscription {
  SharedFatalSlot fatal;
  // Boxed so that the record can move while the cell itself never does.
  std::unique_ptr<UnsubscribeCell> unsubscribe;
  // The actions' handles, while they are all on one core.
  CoreShare hold;

  PySubscription(SharedFatalSlot fatal, UnsubscribeActions actions);
  PySubscription(PySubscription&&) noexcept = default;
  // The drop of a live Subscription detaches what it attached; whatever
  // that yields (an error, a pending fatal stored meanwhile) is not raised
  // but reported as unraisable.
  ~PySubscription();
};

PyTypeObject* subscription_type();

kit::OwnedRef make_subscription_object(SharedFatalSlot fatal, UnsubscribeActions actions);

// Takes the action out of the cell and runs it inside the guard without the
// pre-drain, the cell borrowed while it runs; then the post-drain. Throws
// the guard's Python exception.
void guarded_unsubscribe(const PendingFatalSlot& slot, const UnsubscribeCell& cell);

// Undoes an attachment that no Subscription will own (subscribe or observe
// failed or was aborted): the guarded unsubscribe, its own error released.
void undo_attachment(const PendingFatalSlot& slot, UnsubscribeActions actions) noexcept;

// The sink of Node.subscribe: calls `callback(kind, payload)` per message.
SharedSink make_subscriber_sink(kit::OwnedRef callback, SharedFatalSlot fatal);

// The sink of Graph.observe on one node: calls
// `callback(path, kind, payload, tier, seq)` per message, seq taken from the
// graph's sequence counter. Each sink of one observe call holds a reference
// of its own to the callback: the node that holds the sink is then the one
// holder the collector sees (a record shared by the sinks would hide it).
SharedSink make_observer_sink(std::string path, SeqCounter seq, kit::BorrowedRef callback, SharedFatalSlot fatal);

}  // namespace korvalinth::py
