#include "node/wave/down.hpp"

#include "node/wave/batch.hpp"
#include "json/strict_json.hpp"
#include "node/wave/delivery.hpp"
#include "node/wave/delivery_order.hpp"
#include "node/wave/dep_sink_plain.hpp"
#include "node/wave/down_rules.hpp"
#include "node/wave/feedback_check.hpp"
#include "node/wave/frame_data.hpp"
#include "node/wave/pending.hpp"
#include "node/wave/queued_check.hpp"
#include "node/wave/quiet_wave.hpp"
#include "node/wave/stack_guard.hpp"

namespace korvalinth {

namespace {

// Marks the node dirty under a; when that changed it, reads the sinks that
// DIRTY goes to once the borrow is released.
[[gnu::always_inline]] inline bool mark_dirty_in(Arena& a, SlotKey key, SinkList::Reading& sinks) {
  DownSlots s = down_slots(a, key);
  if (!s.edge.state.mark_dirty()) return false;
  sinks = s.aux.sinks.read();
  return true;
}

}  // namespace

void mark_dirty(const UncountedNode& node) {
  SinkList::Reading sinks;
  {
    auto a = node.core_ref().borrow_mut();
    if (!mark_dirty_in(*a, node.key(), sinks)) return;
  }
  sinks.deliver(dirty_message());
}

void broadcast(const UncountedNode& node, const Message& message) {
  SinkList::Reading sinks;
  {
    auto a = node.core_ref().borrow();
    a->check(node.key());
    sinks = a->aux_at(node.index()).sinks.read();
  }
  sinks.deliver(message);
}

void clear_current_pull(const UncountedNode& node) {
  GraphCore& core = node.core_ref();
  if (core.is_borrowed()) return;
  std::optional<PullRequest> old;
  {
    auto a = core.borrow_mut();
    LiveSlotsWithAux s = live_slots_with_aux(*a, node.key());
    old = s.aux.take(&AuxRare::current_pull);
    s.edge.state.end_pull();
  }
}

namespace {

// Moves the messages matching pred out of list (keeping order on both sides).
template <class Pred>
MessageList split_out(MessageList& list, Pred pred) {
  MessageList taken;
  MessageList rest;
  for (Message& m : list) {
    if (pred(m.kind()))
      taken.push_back(std::move(m));
    else
      rest.push_back(std::move(m));
  }
  list = std::move(rest);
  return taken;
}

// Releases a delivered message (its value or error) before the next one is
// applied.
void release_delivered(Message& m) noexcept { m.release_payload(); }

void keep_first_invalidate(MessageList& list) {
  bool seen = false;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i].kind() == MessageKind::Invalidate) {
      if (seen) continue;
      seen = true;
    }
    if (kept != i) list[kept] = std::move(list[i]);
    ++kept;
  }
  while (list.size() > kept) list.pop_back();
}

// Faults unless a DATA's value is strict canonical JSON; gives its text.
std::optional<std::string> checked_canonical_text(const Message& m) {
  if (m.kind() != MessageKind::Data) return std::nullopt;
  if (!m.value()) return std::nullopt;  // a DATA without a value hashes as absent
  auto text = data_canonical_text(*m.value());
  if (!text) fault(text.error());
  return std::move(*text);
}

// Faults unless every DATA value of the list is strict canonical JSON.
void check_data_canonical(const MessageList& list) {
  for (const Message& m : list) checked_canonical_text(m);
}

// Called right after a frame closed normally: the outermost close drains
// the pending queue (a fault unwinding skips it).
inline void drain_after_outermost_frame() {
  if (delivery_depth() == 0) drain_pending();
}

// The same after a run's emit, which most often leaves the lone item of
// the next node's run: that item goes straight to its own drain, which
// hands on a queue that holds more.
inline void drain_after_outermost_emit_frame() {
  if (delivery_depth() != 0) return;
  PendingState& pending = pending_state();
  if (pending.lone.waiting()) return queued::drain_lone_items(pending);
  if (!pending.queue.empty()) queued::drain_queued_items(pending);
}

struct Applied {
  SinkList::Reading sinks;
  SmallVec<InvalidateCallback, 2> invalidate_callbacks;
  bool to_sinks = false;
  bool invalidate = false;
};

// Applies one message to the node's state (the core held mutably) and says
// who receives it. Replaced values go to trash, dropped after the borrow.
// A DATA's version is put in place from next_version: only a DATA under
// content ids comes here, its version computed before the borrow.
void apply_message(Arena& a, const UncountedNode& node, const Message& m, std::optional<NodeVersion>* next_version,
                   Applied& out, SharedValue& old_cache, std::optional<NodeVersion>& old_version,
                   std::vector<MessageList>& old_held, std::optional<PullRequest>& old_pending,
                   std::optional<PullRequest>& old_current) {
  DownSlots s = down_slots(a, node.key());
  EdgeEntry& e = s.edge;
  switch (m.kind()) {
    case MessageKind::Start:
    case MessageKind::Pause:
    case MessageKind::Resume:
    case MessageKind::Pull:
      return;
    case MessageKind::Dirty:
      if (!e.state.mark_dirty()) return;
      break;
    case MessageKind::Data: {
      old_version = a.version_at(node.index()).exchange_current(std::move(*next_version));
      old_cache = std::exchange(e.cache, m.data_value());
      e.state.take_data();
      break;
    }
    case MessageKind::Resolved:
      e.state.take_resolved();
      break;
    case MessageKind::Invalidate:
      if (!e.state.invalidate()) return;
      old_cache = std::move(e.cache);
      e.cache.reset();
      for (const auto& cb : s.aux.rare().invalidate_callbacks) out.invalidate_callbacks.push_back(cb);
      out.invalidate = true;
      return;
    case MessageKind::Complete:
    case MessageKind::Error:
      if (!e.state.terminate(m.kind() == MessageKind::Error)) return;
      old_pending = s.aux.take(&AuxRare::pending_pull);
      old_current = s.aux.take(&AuxRare::current_pull);
      old_held = s.aux.take(&AuxRare::held);
      break;
    case MessageKind::Teardown:
      break;
  }
  out.to_sinks = true;
  out.sinks = s.aux.sinks.read();
}

}  // namespace

