#include "node/wave/batch.hpp"

#include <memory>
#include <variant>
#include <vector>

#include "base/drop_fault.hpp"
#include "base/scope_exit.hpp"
#include "base/thread_block.hpp"
#include "dispatcher/fn_run_claim.hpp"
#include "host_boundary/host_boundary.hpp"
#include "node/wave/batch_node_index.hpp"
#include "node/wave/deferred_ops.hpp"
#include "node/wave/down.hpp"
#include "node/wave/quiet_flush.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth {

namespace {

// A node's deferred messages with the lists of the downs made on the node
// during the batch's end before its flush reached it, which wait behind them.
struct WaitedOn {
  MessageList late;
  std::vector<MessageList> behind;
};

// A node's latest deferred messages. A set's one message is kept as it is:
// no list is made for it, and its delivery takes the road of a single message.
// Lists waited behind are kept apart, so that the other roads stay as they are.
using DeferredLate = std::variant<std::monostate, Message, MessageList, std::unique_ptr<WaitedOn>>;

bool has_late(const DeferredLate& late) noexcept { return !std::holds_alternative<std::monostate>(late); }

// Converts to a DATA of value, taken from it: a Message built from it is
// built in place, with no message moved in.
struct DataOf {
  SharedValue& value;
  operator Message() const { return Message::data(std::move(value)); }
};

// Holds one unit of its node's pin count (as a PinnedNode would) while its
// handle is not empty: the handle is lent to the flush's delivery as it is.
struct BatchRecord {
  // Built in place with its first deferred messages, moved in once; adopts
  // the pin its caller raised.
  template <class Late>
  BatchRecord(const UncountedNode& pinned, CoreId core, Late& late) : node(pinned), core(core) {
    std::construct_at(&deferred, std::in_place_type<Late>, std::move(late));
  }
  // The same with a DATA of value, built in its place.
  BatchRecord(const UncountedNode& pinned, CoreId core, SharedValue& value) : node(pinned), core(core) {
    std::construct_at(&deferred, std::in_place_type<Message>, DataOf{value});
  }
  BatchRecord(BatchRecord&& other) noexcept : node(std::move(other.node)), core(other.core) {
    std::construct_at(&deferred, std::move(other.deferred));
  }
  BatchRecord& operator=(BatchRecord&&) = delete;
  ~BatchRecord() {
    if (!node.empty()) take_pin();
    // A flushed record holds nothing: its emptied list has nothing to drop.
    if (has_late(deferred)) std::destroy_at(&deferred);
  }

  // Empties a record whose one message's value was released: that message
  // has nothing left to drop, so an empty record is made over it (only its
  // tag is written: nothing reads an empty record's storage).
  void forget_released_message() noexcept {
    std::construct_at(&deferred, std::in_place_type<std::monostate>);
  }

  // The record's pin, which it no longer holds.
  PinnedNode take_pin() noexcept {
    UncountedNode taken = std::exchange(node, UncountedNode());
    return PinnedNode(taken.core(), taken.count(), taken.key());
  }