namespace {

// What the steps of down need of the node, read at once: touching the node
// and checking its DATA change none of it. None when the node is terminal.
struct DownEntry {
  bool touched;  // by the installed scope already
  bool running;
  bool content_ids;
  bool hold;
  bool serving_pull;
  bool waits_on_batch;  // behind the messages the ending batch holds for it
  OrderedDelivery* delivering;  // the down calling the node's sinks, if one is
};


// Under the caller's borrow, from the wave step's entries (topology, edge)
// read under it first, as their faults come.
[[gnu::always_inline]] inline std::optional<DownEntry> read_down_entry(Arena& a, const UncountedNode& node,
                                                                       WaveSlots wave) {
  const std::uint64_t i = node.index();
  TopologyEntry& topology = wave.topology;
  EdgeEntry& e = wave.edge;
  const bool running = e.state.running();
  if (e.state.terminal()) return std::nullopt;
  LiveSlotsWithAux s = slots_beside_wave_entries(a, i, topology, e);
  const bool content_ids = a.version_at(i).mode() == NodeVersioning::Mode::Level1;
  return DownEntry{current_touched_in_installed_scope(a, i), running, content_ids, holds_back(s, running),
                   e.state.serving_pull(), waits_behind_batch_flush(e.state), OrderedDelivery::in_progress_on(node)};
}

// The same, the key checked once: every entry is read under this borrow.
[[gnu::always_inline]] inline std::optional<DownEntry> read_down_entry(Arena& a, const UncountedNode& node) {
  return read_down_entry(a, node, wave_slots(a, node.key()));
}

std::optional<DownEntry> read_down_entry(const UncountedNode& node) {
  auto a = node.core_ref().borrow();
  // Reads only: the shared borrow suffices.
  return read_down_entry(const_cast<Arena&>(*a), node);
}

// The node's entries that a plain road changes, as its reads found them.
struct DataSlots {
  EdgeEntry* edge = nullptr;
  AuxEntry* aux = nullptr;
  NodeVersionSlot* version = nullptr;
};

// How a road that read the node's entries lets go of the arena once it
// changed them: a borrow is released; a road that took none (it reaches no
// code that could borrow the core meanwhile) has nothing to let go.
inline void let_go(RefMut<Arena>& a) noexcept { a.release(); }
inline void let_go(Arena&) noexcept {}

// Puts a DATA's value in the node's cache and hands the DATA to the node's
// sinks, under the hold a that read slots, inside the delivery frame whose
// id frame_id gives; lets go of it. The replaced value goes after that,
// before the DATA is handed on. A lone dep sink takes it by its DATA's
// call: the sink's own call would only test the kind and the frame again.
template <class Hold, class FrameId>
[[gnu::always_inline]] inline void apply_and_hand_on_data(Hold& a, const DataSlots& slots, const Message& m,
                                                          FrameId frame_id) {
  // Swapped in: the cache's value comes out as the replaced one.
  SharedValue old_cache = m.data_value();
  old_cache.swap(slots.edge->cache);
  slots.edge->state.take_data();
  const SinkList::Reading sinks = slots.aux->sinks.read();
  DepSink* const lone = static_cast<DepSink*>(slots.aux->sinks.lone_dep_sink());
  let_go(a);
  old_cache.reset();
  if (lone) return lone->call_data(m, frame_id());
  sinks.deliver(m);
}

void deliver_message(const UncountedNode& node, const Message& m, bool content_ids,
                     const std::string* canonical_text = nullptr);

// Applies a DATA to a node whose entry read no content ids and hands it to
// the node's sinks; takes the general road if the policy changed since.
// Inline in a plain set's steps; the general road calls it out of line.
[[gnu::always_inline]] inline void deliver_data_without_content_ids_here(const UncountedNode& node, const Message& m) {
  auto a = node.core_ref().borrow_mut();
  a->check(node.key());
  const std::uint64_t i = node.index();
  NodeVersionSlot& v = a->version_at(i);
  if (v.mode() == NodeVersioning::Mode::Level1) {
    // The policy changed since the entry was read: take the general road.
    a.release();
    deliver_message(node, m, true);
    return;
  }
  v.advance_without_content_ids();  // its fault comes before the entries' check
  EdgeEntry& edge = a->current_wave_edge(i);
  // Every caller opened a delivery frame.
  apply_and_hand_on_data(a, DataSlots{&edge, &a->aux_at(i), &v}, m, dep_sink_steps::ReadFrameId{});
}
void deliver_data_without_content_ids(const UncountedNode& node, const Message& m) {
  deliver_data_without_content_ids_here(node, m);
}

// Applies one message to the node and hands it to the node's sinks (or, for
// an INVALIDATE that cleared a value, runs the invalidate callbacks and
// broadcasts it).
// canonical_text: the DATA's checked text, when the caller has it.
void deliver_message(const UncountedNode& node, const Message& m, bool content_ids,
                     const std::string* canonical_text) {
  if (m.kind() == MessageKind::Data && !content_ids) return deliver_data_without_content_ids(node, m);
  GraphCore& core = node.core_ref();
  std::optional<NodeVersion> next_version;
  const bool precomputed = m.kind() == MessageKind::Data && content_ids;
  if (precomputed) {
    NodeVersioning versioning;
    std::optional<NodeVersion> current;
    {
      auto a = core.borrow();
      a->check(node.key());
      const NodeVersionSlot& v = a->version_at(node.index());
      versioning = v.versioning();
      current = v.current();
    }
    auto advanced = canonical_text ? advance_node_version_with_text(versioning, current, *canonical_text)
                                   : advance_node_version(versioning, current, m.value().get());
    if (!advanced) fault(advanced.error());
    next_version = std::move(*advanced);
  }
  Applied applied;
  {
    // What the message replaces goes right after the borrow, before the
    // message is handed on.
    SharedValue old_cache;
    std::optional<NodeVersion> old_version;
    std::vector<MessageList> old_held;
    std::optional<PullRequest> old_pending, old_current;
    auto a = core.borrow_mut();
    apply_message(*a, node, m, &next_version, applied, old_cache, old_version,
                  old_held, old_pending, old_current);
    a.release();
  }
  if (applied.invalidate) {
    for (const auto& cb : applied.invalidate_callbacks) (*cb)();
    broadcast(node, invalidate_message());
  } else if (applied.to_sinks) {
    applied.sinks.deliver(m);
  }
}

// DIRTY goes out for a node that deferred into the open batch, unless it
// went out already; then the node counts as queued in the batch.
// Marked dirty under the borrow a that finds whether DIRTY went out, in the
// node's entries the caller read under it; releases it.
[[gnu::always_inline]] inline void announce_batch_deferral(RefMut<Arena>& a, const UncountedNode& node, EdgeEntry& edge,
                                                           AuxEntry& aux) {
  SinkList::Reading sinks;
  {
    if (!edge.state.mark_dirty()) {
      batch_mark_queued(edge.state);
      a.release();
      return;
    }
    sinks = aux.sinks.read();
    a.release();
  }
  sinks.deliver(dirty_message());
  {
    auto a = node.core_ref().borrow_mut();
    a->check(node.key());
    batch_mark_queued(a->edge_at(node.index()).state);
  }
}

// Inline: a set that replaced deferred messages ends with it.
[[gnu::always_inline]] inline void announce_batch_deferral(const UncountedNode& node) {
  auto a = node.core_ref().borrow_mut();
  DownSlots s = down_slots(*a, node.key());
  announce_batch_deferral(a, node, s.edge, s.aux);
}

// Defers the late messages of a down made outside the node's function into
// the open batch; DIRTY goes out now.
void defer_into_batch(const UncountedNode& node, MessageList late) {
  batch_defer_list(node, std::move(late));
  announce_batch_deferral(node);
}
void defer_into_batch(const UncountedNode& node, Message&& late) {
  batch_defer_message(node, std::move(late));
  announce_batch_deferral(node);
}

// The end of a down that was not made by the node's own function. Inline:
// every settle and set ends so, and a call costs more than its borrow.
[[gnu::always_inline]] inline void end_outside_run(const UncountedNode& node) {
  auto a = node.core_ref().borrow_mut();
  a->check(node.key());
  a->edge_at(node.index()).state.end_wave();
}

}  // namespace

namespace {

// One message walked as a list of one without building the list: the hot
// path of down. Empty once its message was taken out. Keeps the checked
// canonical text of its DATA, so that delivery does not make it again.
class OneMessage {
 public:
  explicit OneMessage(Message& m) noexcept : message_(&m) {}
  Message* begin() const noexcept { return message_; }
  Message* end() const noexcept { return message_ ? message_ + 1 : nullptr; }
  bool empty() const noexcept { return message_ == nullptr; }
  MessageList take() { return one_message(take_message()); }
  Message take_message() { return std::move(*std::exchange(message_, nullptr)); }
  void keep_canonical_text(std::optional<std::string> text) noexcept { canonical_text_ = std::move(text); }
  const std::string* canonical_text() const noexcept { return canonical_text_ ? &*canonical_text_ : nullptr; }

 private:
  Message* message_;  // null once taken
  std::optional<std::string> canonical_text_;
};

// The walks of a list that differ by its shape; the algorithm is written
// once, over either.
MessageList split_out(OneMessage& one, bool (*pred)(MessageKind)) {
  if (one.empty() || !pred(one.begin()->kind())) return {};
  return one.take();
}
void sort_and_thin(MessageList& list) {
  if (list.size() >= 2) sort_by_tier(list);
  keep_first_invalidate(list);
}
void sort_and_thin(OneMessage&) noexcept {}
void check_data_canonical(OneMessage& one) { one.keep_canonical_text(checked_canonical_text(*one.begin())); }
const std::string* canonical_text(const MessageList&) noexcept { return nullptr; }
const std::string* canonical_text(const OneMessage& one) noexcept { return one.canonical_text(); }
// Whether the list carries DATA or RESOLVED; faults when it carries both.
bool carries_data_or_resolved(const MessageList& list) {
  bool has_data = false, has_resolved = false;
  for (const Message& m : list) {
    has_data |= m.kind() == MessageKind::Data;
    has_resolved |= m.kind() == MessageKind::Resolved;
  }
  if (has_data && has_resolved) fault(kMixedDataResolved);
  return has_data || has_resolved;
}
bool carries_data_or_resolved(const OneMessage& one) noexcept {
  const MessageKind k = one.begin()->kind();
  return k == MessageKind::Data || k == MessageKind::Resolved;
}
void queue_behind(OrderedDelivery& delivery, MessageList& list) { delivery.queue(std::move(list)); }
// Out of line, as the other rare roads below: the frame of down is on the
// stack once per node of a chain.
[[gnu::noinline]] void queue_behind(OrderedDelivery& delivery, OneMessage& one) { delivery.queue(one.take()); }

// Defers the late messages of a down made outside the node's function into
// the open batch; true when there were any.
template <class List>
[[gnu::noinline]] bool defer_late(const UncountedNode& node, List& list) {
  MessageList late = split_out(list, is_late_kind);
  if (late.empty()) return false;
  defer_into_batch(node, std::move(late));
  return true;
}
// The single message goes to the batch as it is, without a list around it.
[[gnu::noinline]] bool defer_late(const UncountedNode& node, OneMessage& one) {
  if (one.empty() || !is_late_kind(one.begin()->kind())) return false;
  defer_into_batch(node, one.take_message());
  return true;
}

// Keeps back the messages that wait while the node holds back; true when
// none is left to deliver now.
template <class List>
[[gnu::noinline]] bool hold_back(const UncountedNode& node, List& list) {
  MessageList held = split_out(list, is_held_kind);
  if (!held.empty()) {
    auto a = node.core_ref().borrow_mut();
    DownSlots s = down_slots(*a, node.key());
    s.edge.state.hold_outgoing();
    s.aux.edit_rare().held.push_back(std::move(held));
  }
  return list.empty();
}

enum class Queued : bool { No, Yes };

// The lists that wait behind a down's own list from its start: none (most
// downs), or those a batch's end queued behind the node's flushed messages.
struct NoListsBehind {};
using ListsBehind = std::vector<MessageList>;

void queue_each(OrderedDelivery&, NoListsBehind&) noexcept {}
void queue_each(OrderedDelivery& delivery, ListsBehind& lists) {
  for (MessageList& l : lists) delivery.queue(std::move(l));
}
// Lists whose own list the down did not deliver now go as downs of their own.
void down_each(const UncountedNode&, NoListsBehind&) noexcept {}
void down_each(const UncountedNode& node, ListsBehind& lists) {
  for (MessageList& l : lists) down(node, std::move(l));
}

template <class List, class Behind = NoListsBehind>
void deliver_down(const UncountedNode& node, const DownEntry& entry, List&& list, Queued queued,
                  Behind&& behind = Behind{});

// Delivers the lists queued behind window, oldest first; lists queued
// meanwhile go behind them. Out of line: deliveries nest as deep as the
// stack allows, and this is rarely needed.
[[gnu::noinline]] void deliver_queued(const UncountedNode& node, OrderedDelivery& window) {
  while (std::optional<MessageList> next = window.next_queued()) {
    if (std::optional<DownEntry> entry = read_down_entry(node)) deliver_down(node, *entry, std::move(*next), Queued::Yes);
  }
}

// Delivers the lists queued behind window meanwhile, if any.
void deliver_any_queued(const UncountedNode& node, OrderedDelivery& window) {
  if (window.has_queued()) deliver_queued(node, window);
}

// Ends window once the lists queued behind it meanwhile went out.
void end_delivery(const UncountedNode& node, std::optional<OrderedDelivery>& window) {
  deliver_any_queued(node, *window);
  window.reset();
}

// Delivers the list through the node's sinks in a delivery frame, then the
// lists queued behind own_window meanwhile; own_window is null for a list
// that was queued behind another delivery.
template <class List>
[[gnu::always_inline]] inline void deliver_in_window(const UncountedNode& node, const DownEntry& entry, List& list,
                                                     bool marks_dirty, std::optional<OrderedDelivery>* own_window) {
  if (marks_dirty) mark_dirty(node);

  {
    DeliveryFrame frame;
    for (Message& m : list) {
      deliver_message(node, m, entry.content_ids, canonical_text(list));
      release_delivered(m);
    }
    if (own_window) end_delivery(node, *own_window);
  }
  drain_after_outermost_frame();

  if (!entry.running) end_outside_run(node);
}

// The steps of down from the batch deferral on. A list that was queued
// behind a delivery on the node is delivered by it, in that delivery's
// window; any other list opens its own.
template <class List, class Behind>
void deliver_down(const UncountedNode& node, const DownEntry& entry, List&& list, Queued queued, Behind&& behind) {
  const bool running = entry.running;
  if (defers_into_batch(running) && defer_late(node, list)) return down_each(node, behind);
  if (entry.hold && hold_back(node, list)) return down_each(node, behind);

  const bool marks_dirty = dirty_goes_first(carries_data_or_resolved(list), running, entry.serving_pull);
  if (queued == Queued::Yes) {
    deliver_in_window(node, entry, list, marks_dirty, nullptr);
    return;
  }
  std::optional<OrderedDelivery> own_window(std::in_place, node);
  queue_each(*own_window, behind);
  deliver_in_window(node, entry, list, marks_dirty, &own_window);
}

MessageList take_list(MessageList& list) noexcept { return std::move(list); }
MessageList take_list(OneMessage& one) { return one.take(); }

// Queues the list behind the messages the ending batch holds for the node
// (and the lists behind it after it), or delivers them when it holds none.
// Out of line: only a down made during a batch's end comes here.
template <class List, class Behind>
[[gnu::noinline]] void wait_behind_batch_flush(const UncountedNode& node, const DownEntry& entry, List& list,
                                               Behind& behind) {
  MessageList own = take_list(list);
  if (!batch_wait_behind_flush(node, own)) return deliver_down(node, entry, own, Queued::No, behind);
  if constexpr (std::is_same_v<std::remove_cvref_t<Behind>, ListsBehind>) {
    for (MessageList& l : behind)
      if (!batch_wait_behind_flush(node, l)) down(node, std::move(l));
  }
}

// Touches the node, then sorts, thins and checks the list (the steps that
// change nothing), then delivers it with the lists behind it, unless they
// go behind a delivery in progress on the node or behind the messages the
// ending batch holds for it. A call that joins a running function's wave
// is refused there when it would run such a function again
// (RefusesFeedback).
template <bool RefusesFeedback = false, class List, class Behind = NoListsBehind>
void down_entered(const UncountedNode& node, const DownEntry& entry, List&& list, Behind&& behind = Behind{}) {
  if (!entry.touched) touch_in_current_frame(node);
  sort_and_thin(list);
  if (entry.content_ids) check_data_canonical(list);
  if constexpr (RefusesFeedback) refuse_feedback_into_running_nodes(node, KindSet::of_list(list));
  if (entry.delivering) {
    // The delivery read with the entry is still the one in progress: the
    // steps since called nothing that could end it.
    queue_behind(*entry.delivering, list);
    queue_each(*entry.delivering, behind);
    return;
  }
  if (entry.waits_on_batch) [[unlikely]]
    return wait_behind_batch_flush(node, entry, list, behind);
  deliver_down(node, entry, list, Queued::No, behind);
}

// The entries beside a wave step's, read after them (CurrentWaveSlots: the
// slot's mask was tested with its key).
inline LiveSlotsWithAux slots_beside(Arena& a, std::uint64_t i, const WaveSlots& wave) {
  return slots_beside_wave_entries(a, i, wave.topology, wave.edge);
}
inline LiveSlotsWithAux slots_beside(Arena& a, std::uint64_t i, const CurrentWaveSlots& wave) {
  return slots_beside_wave_entries(a, i, wave);
}

// The reads of a plain road, as read_down_entry reads the entries, with the
// same faults, each test given up at the first that fails: holds when the
// edge state fits and plain(entries, version) holds too, and then fills
// slots.
// wave: WaveSlots, or CurrentWaveSlots when the slot's mask was tested.
template <class Wave, class StateFits, class Plain>
[[gnu::always_inline]] inline bool reads_as_plain(Arena& a, const UncountedNode& node, const Wave& wave,
                                                  DataSlots& slots, StateFits&& state_fits, Plain&& plain) {
  const std::uint64_t i = node.index();
  EdgeEntry& e = wave.edge;
  if (!state_fits(e.state)) return false;
  LiveSlotsWithAux s = slots_beside(a, i, wave);
  NodeVersionSlot& version = a.version_at(i);
  if (!plain(s, version)) return false;
  slots = DataSlots{&s.edge, &s.aux, &version};
  return true;
}

// Whether the general road, for one DATA, would only apply it and hand it
// on: the node's function emits it, its version advances in place, and
// nothing holds it back, queues it or marks the node dirty.
template <class Wave>
[[gnu::always_inline]] inline bool reads_as_plain_emit(Arena& a, const UncountedNode& node, const Wave& wave,
                                                       DataSlots& slots) {
  return reads_as_plain(
      a, node, wave, slots,
      [](const NodeState& st) { return st.running() && !st.terminal() && !st.serving_pull(); },
      [&](const LiveSlotsWithAux& s, const NodeVersionSlot& version) {
        return version.advances_in_place() && current_touched_in_installed_scope(a, node.index()) &&
               !holds_back(s, true) && !OrderedDelivery::in_progress_on(node);
      });
}

// What reads_as_plain_emit found of a slot read at once: not whole (its
// reads in order may fault), whole and no plain emit, or a plain emit.
enum class EmitRead : std::uint8_t { NotWhole, NotPlain, Plain };

// reads_as_plain_emit for a slot whose key and mask holds_every_entry finds
// good; NotWhole for any other.
[[gnu::always_inline]] inline EmitRead read_emit_of_whole_slot(Arena& a, const UncountedNode& node,
                                                               DataSlots& slots) {
  if (!a.holds_every_entry(node.key())) [[unlikely]]
    return EmitRead::NotWhole;
  const LiveSlotsWithAux s = whole_slots_with_aux(a, node.index());
  return reads_as_plain_emit(a, node, CurrentWaveSlots{s.topology, s.edge, true}, slots) ? EmitRead::Plain
                                                                                          : EmitRead::NotPlain;
}

// The reads of a plain road of a node outside its run whose DIRTY went out
// (a settle, a flushed DATA): holds when plain(entries, version) holds too,
// and then fills slots.
template <class Plain>
[[gnu::always_inline]] inline bool reads_as_plain_after_dirty(Arena& a, const UncountedNode& node, DataSlots& slots,
                                                              Plain&& plain) {
  return reads_as_plain(
      a, node, wave_slots(a, node.key()), slots,
      [](const NodeState& st) { return st.past_run_with_dirty_out(); }, plain);
}

// Whether the general road, for one RESOLVED, would only hand it on and end
// the node's wave: the node's run is over, its DIRTY went out, and nothing
// holds it back or queues it. The caller asks about a batch first.
[[gnu::always_inline]] inline bool reads_as_plain_settle(Arena& a, const UncountedNode& node, DataSlots& slots) {
  return reads_as_plain_after_dirty(a, node, slots, [&](const LiveSlotsWithAux& s, const NodeVersionSlot&) {
    return current_touched_in_installed_scope(a, node.index()) && !holds_back(s, false) &&
           !OrderedDelivery::in_progress_on(node);
  });
}

// The steps of the general road for a plain emit up to the drain, under
// the hold a (let_go) that read the node's entries into slots and found its
// version advancing in place; lets go of it.
template <class Hold>
[[gnu::always_inline]] inline void deliver_plain_emit_in_frame(Hold& a, const UncountedNode& node,
                                                               const DataSlots& slots, Message& m) {
  DeliveryFrame frame;
  // Read as the frame opens, where it was just put.
  const dep_sink_steps::KnownFrameId frame_id{delivery_frame_id()};
  // Ends as it goes out of scope, before the frame closes: the one end
  // its destructor makes serves both the normal road and a fault.
  OrderedDelivery window(node);
  slots.version->advance_in_place();
  apply_and_hand_on_data(a, slots, m, frame_id);
  m.release_data_value();
  deliver_any_queued(node, window);
}
// The same, with the drain.
[[gnu::always_inline]] inline void deliver_plain_emit(RefMut<Arena>& a, const UncountedNode& node,
                                                      const DataSlots& slots, Message& m) {
  deliver_plain_emit_in_frame(a, node, slots, m);
  drain_after_outermost_frame();
}

// The same for a plain settle.
void deliver_plain_settle(RefMut<Arena>& a, const UncountedNode& node, const DataSlots& slots, Message& m) {
  {
    DeliveryFrame frame;
    OrderedDelivery window(node);
    {
      slots.edge->state.take_resolved();
      const SinkList::Reading sinks = slots.aux->sinks.read();
      a.release();
      sinks.deliver(m);
    }
    // A RESOLVED carries nothing to release.
    deliver_any_queued(node, window);
  }
  drain_after_outermost_frame();
  end_outside_run(node);
}

// Whether the general road, for a DATA a batch flushes to a node outside
// its run, would only apply it and hand it on: its DIRTY went out at the
// deferral, its version advances in place, and nothing holds it back or
// queues it.
[[gnu::always_inline]] inline bool reads_as_plain_flush(Arena& a, const UncountedNode& node, DataSlots& slots) {
  return reads_as_plain_after_dirty(a, node, slots, [&](const LiveSlotsWithAux& s, const NodeVersionSlot& version) {
    return version.advances_in_place() && !holds_back(s, false) && !OrderedDelivery::in_progress_on(node);
  });
}

// Whether the general road, for a DATA of a node outside its run while a
// batch collects, would only touch the node and defer the DATA: nothing
// queues it or needs its content id. Read after the wave step's entries,
// whose reads gave the faults; e is the edge entry they found.
[[gnu::always_inline]] inline bool reads_as_plain_deferral(Arena& a, const UncountedNode& node, const EdgeEntry& e) {
  return !e.state.running() && !e.state.terminal() &&
         a.version_at(node.index()).mode() != NodeVersioning::Mode::Level1 && !OrderedDelivery::in_progress_on(node);
}

// The steps of the general road for a plain deferral, under the borrow a
// that read the node's entries (its edge entry: edge); releases it. The
// node's first deferral keeps that borrow for its pin and DIRTY, and the
// edge entry read in it; deferred messages it replaces go after the borrow,
// before DIRTY, as there.
[[gnu::always_inline]] inline void defer_plainly(RefMut<Arena>& a, const UncountedNode& node, EdgeEntry& edge,
                                                Message& m) {
  if (installed_scope_id() != 0) touch_current_in_installed_scope(*a, node);
  // The batch takes m itself: what it swaps back into m goes with the caller's message.
  std::optional<MessageList> replaced_list;
  if (!batch_defer_message_in(*a, node, m, replaced_list)) {
    // The key, topology and edge entry were read under this borrow: only
    // the aux entry is left to read, where a read of all of them would fault.
    return announce_batch_deferral(a, node, edge, a->aux_at(node.index()));
  }
  a.release();
  m.release_payload();
  replaced_list.reset();
  announce_batch_deferral(node);
}

// The general road from the entry read, for the list of one message m.
// Reached by a tail call, so its frame is the only one a down nests there.
[[gnu::noinline]] void down_from_entry(const UncountedNode& node, DownEntry entry, Message& m) {
  OneMessage one(m);
  down_entered(node, entry, one);
}

// Whether the general road, for one DATA of a node outside its run with no
// batch collecting, would touch the node, send DIRTY and deliver the DATA in
// a window of its own: nothing holds it back, queues it or needs its content
// id. Read from the wave step's entries as read_down_entry reads the rest,
// with the same faults, each test given up at the first that fails; fills
// slots when it holds.
[[gnu::always_inline]] inline bool reads_as_plain_set(Arena& a, const UncountedNode& node, WaveSlots wave,
                                                      DataSlots& slots) {
  return reads_as_plain(
      a, node, wave, slots,
      // A node whose messages an ending batch holds is left to the general road.
      [](const NodeState& st) { return !st.running() && !st.terminal() && !st.batch_queued(); },
      // Inline at both its sites, as at one.
      [&] [[gnu::always_inline]] (const LiveSlotsWithAux& s, const NodeVersionSlot& version) {
        return version.mode() != NodeVersioning::Mode::Level1 && !holds_back(s, false) &&
               !OrderedDelivery::in_progress_on(node);
      });
}

// The steps of the general road for a plain set, under the borrow a that
// read the node's entries into slots; releases it. The touch and the DIRTY
// mark go in that borrow: the general road runs no code between them and
// the read.
[[gnu::always_inline]] inline void set_plainly(RefMut<Arena>& a, const UncountedNode& node, const DataSlots& slots, Message& m) {
  if (installed_scope_id() != 0) touch_current_in_installed_scope(*a, node);
  {
    // Ends as it goes out of scope, right after the DATA's frame closes (no
    // code runs between): the one end its destructor makes serves both the
    // normal road and a fault.
    OrderedDelivery window(node);
    {
      SinkList::Reading sinks;
      if (slots.edge->state.mark_dirty()) sinks = slots.aux->sinks.read();
      a.release();
      sinks.deliver(dirty_message());
    }
    DeliveryFrame frame;
    deliver_data_without_content_ids_here(node, m);
    m.release_data_value();
    deliver_any_queued(node, window);
  }
  drain_after_outermost_frame();
  end_outside_run(node);
}

// A DATA of no plain road, under the borrow a whose reads of the wave
// step's entries gave their faults: the rest of the entry is read in that
// borrow, which it releases.
[[gnu::noinline]] void down_data_from_entry(RefMut<Arena>& a, const UncountedNode& node, WaveSlots wave, Message& m) {
  const std::optional<DownEntry> entry = read_down_entry(*a, node, wave);
  a.release();
  if (!entry) return;
  return down_from_entry(node, *entry, m);
}

// Sends a DATA by the plain road it fits, if one, under the borrow a whose
// reads of the wave step's entries gave their faults: in the open batch a
// plain deferral, otherwise a plain set. True once that road released a and
// took the DATA. A running node fits neither, failing each first test.
[[gnu::always_inline]] inline bool takes_a_plain_road(RefMut<Arena>& a, const UncountedNode& node, WaveSlots wave,
                                                      Message& m) {
  if (batch_collecting()) {
    if (!reads_as_plain_deferral(*a, node, wave.edge)) return false;
    defer_plainly(a, node, wave.edge, m);
    return true;
  }
  DataSlots slots;
  if (!reads_as_plain_set(*a, node, wave, slots)) return false;
  set_plainly(a, node, slots, m);
  return true;
}

// A DATA that is no plain emit, under the borrow a whose reads of the wave
// step's entries found so and gave the faults of the entry's reads; releases
// it. A plain deferral into the open batch and a plain set go in that
// borrow; any other DATA reads the rest of the entry.
[[gnu::noinline]] void down_data_not_plain(RefMut<Arena>& a, const UncountedNode& node, WaveSlots wave, Message& m) {
  if (takes_a_plain_road(a, node, wave, m)) return;
  return down_data_from_entry(a, node, wave, m);
}

// A DATA up to the drain under a borrow of its own, each read as the
// general road reads it, with its faults; false when another road took it
// whole.
[[gnu::noinline]] bool down_data_read_in_order(const UncountedNode& node, Message& m) {
  auto a = node.core_ref().borrow_mut();
  const WaveSlots wave = wave_slots(*a, node.key());
  DataSlots slots;
  if (reads_as_plain_emit(*a, node, wave, slots)) {
    deliver_plain_emit_in_frame(a, node, slots, m);
    return true;
  }
  down_data_not_plain(a, node, wave, m);
  return false;
}

// A DATA whose slot was found whole and no plain emit: the rest of its
// reads under a borrow of its own, from its wave step's entries, which
// fault nowhere.
[[gnu::noinline]] void down_data_of_whole_slot(const UncountedNode& node, Message& m) {
  auto a = node.core_ref().borrow_mut();
  const LiveSlotsWithAux s = whole_slots_with_aux(*a, node.index());
  down_data_not_plain(a, node, WaveSlots{s.topology, s.edge}, m);
}

// The rest of a lent emit (lend_plain_emit) whose lone dep sink did not
// take the DATA plainly (nothing ran since the cache took the value): the
// road that lends nothing from the sink's call on, in the frame whose id
// was taken, the message's share taken back. In the emit's own frame, so
// that the sink's general call stands where it does on that road.
[[gnu::always_inline]] inline void hand_on_lent_data(const UncountedNode& node, const DataSlots& slots,
                                                     DepSink& lone, FrameData<true>& data,
                                                     std::uint64_t frame) {
  data.take_share_back();
  Message& m = data.message();
  DeliveryFrame open(frame);
  OrderedDelivery window(node);
  {
    // Held across the call, as that road holds it: the reading keeps the
    // sink alive should the call unsubscribe it.
    const SinkList::Reading sinks = slots.aux->sinks.read();
    lone.call_any(m);
  }
  m.release_data_value();
  deliver_any_queued(node, window);
}

// A released share's plain emit, as deliver_plain_emit_in_frame makes it.
// When the replaced value has another holder (its drop runs no code) and a
// lone dep sink records the DATA plainly, no code runs from the cache's
// replace to the DATA's end: nothing could see a window on the node, the
// open frame or the message's own share, so none is made (the DATA is
// recorded under the id its frame would have had), and the share goes to
// the cache. Any other emit takes the road that lends nothing.
[[gnu::always_inline]] inline void lend_plain_emit(Arena& a, const UncountedNode& node, const DataSlots& slots,
                                                   FrameData<true>& data) {
  DepSink* const lone = static_cast<DepSink*>(slots.aux->sinks.lone_dep_sink());
  SharedValue& cache = slots.edge->cache;
  // The replaced value goes first, only when another holder keeps it: a
  // drop that changes only its count is seen by nothing.
  if (lone == nullptr || !cache.drop_unless_last()) [[unlikely]]
    return deliver_plain_emit_in_frame(a, node, slots, data.message());
  const std::uint64_t frame_id = take_frame_id();
  slots.version->advance_in_place();
  cache = data.lend_value();
  slots.edge->state.take_data();
  if (lone->take_data_plainly_at(data.message(), frame_id, detail::stack_position())) [[likely]]
    return;
  hand_on_lent_data(node, slots, *lone, data, frame_id);
}

// A DATA up to the drain; false when another road took it whole. A running
// node's plain emit, the commonest down, is read and applied at once, its
// slot found whole by one test, and made by plain_emit(arena, slots); a
// slot not whole is read again in order under a borrow, and a borrowed core
// takes the general road, which faults as it always did.
template <class PlainEmit>
[[gnu::always_inline]] inline bool down_data_until_drain(const UncountedNode& node, Message& m,
                                                         PlainEmit&& plain_emit) {
  // The stack check first: the general road makes it too.
  check_stack_headroom();
  if (node.core_ref().is_borrowed()) [[unlikely]] {
    detail::down_other(node, m);
    return false;
  }
  // No borrow is held, and up to the sinks' call this road only reads and
  // changes the arena: a borrow of its own would be set and cleared with
  // nothing between to see it.
  Arena& a = node.core_ref().unguarded();
  DataSlots slots;
  const EmitRead read = read_emit_of_whole_slot(a, node, slots);
  if (read == EmitRead::NotWhole) [[unlikely]]
    return down_data_read_in_order(node, m);
  if (read == EmitRead::NotPlain) [[unlikely]] {
    down_data_of_whole_slot(node, m);
    return false;
  }
  plain_emit(a, slots);
  return true;
}

}  // namespace