  UncountedNode node;  // keeps the node allocated until the batch ends
  CoreId core = 0;
  union {
    DeferredLate deferred;
  };
};

struct BatchState {
  std::vector<BatchRecord> records;  // in first-deferral order
  std::vector<DeferredCore> registered;
  BatchToken token;  // made for the first operation queued under the batch
  bool failed = false;  // a nested batch's callable raised
  // The node whose deferred messages were replaced last, and its record: a
  // node set over and over finds its record without a probe. Core ids start
  // at 1, so the empty id names no node.
  NodeId last_replaced;
  std::size_t last_replaced_at = 0;
  // Records from here on are not in the index: a quiet set's record goes
  // in when a lookup first needs it.
  std::size_t indexed_records = 0;
  // Records whose node is not marked queued in the batch: not yet, or for
  // good when an abort unwound its DIRTY. Marks stay until the batch ends,
  // so while there is none, a node not marked has no record.
  std::size_t unmarked_records = 0;
  // The records the batch's end flushes, out of the state meanwhile (null
  // while it collects): a down waiting behind a record finds it there.
  std::vector<BatchRecord>* ending = nullptr;
};

// The open batch, and its records by node beside it: a deferral finds both
// through one thread-local block. The index is one per thread, as the open
// batch is, and emptied when a batch opens: its table outlives the batches.
struct BatchCell : Cell<std::optional<BatchState>> {
  BatchNodeIndex index;
};

BatchCell& batch_block() noexcept { return ThreadBlock<BatchCell>::get(); }
Cell<std::optional<BatchState>>& batch_cell() noexcept { return batch_block(); }
BatchNodeIndex& record_index() noexcept { return batch_block().index; }

// Adds the records the index lacks (those from indexed on), so that a
// lookup finds every record.
void index_records(const std::vector<BatchRecord>& records, std::size_t& indexed, BatchNodeIndex& index) {
  for (std::size_t& at = indexed; at < records.size(); ++at) {
    const BatchRecord& r = records[at];
    const NodeId id{r.core, r.node.index(), r.node.generation()};
    index.fill(index.probe_for_insert(id), id, at);
  }
}
void index_records(BatchState& state, BatchNodeIndex& index) {
  index_records(state.records, state.indexed_records, index);
}

// The record list's buffer, kept between batches so that a batch's records
// need no allocation once the buffer has grown.
struct SpareRecords {
  std::vector<BatchRecord> buffer;
};
std::vector<BatchRecord>& spare_records() noexcept { return ThreadBlock<SpareRecords>::get().buffer; }

// Pins the node and adds its record with its first deferred list, in the
// index slot where the node's probe ended, by pin's raise of the pin count
// (and its unwind when the record cannot be added).
template <class Late, class Pin>
void add_record(BatchState& state, BatchNodeIndex& index, std::size_t slot, const UncountedNode& node,
                const NodeId& id, Late& late, Pin& pin) {
  pin.raise();
  try {
    state.records.emplace_back(node, id.core, late);
  } catch (...) {
    pin.unwind();
    throw;
  }
  index.fill(slot, id, state.records.size() - 1);
  state.indexed_records = state.records.size();
  state.unmarked_records += 1;
}

// Takes the core as its caller holds it (strong or weak): a weak reference
// is made only for a core not listed yet.
template <class Core>
void add_core(std::vector<DeferredCore>& list, const Core& core, CoreId id) {
  for (const DeferredCore& c : list)
    if (c.id == id) return;
  list.push_back(DeferredCore{core, id});
}

bool contains_core(const std::vector<DeferredCore>& list, CoreId id) {
  for (const DeferredCore& c : list)
    if (c.id == id) return true;
  return false;
}

// Confirms the operations queued under the open batch: they run.
void confirm_queued_ops() {
  auto c = batch_cell().borrow();
  if (c->has_value() && (*c)->token) *(*c)->token = true;
}

std::vector<DeferredCore> take_registered() {
  auto c = batch_cell().borrow_mut();
  if (!c->has_value()) return {};
  return std::exchange((*c)->registered, {});
}

void merge_extra(std::vector<DeferredCore>& extra, const std::vector<DeferredCore>& collected,
                 std::vector<DeferredCore> registered) {
  for (DeferredCore& r : registered)
    if (!contains_core(collected, r.id)) add_core(extra, r.core, r.id);
}

void remove_unconfirmed_everywhere(const std::vector<DeferredCore>& collected, const std::vector<DeferredCore>& extra) {
  for (const auto* list : {&collected, &extra}) {
    for (const DeferredCore& c : *list) {
      CoreRef core = c.core.lock();
      if (core) remove_unconfirmed_ops(core);
    }
  }
}

enum class LeftBatch : std::uint8_t { Gone, WasQueued, WasNotQueued };

// Clears a node's batch-queued flag; says whether it was set.
[[gnu::always_inline]] inline LeftBatch leave_batch_of(NodeState& state) {
  return state.leave_batch() ? LeftBatch::WasQueued : LeftBatch::WasNotQueued;
}

// The same for the record's node, when its key is still current, under the
// borrow a of its core.
[[gnu::always_inline]] inline LeftBatch leave_batch_in(Arena& a, const BatchRecord& r) {
  if (!a.is_current(r.node.key())) return LeftBatch::Gone;
  return leave_batch_of(a.current_wave_edge(r.node.index()).state);
}

// The same under a borrow of its own. Inline: the flush calls it once per
// record.
[[gnu::always_inline]] inline LeftBatch leave_batch(const BatchRecord& r) {
  auto a = r.node.core_ref().borrow_mut();
  return leave_batch_in(*a, r);
}

// How a quiet flush from a record ended: at the record it stopped at,
// which left the batch (left says how), delivered or not.
struct QuietEnd {
  LeftBatch left;
  bool delivered;
};

// From *next, a record of one message, leaves each record's batch and
// delivers its message quietly while it can be, under one borrow of their
// core, going on to the next record of that core that holds one message:
// nothing a quiet flush does changes what lets the next one through but
// what each record holds. Leaves next at the last record it took. Out of
// line: the flush's frame, below each wave it opens, stays as small as it was.
[[gnu::noinline]] QuietEnd flush_quietly_from(BatchRecord*& next, BatchRecord* const end) {
  GraphCore& core = next->node.core_ref();
  if (!quiet_flush_open(core)) return QuietEnd{leave_batch(*next), false};
  auto a = core.borrow_mut();
  // One delivery frame for the run, as each record's wave would open one:
  // each record records into a dep of its own node, so no two share a list.
  DeliveryFrame frame;
  for (;;) {
    BatchRecord& r = *next;
    const SlotKey key = r.node.key();
    // A node missing an entry leaves as the general road has it leave.
    if (!a->holds_every_entry(key)) return QuietEnd{leave_batch_in(*a, r), false};
    const LiveSlotsWithAux s = whole_slots_with_aux(*a, key.index);
    const LeftBatch left = leave_batch_of(s.edge.state);
    if (!flush_data_quietly(*a, core, s, key.index, std::get<Message>(r.deferred))) return QuietEnd{left, false};
    r.forget_released_message();
    // Where the record's wave would have ended.
    raise_kept_drop_fault();
    BatchRecord* after = next + 1;
    while (after != end && !has_late(after->deferred)) ++after;
    if (after == end || &after->node.core_ref() != &core || !std::holds_alternative<Message>(after->deferred))
      return QuietEnd{left, true};
    next = after;
  }
}

// Moves the record's deferred messages (held as late) out, leaving the
// record without any: moved straight from the record, they are not moved
// again as a whole variant on their way to the delivery.
template <class Late>
Late take_late(BatchRecord& r, Late& late) noexcept {
  Late taken = std::move(late);
  r.deferred.emplace<std::monostate>();
  return taken;
}

// The end of a batch that stopped at next, or that rolled back to end: the
// lists from next on go unsent and their nodes leave the batch-queued state,
// so they can be checkpointed and released; the batch is taken and the
// operations queued under it are removed unrun.
void stop_end_at(BatchRecord* next, BatchRecord* const end, const std::vector<DeferredCore>& collected,
                 std::vector<DeferredCore>& extra) {
  for (; next != end; ++next) {
    BatchRecord& r = *next;
    if (!has_late(r.deferred)) continue;
    r.deferred = DeferredLate();
    drop_quietly([&] { leave_batch(r); });
  }
  merge_extra(extra, collected, take_registered());
  batch_take_state();
  remove_unconfirmed_everywhere(collected, extra);
}

// The records a batch's end flushed go with its frame: a batch left
// installed by a fault no longer points at them.
void forget_ending_records() noexcept {
  BatchCell& block = batch_block();
  if (block.is_borrowed()) return;
  auto c = block.borrow_mut();
  if (c->has_value()) (*c)->ending = nullptr;
}

// Delivers late to the node in a wave scope of its own, the lists that
// waited behind the node's deferred messages right after it.
void deliver_with_lists_behind(const UncountedNode& node, MessageList late, WaitedOn& waited) {
  run_in_wave_scope(node, [&] { down_with_lists_behind(node, std::move(late), std::move(waited.behind)); });
}

// Gives the records' pins back in record order, as PinnedNode::unpin would
// one by one, lowering a run of one core's pins under one borrow; a node
// whose release is due is released at its turn, outside the borrow.
void unpin_records(std::vector<BatchRecord>& records) noexcept {
  // Walked by pointer: the list is the caller's own, out of reach of the
  // code a due release runs.
  BatchRecord* it = records.data();
  BatchRecord* const end = it + records.size();
  while (it != end) {
    const CoreRef core = it->node.core();  // held through the run: each record's reference goes in it
    if (!core || core->is_borrowed()) {
      // Unpinned alone, so that a fault of its own is kept as it always was.
      drop_quietly([&] { it->take_pin().unpin(); });
      ++it;
      continue;
    }
    UncountedNode* due = nullptr;
    {
      auto a = core->borrow_mut();
      for (; it != end && it->node.core() == core; ++it) {
        UncountedNode& node = it->node;
        // The record pinned a current slot: it is current still.
        if (a->drop_held_pin(node.index(), node.count()->count)) {
          due = &node;
          ++it;
          break;
        }
        node.drop();
      }
    }
    if (due != nullptr) {
      const SharedCount count = due->count();
      const SlotKey key = due->key();
      due->drop();
      drop_quietly([&] { release_slot(core, key, count->count); });
    }
  }
}

}  // namespace