// A DATA, in the one frame a chain's DATA nests per node.
void detail::down_data(const UncountedNode& node, Message& m) {
  const auto plain_emit = [&](Arena& a, const DataSlots& slots) { deliver_plain_emit_in_frame(a, node, slots, m); };
  if (!down_data_until_drain(node, m, plain_emit)) return;
  // Nothing of this frame outlives the drain, which then takes its place:
  // a chain's DATA nests one frame fewer per node.
  drain_after_outermost_emit_frame();
}

// The same for a released share: the message is this frame's, gone before
// the drain as the caller's would be by then, holding nothing.
void down_released(const UncountedNode& node, const Value* value) {
  {
    FrameData<true> data(value);
    const auto plain_emit = [&](Arena& a, const DataSlots& slots) { lend_plain_emit(a, node, slots, data); };
    if (!down_data_until_drain(node, data.message(), plain_emit)) return;
    data.mark_delivered();
  }
  drain_after_outermost_emit_frame();
}

// A set's DATA, its wave owned by the set. Inside a batch it is most often
// a plain deferral, outside one a plain set: that is read first, in the
// borrow that reads the wave step's entries, as down_data_not_plain reads
// it; a running node's DATA goes to down_data, which reads it all again.
void detail::down_data_of_owned_set(const UncountedNode& node, Message& m) {
  check_stack_headroom();
  if (node.core_ref().is_borrowed()) [[unlikely]]
    return down_other(node, m);
  auto a = node.core_ref().borrow_mut();
  const WaveSlots wave = wave_slots(*a, node.key());
  // A running node fits neither plain road: it is told apart after their reads.
  if (takes_a_plain_road(a, node, wave, m)) return;
  if (wave.edge.state.running()) [[unlikely]] {
    a.release();
    return down_data(node, m);
  }
  down_data_from_entry(a, node, wave, m);
}