namespace {

// Replaces the node's deferred messages (a Message or a MessageList) by
// late, pinning the node (by pin) on its first deferral. The replaced ones
// go after the borrow: messages of the same shape are swapped into late,
// which the caller drops; others are handed to replace_other with the
// record's messages, which it replaces by late. Says whether any were.
template <class Late, class Pin, class ReplaceOther>
bool defer_late_messages(const UncountedNode& node, Late& late, Pin&& pin, ReplaceOther&& replace_other) {
  BatchCell& block = batch_block();
  auto c = block.borrow_mut();
  BatchState& state = **c;
  // The node has a core: the caller acts on it there.
  const NodeId id{node.core_ref().id(), node.index(), node.generation()};
  if (!(state.last_replaced == id)) {
    BatchNodeIndex& index = block.index;
    index_records(state, index);
    const std::size_t slot = index.probe_for_insert(id);
    const std::optional<std::size_t> at = index.value_at(slot);
    if (!at) {
      add_record(state, index, slot, node, id, late, pin);
      return false;
    }
    state.last_replaced = id;
    state.last_replaced_at = *at;
    detail::tls_batch_last_replaced = node.count().get();
  }
  BatchRecord* r = &state.records[state.last_replaced_at];
  if (Late* same = std::get_if<Late>(&r->deferred)) {
    same->swap(late);
    return true;
  }
  replace_other(r->deferred);
  return true;
}

// A replace_other that keeps the replaced messages in replaced.
template <class Late>
auto keep_replaced_in(DeferredLate& replaced, Late& late) {
  return [&](DeferredLate& deferred) {
    replaced = std::exchange(deferred, DeferredLate(std::in_place_type<Late>, std::move(late)));
  };
}

// The pin of a node whose core is not borrowed yet.
struct PinInOwnBorrow {
  const UncountedNode& node;
  void raise() {
    auto a = node.core_ref().borrow_mut();
    a->check(node.key());
    a->add_pin(node.index());
  }
  // The pin goes back as it would have in the record.
  void unwind() { PinnedNode unwound(node.core(), node.count(), node.key()); }
};

// The pin of a node whose core the caller holds borrowed, its key found
// current and the node touched: the touch keeps it from being released.
struct PinInCallersBorrow {
  Arena& a;
  const UncountedNode& node;
  void raise() noexcept { a.add_pin(node.index()); }
  void unwind() noexcept { a.drop_pin(node.key()); }
};

}  // namespace

void batch_defer_list(const UncountedNode& node, MessageList late) {
  DeferredLate replaced;
  defer_late_messages(node, late, PinInOwnBorrow{node}, keep_replaced_in(replaced, late));
}

void batch_defer_message(const UncountedNode& node, Message&& late) {
  DeferredLate replaced;
  defer_late_messages(node, late, PinInOwnBorrow{node}, keep_replaced_in(replaced, late));
  late.release_payload();
}

bool batch_defer_message_in(Arena& a, const UncountedNode& node, Message& late,
                            std::optional<MessageList>& replaced_list) {
  // A replaced list goes straight to the caller, with no variant between.
  return defer_late_messages(node, late, PinInCallersBorrow{a, node}, [&](DeferredLate& deferred) {
    if (MessageList* list = std::get_if<MessageList>(&deferred)) replaced_list.emplace(std::move(*list));
    deferred.emplace<Message>(std::move(late));
  });
}

bool batch_defer_first_data_in_room(Arena& a, const UncountedNode& node, SharedValue& value) {
  BatchCell& block = batch_block();
  if (block.is_borrowed()) return false;
  auto c = block.borrow_mut();
  if (!c->has_value()) return false;
  BatchState& state = **c;
  if (state.records.size() == state.records.capacity()) return false;
  const CoreId core = node.core_ref().id();
  // A node not marked has a record only when a record of the other roads
  // is unmarked; those are indexed as they are added.
  if (state.unmarked_records != 0 && block.index.find(NodeId{core, node.index(), node.generation()})) return false;
  // The record has room: nothing faults once the pin is raised.
  a.add_pin(node.index());
  state.records.emplace_back(node, core, value);
  return true;
}