namespace {

// Whether each of a list's sinks, none alone a dep sink, takes a set's
// DIRTY quietly; mark tells what the last one marks. Out of line: the lone
// dep sink's road is the one that counts.
[[gnu::noinline]] bool each_takes_dirty_quietly(Arena& a, const GraphCore& core, std::span<const SinkEntry> sinks,
                                                QuietDirtyMark& mark) noexcept {
  for (const SinkEntry& e : sinks) {
    if (!e.dep || !static_cast<const DepSink&>(*e.sink).takes_dirty_quietly(a, core, mark)) return false;
  }
  return true;
}

// Marks each sink's dep dirty in order, each read again: a mark only makes
// the next quieter.
[[gnu::noinline]] void mark_each_dirty_quietly(Arena& a, const GraphCore& core,
                                               std::span<const SinkEntry> sinks) noexcept {
  for (const SinkEntry& e : sinks) {
    QuietDirtyMark mark;
    static_cast<const DepSink&>(*e.sink).takes_dirty_quietly(a, core, mark);
    mark.apply();
  }
}

}  // namespace

bool defer_set_quietly(const UncountedNode& node, SharedValue& value) {
  GraphCore& core = node.core_ref();
  if (core.is_borrowed()) return false;
  auto a = core.borrow_mut();
  if (!a->holds_every_entry(node.key())) return false;
  const LiveSlotsWithAux s = whole_slots_with_aux(*a, node.index());
  NodeState& state = s.edge.state;
  // Set before in the batch, its deferred messages are replaced in a wave;
  // a node deferred already found its set quiet or not then.
  if (state.batch_queued()) return false;
  if (!reads_as_plain_deferral(*a, node, s.edge)) return false;
  // A list of keep-alives only takes a DIRTY by doing nothing.
  const bool dirty_to_sinks = !state.dirty_sent() && s.aux.sinks.heeds_dirty();
  QuietDirtyMark lone_mark;
  const Sink* lone = nullptr;
  std::span<const SinkEntry> sinks;
  if (dirty_to_sinks) {
    lone = s.aux.sinks.lone_dep_sink();
    if (lone != nullptr) {
      if (!static_cast<const DepSink&>(*lone).takes_dirty_quietly(*a, core, lone_mark)) return false;
    } else {
      sinks = s.aux.sinks.entries();
      if (!each_takes_dirty_quietly(*a, core, sinks, lone_mark)) return false;
    }
  }
  // The wave's touches: the node's, then one per dep sink's node at most.
  if (!quiet_wave_fits(std::max<std::size_t>(sinks.size(), 1))) return false;
  if (!batch_defer_first_data_in_room(*a, node, value)) return false;
  state.mark_dirty();
  if (lone != nullptr) {
    lone_mark.apply();
  } else {
    mark_each_dirty_quietly(*a, core, sinks);
  }
  state.queue_in_batch();
  return true;
}

namespace {

// The general road of a single message, its entry read in a borrow of its own.
[[gnu::noinline]] void down_one_from_entry(const UncountedNode& node, Message& m) {
  const std::optional<DownEntry> entry = read_down_entry(node);
  if (!entry) return;
  return down_from_entry(node, *entry, m);
}

// A RESOLVED that is no plain settle, under the borrow a whose reads found
// so: its entry is read again in that borrow, which it releases.
[[gnu::noinline]] void down_resolved_not_plain(RefMut<Arena>& a, const UncountedNode& node, Message& m) {
  const std::optional<DownEntry> entry = read_down_entry(*a, node);
  a.release();
  if (!entry) return;
  return down_from_entry(node, *entry, m);
}

}  // namespace

// Any other single message, and a DATA of a borrowed core. A settled run's
// RESOLVED is taken in the one borrow that reads the node's entry; a
// borrowed core takes the general road, and so does a RESOLVED in a batch.
void detail::down_other(const UncountedNode& node, Message& m) {
  check_stack_headroom();
  if (m.kind() != MessageKind::Resolved || node.core_ref().is_borrowed() || batch_collecting())
    return down_one_from_entry(node, m);
  auto a = node.core_ref().borrow_mut();
  DataSlots slots;
  if (!reads_as_plain_settle(*a, node, slots)) [[unlikely]] return down_resolved_not_plain(a, node, m);
  deliver_plain_settle(a, node, slots, m);
}