void batch_note_marked() noexcept {
  // A borrowed cell keeps its count: one too high only costs quiet sets a lookup.
  BatchCell& block = batch_block();
  if (block.is_borrowed()) return;
  auto c = block.borrow_mut();
  if (c->has_value() && (*c)->unmarked_records != 0) (*c)->unmarked_records -= 1;
}

void batch_register_core(const CoreRef& core) {
  auto c = batch_cell().borrow_mut();
  if (!c->has_value()) return;
  add_core((*c)->registered, core, core->id());
}

namespace {
// The open batch's token, made on its first use: most batches queue no
// operation.
const BatchToken& token_of(BatchState& state) {
  if (!state.token) state.token = std::make_shared<bool>(false);
  return state.token;
}
}  // namespace

std::optional<BatchToken> batch_find_node(const NodeId& node) {
  auto c = batch_cell().borrow_mut();
  if (!c->has_value() || !batch_collecting()) return std::nullopt;
  index_records(**c, record_index());
  std::optional<std::size_t> at = record_index().find(node);
  if (at && has_late((*c)->records[*at].deferred)) return token_of(**c);
  return std::nullopt;
}

bool batch_wait_behind_flush(const UncountedNode& node, MessageList& list) {
  BatchCell& block = batch_block();
  auto c = block.borrow_mut();
  if (!c->has_value() || (*c)->ending == nullptr) return false;
  BatchState& state = **c;
  std::vector<BatchRecord>& records = *state.ending;
  index_records(records, state.indexed_records, block.index);
  const std::optional<std::size_t> at = block.index.find(NodeId{node.core_ref().id(), node.index(), node.generation()});
  if (!at) return false;
  DeferredLate& deferred = records[*at].deferred;
  if (!has_late(deferred)) return false;
  if (auto* waited = std::get_if<std::unique_ptr<WaitedOn>>(&deferred)) {
    (*waited)->behind.push_back(std::move(list));
    return true;
  }
  // Its room made before anything moves: an allocation that fails leaves
  // the record and the list as they were.
  auto waited = std::make_unique<WaitedOn>();
  waited->late.reserve(1);
  waited->behind.reserve(1);
  waited->behind.push_back(std::move(list));
  if (Message* one = std::get_if<Message>(&deferred))
    waited->late.push_back(std::move(*one));
  else
    waited->late = std::move(std::get<MessageList>(deferred));
  deferred = std::move(waited);
  return true;
}

BatchToken batch_token_for_new_deferral() {
  auto c = batch_cell().borrow_mut();
  if (c->has_value()) return token_of(**c);
  return std::make_shared<bool>(true);
}

void batch_defer_emission(const UncountedNode& node, MessageList messages, std::optional<std::uint64_t> toward_dep) {
  defer_core_op(node.core(), DeferredOp{DeferredKind::UpNext, WeakNodeRef::of(node), batch_token_for_new_deferral(),
                                        UpNextPayload{std::move(messages), toward_dep}});
}

void batch_take_state() {
  std::optional<BatchState> taken;
  {
    auto c = batch_cell().borrow_mut();
    taken = std::exchange(*c, std::nullopt);
    detail::tls_batch_open = false;
    detail::tls_batch_collecting = false;
    detail::tls_batch_last_replaced = nullptr;
  }
}

void run_batch(FunctionRef<bool()> call) {
  HostBoundaryScope boundary;
  bool nested = false;
  {
    auto c = batch_cell().borrow();
    nested = c->has_value();
  }
  if (nested) {
    // The outer batch is open until its callable returns: it reads the mark then.
    if (call()) {
      auto c = batch_cell().borrow_mut();
      if (c->has_value()) (*c)->failed = true;
    }
    return;
  }
  bool failed = false;
  {
    auto c = batch_cell().borrow_mut();
    BatchState state;
    record_index().clear();
    state.records = std::move(spare_records());
    *c = std::move(state);
    detail::tls_batch_open = true;
    detail::tls_batch_collecting = true;
    detail::tls_batch_inside_runs = FnRunClaim::any();
  }
  try {
    failed = call();
  } catch (...) {
    // An abort through the callable: nothing deferred is delivered, the
    // deferring nodes leave the batch-queued state (so they can be
    // checkpointed and released) and the operations queued under the batch go.
    std::vector<DeferredCore> cores;
    {
      auto c = batch_cell().borrow();
      if (c->has_value()) {
        for (const BatchRecord& r : (*c)->records) {
          add_core(cores, r.node.core(), r.core);
          drop_quietly([&] { leave_batch(r); });
        }
        for (const DeferredCore& d : (*c)->registered) add_core(cores, d.core, d.id);
      }
    }
    drop_quietly([] { batch_take_state(); });
    drop_quietly([&] { remove_unconfirmed_everywhere(cores, {}); });
    throw;
  }

  std::vector<BatchRecord> records;
  std::vector<DeferredCore> registered;
  {
    auto c = batch_cell().borrow_mut();
    if (!c->has_value()) fault("batch frame installed");
    detail::tls_batch_collecting = false;
    failed = failed || (*c)->failed;
    records = std::move((*c)->records);
    (*c)->records.clear();
    (*c)->ending = &records;
    (*c)->last_replaced = NodeId();  // its record left with the others
    detail::tls_batch_last_replaced = nullptr;
    registered = std::move((*c)->registered);
    (*c)->registered.clear();
  }
  // The emptied record list's buffer serves the next batch.
  auto keep_buffer = on_scope_exit([&]() noexcept {
    forget_ending_records();
    records.clear();
    if (records.capacity() > spare_records().capacity()) spare_records() = std::move(records);
  });
  // Every record leaves the batch's pin, in order, however the end goes.
  auto unpin_at_end = on_scope_exit([&]() noexcept { unpin_records(records); });

  std::vector<DeferredCore> collected;
  // A run of one core's records is listed once, at its first record.
  const BatchRecord* last = nullptr;
  for (const BatchRecord& r : records) {
    if (last == nullptr || r.core != last->core) add_core(collected, r.node.core(), r.core);
    last = &r;
  }
  std::vector<DeferredCore> extra;
  merge_extra(extra, collected, std::move(registered));

  if (!failed) {
    // Walked by pointer: the list is this frame's own, out of reach of the
    // deliveries.
    BatchRecord* next = records.data();
    BatchRecord* const end = next + records.size();
    try {
      for (; next != end; ++next) {
        if (!has_late(next->deferred)) continue;
        // Delivered when the node is still there, in a wave scope of its
        // own; what was not delivered goes at the end of the step.
        if (std::holds_alternative<Message>(next->deferred)) {
          const QuietEnd quiet = flush_quietly_from(next, end);
          if (quiet.delivered) continue;
          BatchRecord& r = *next;
          Message* one = &std::get<Message>(r.deferred);
          if (quiet.left != LeftBatch::Gone) {
            // Delivered from the record in place: the record lets go of it
            // where a message of the delivery's own would go.
            run_in_wave_scope(r.node, [&] {
              auto forget = on_scope_exit([&]() noexcept { r.deferred.emplace<std::monostate>(); });
              down_flushed(r.node, std::move(*one));
            });
          } else {
            r.deferred.emplace<std::monostate>();
          }
        } else if (auto* waited = std::get_if<std::unique_ptr<WaitedOn>>(&next->deferred)) {
          BatchRecord& r = *next;
          const std::unique_ptr<WaitedOn> w = take_late(r, *waited);
          if (leave_batch(r) != LeftBatch::Gone) deliver_with_lists_behind(r.node, std::move(w->late), *w);
        } else {
          BatchRecord& r = *next;
          MessageList late = take_late(r, std::get<MessageList>(r.deferred));
          if (leave_batch(r) != LeftBatch::Gone) down_in_wave_scope(r.node, std::move(late));
        }
      }
    } catch (...) {
      stop_end_at(next, end, collected, extra);
      throw;
    }
    merge_extra(extra, collected, take_registered());
    confirm_queued_ops();
    batch_take_state();
    std::exception_ptr saved;
    for (const auto* list : {&collected, &extra}) {
      for (const DeferredCore& c : *list) {
        CoreRef core = c.core.lock();
        if (!core) continue;
        try {
          drain_deferred_ops(core);
        } catch (const HostBoundaryAbort&) {
          for (const auto* all : {&collected, &extra})
            for (const DeferredCore& d : *all) discard_deferred_ops(d.core);
          throw;
        } catch (...) {
          if (!saved) saved = std::current_exception();
        }
      }
    }
    if (saved) std::rethrow_exception(saved);
  } else {
    BatchRecord* next = records.data();
    BatchRecord* const end = next + records.size();
    try {
      for (; next != end; ++next) {
        BatchRecord& r = *next;
        if (leave_batch(r) != LeftBatch::WasQueued) continue;
        // The lists that waited behind the dropped messages follow the RESOLVED.
        if (auto* waited = std::get_if<std::unique_ptr<WaitedOn>>(&r.deferred)) {
          const std::unique_ptr<WaitedOn> w = take_late(r, *waited);
          deliver_with_lists_behind(r.node, one_message(Message::resolved()), *w);
        } else {
          down_in_wave_scope(r.node, one_message(Message::resolved()));
        }
      }
    } catch (...) {
      stop_end_at(next, end, collected, extra);
      throw;
    }
    stop_end_at(end, end, collected, extra);
  }
}

}  // namespace korvalinth