void down(const UncountedNode& node, MessageList list) {
  check_stack_headroom();
  std::optional<DownEntry> entry = read_down_entry(node);
  if (!entry) return;
  down_entered(node, *entry, list);
}

void down_refusing_feedback(const UncountedNode& node, MessageList list) {
  check_stack_headroom();
  std::optional<DownEntry> entry = read_down_entry(node);
  if (!entry) return;
  down_entered<true>(node, *entry, list);
}

void down_with_lists_behind(const UncountedNode& node, MessageList list, std::vector<MessageList> behind) {
  check_stack_headroom();
  std::optional<DownEntry> entry = read_down_entry(node);
  if (!entry) return;
  down_entered(node, *entry, list, behind);
}

void down_flushed(const UncountedNode& node, Message&& message) {
  check_stack_headroom();
  if (message.kind() == MessageKind::Data && !node.core_ref().is_borrowed()) {
    auto a = node.core_ref().borrow_mut();
    DataSlots slots;
    if (reads_as_plain_flush(*a, node, slots)) {
      if (installed_scope_id() != 0) touch_current_in_installed_scope(*a, node);
      deliver_plain_emit(a, node, slots, message);
      end_outside_run(node);
      return;
    }
  }
  down(node, std::move(message));
}

}  // namespace korvalinth
