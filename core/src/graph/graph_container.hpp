#pragma once
// The container behind one Graph: its name, its own GraphCore, the
// Dispatcher it is bound to, the nodes registered under ids (node table and
// id map), the ids released for good, the counters of generated and
// synthetic ids, its mounted child graphs and its topology observers.
//
// Registered nodes are held by the id map's units of their counts, so they
// live while registered; each row refers to its entry. Every table sits in its own cell
// and is borrowed only for one lookup or update; observers, sinks and node
// functions are never called while one is borrowed.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/cell.hpp"
#include "base/heap_optional.hpp"
#include "dispatcher/dispatcher.hpp"
#include "graph/first_row_index.hpp"
#include "graph/graph_mount.hpp"
#include "graph/id_map.hpp"
#include "graph/id_map_pool.hpp"
#include "node/arena/kind_text.hpp"
#include "graph/node_options.hpp"
#include "graph/topology_event.hpp"
#include "graph/unnamed_counter.hpp"
#include "node/arena/construct.hpp"
#include "node/arena/graph_core.hpp"
#include "node/arena/unsubscribe_fn.hpp"

namespace korvalinth {

using NodeMetadata = std::map<std::string, std::string>;

// A row's registration kind ("state", "node", ...), read as its text, in a
// word that also keeps the rest a row rarely has (another name, metadata, a
// restore reference): while there is none of it the word is the kind's own,
// else the address of one record keeping the kind beside the rest.
class RowKind {
 public:
  struct Extras {
    KindText kind;
    std::optional<std::string> name_unlike_id;
    NodeMetadata metadata;
    HeapOptional<RegistryRef> restore;
  };
  // Takes what it keeps out of its arguments; a record is made only for the rest.
  RowKind(KindText&& kind, std::optional<std::string>&& name_unlike_id, NodeMetadata&& metadata,
          HeapOptional<RegistryRef>&& restore);
  // The same for a row with neither metadata nor a restore reference.
  RowKind(KindText&& kind, std::optional<std::string>&& name_unlike_id);
  RowKind(RowKind&& o) noexcept : bits_(std::exchange(o.bits_, KindWord::empty())) {}
  // Swaps with a moved-in kind, which lets the old one go: a self-move keeps the kind.
  RowKind& operator=(RowKind o) noexcept {
    std::swap(bits_, o.bits_);
    return *this;
  }
  ~RowKind() { drop(); }

  const std::string& text() const noexcept { return has_extras() ? extras()->kind.text() : KindWord::text(bits_); }
  operator const std::string&() const noexcept { return text(); }
  friend bool operator==(const RowKind& kind, std::string_view text) noexcept { return kind.text() == text; }
  // The record of the rest, or null when there is none.
  const Extras* extras() const noexcept {
    return has_extras() ? reinterpret_cast<const Extras*>(bits_ & ~kExtras) : nullptr;
  }

 private:
  // A bit a kind's word leaves free tells a record's address.
  static constexpr std::uintptr_t kExtras = 2;
  static_assert((KindWord::kFreeBits & kExtras) == kExtras && alignof(Extras) > kExtras);
  bool has_extras() const noexcept { return (bits_ & kExtras) != 0; }
  void drop() noexcept {
    if (has_extras())
      delete extras();
    else
      KindWord::free(bits_);
  }
  std::uintptr_t bits_;
};

// One registered node. A graph keeps one row per node, so the row is kept
// small: its id and node are read from its id-map entry, a name equal to
// the id is not kept twice, and the rest, which most nodes have none of
// (another name, metadata, a restore reference), lives in one record on the
// heap that the kind's word points at.
struct NodeEntry {
  // Takes what it keeps out of its arguments: each is moved once, into its field.
  // The entry is erased from the map only after the row is taken out.
  NodeEntry(const IdMap::value_type& registered, std::optional<std::string>&& node_name,
            KindText&& node_kind, NodeMetadata&& node_metadata, HeapOptional<RegistryRef>&& node_restore);
  // The same for a row with neither metadata nor a restore reference.
  NodeEntry(const IdMap::value_type& registered, std::optional<std::string>&& node_name, KindText&& node_kind);

  // The name given at registration; absent for a generated id.
  std::optional<std::string> name() const;
  const NodeMetadata& metadata() const noexcept;
  // How the node is rebuilt on restore, when registration gave a way.
  const HeapOptional<RegistryRef>& restore() const noexcept;
  // The registered id and the node, as the id-map entry keeps them; the
  // node's core is the graph's.
  const std::string& id() const noexcept { return entry().first; }
  const RegisteredNode& node() const noexcept { return entry().second; }

 private:
  // One id and one unit of the count per registration is enough: the map
  // entry's. Its address has a free low bit, which tells whether the name
  // given equals the id: the row is then two words, not three.
  static constexpr std::uintptr_t kNamedAsId = 1;
  static_assert(alignof(IdMap::value_type) > kNamedAsId);
  std::uintptr_t entry_bits_;

 public:
  // Made after entry_bits_, whose making reads the name before the kind takes it.
  RowKind kind;  // the registration kind, and the rest a row rarely has

 private:
  const IdMap::value_type& entry() const noexcept {
    return *reinterpret_cast<const IdMap::value_type*>(entry_bits_ & ~kNamedAsId);
  }
  bool named_as_id() const noexcept { return (entry_bits_ & kNamedAsId) != 0; }
  // kNamedAsId when the name given equals the id, which the row then does not keep.
  static std::uintptr_t named_as(const std::string& id, std::optional<std::string>& name) noexcept;
};
static_assert(sizeof(NodeEntry) == 2 * sizeof(void*));

inline constexpr const char* kUnnamedCounterExhausted =
    "graph: cannot generate a node id; the counter of unnamed nodes is exhausted";

class GraphContainer : public std::enable_shared_from_this<GraphContainer> {
 public:
  // A graph with a fresh GraphCore, bound to dispatcher (the calling
  // thread's default when none is given); timing turns function timing on.
  static GraphRef create(std::optional<std::string> name, DispatcherRef dispatcher = nullptr, bool timing = false);

  GraphContainer(std::optional<std::string> name, CoreRef core, DispatcherRef dispatcher);
  ~GraphContainer();
  GraphContainer(const GraphContainer&) = delete;
  GraphContainer& operator=(const GraphContainer&) = delete;

  const std::optional<std::string>& name() const noexcept { return name_; }
  const std::optional<VersioningForm>& default_versioning() const noexcept { return default_versioning_; }
  void set_default_versioning(std::optional<VersioningForm> v) { default_versioning_ = std::move(v); }
  const CoreRef& core() const noexcept { return core_; }
  const DispatcherRef& dispatcher() const noexcept { return dispatcher_; }
  const SharedGraphHooks& graph_hooks() const noexcept { return hooks_; }
  bool timing() const noexcept { return timing_; }
  const SeqCounter& topology_seq() const noexcept { return topology_seq_; }
  std::uint64_t unnamed_counter() const noexcept { return unnamed_counter_.value(); }
  std::uint64_t synthetic_counter() const noexcept { return synthetic_counter_; }
  std::uint64_t live_observers() const noexcept { return live_observers_; }

  const Cell<std::vector<NodeEntry>>& node_table() const noexcept { return node_table_; }
  const Cell<IdMap>& id_map() const noexcept { return id_map_; }
  const Cell<std::unordered_set<std::string>>& released_ids() const noexcept { return released_ids_; }
  // A released node's later id goes with it.
  void forget_later_id(const NodeId& node) { reregistered_ids_.borrow_mut()->erase(node); }
  // Takes the rows whose id is in ids out of the table, in table order.
  std::vector<NodeEntry> take_rows(const std::unordered_set<std::string>& ids);
  // How many nodes the first-row index holds; 0 while it is not built.
  std::size_t indexed_nodes() const {
    auto index = first_row_index_.borrow();
    return *index ? (*index)->size() : 0;
  }
  const Cell<std::vector<GraphMount>>& mounts() const noexcept { return mounts_; }

  // Whether the handle's node lives in this graph's core.
  bool owns(const UncountedNode& node) const noexcept { return node.core_id() == core_->id(); }
  // The identity of a row's node: every row's node lives in this graph's core.
  NodeId row_node_id(const NodeEntry& row) const noexcept { return row.node().id(core_->id()); }

  // ---- registration and lookup ----

  // Registers a node just constructed in this graph's core under the
  // options' name, or a generated "{kind}#{n}"; returns the handle it was
  // given. Faults on a foreign node, a duplicate id or a released id (the
  // handle is then dropped, which releases a node that nothing else holds).
  NodeHandle register_node(NodeHandle handle, std::string kind, NodeOptions options);
  // As register_node, under the given id.
  NodeHandle register_node_with_id(NodeHandle handle, std::string kind, std::string id, NodeOptions options);
  // As register_node_with_id, for a node built with this graph's installs.
  NodeHandle register_built_node_with_id(NodeHandle handle, std::string kind, std::string id, NodeOptions options);
  // What every node registered here holds; the topology hook and call
  // context are made at the first need.
  GraphInstalls node_installs() {
    if (!deps_changed_hook_) [[unlikely]]
      make_installs();
    return GraphInstalls{hooks_, deps_changed_hook_, &call_context_};
  }
  NodeHandle register_node(NodeHandle handle, std::string kind, std::string id,
                           std::optional<std::string> name = std::nullopt) {
    return register_node_with_id(std::move(handle), std::move(kind), std::move(id), NodeOptions::named(std::move(name)));
  }

  // A counted handle of the node registered under id.
  std::optional<NodeHandle> find(const std::string& id) const;
  // prefix + the node's registered id, or its synthetic id when it has no row.
  std::string node_id_of(const UncountedNode& node, std::string_view prefix = {});
  // prefix + the node's synthetic id "~{kind}#{n}", given once per node for
  // the life of the graph.
  std::string node_id_of_slow(const UncountedNode& node, std::string_view prefix = {});
  // node_id_of each dep, counted handles or uncounted.
  template <class Handles>
  std::vector<std::string> dep_ids(const Handles& deps) {
    std::vector<std::string> out;
    out.reserve(std::size(deps));
    for (const UncountedNode& d : deps) out.push_back(node_id_of(d));
    return out;
  }
  // Faults at the first dep of another graph, label naming the node.
  template <class Handles = std::span<const NodeHandle>>
  void check_deps_same_graph(const Handles& deps, std::string_view label) const {
    for (const UncountedNode& d : deps) {
      if (!owns(d))
        fault(std::string(label) + " dep belongs to a different graph; cross-graph deps require a wire bridge");
    }
  }
  // Resolves unset versioning from the graph's default; the NodeSpec part.
  NodeSpec merge_option_value(NodeOptions& options) const;

  // ---- node factories ----
  // Each builds one node in this graph's core with the given node function
  // (registered in this graph's Dispatcher) and registers it; the result is
  // the registered node's counted handle. All but add_state_node run inside
  // the host boundary. Foreign deps and a pull id with pause mode "false" are
  // refused before anything is built.

  // Callback nodes with deps, registration kind "node".
  NodeHandle node(std::vector<NodeHandle> deps, SharedNodeFn fn, NodeOptions options) {
    return node_of_list(DepList::for_build(std::move(deps)), std::move(fn), std::move(options));
  }
  // The same with the deps already in their list, as a binding fills it.
  // The options are taken by reference: a record that large costs a move
  // and a destruction per node when passed by value.
  NodeHandle node_of_list(DepList deps, SharedNodeFn fn, NodeOptions&& options);
  NodeHandle async_node(std::vector<NodeHandle> deps, SharedNodeFn fn, NodeOptions options) {
    return node(std::move(deps), std::move(fn), std::move(options));
  }
  NodeHandle conformance_async_node(std::vector<NodeHandle> deps, SharedNodeFn fn, NodeOptions options) {
    return node(std::move(deps), std::move(fn), std::move(options));
  }
  // Sources without deps, registration kind "producer".
  NodeHandle producer(SharedNodeFn fn, std::optional<std::string> name);
  NodeHandle async_source(SharedNodeFn fn, NodeOptions options);
  NodeHandle conformance_async_source(SharedNodeFn fn, NodeOptions options) {
    return async_source(std::move(fn), std::move(options));
  }
  // Dep nodes with kind text and registration kind "derived" / "effect".
  NodeHandle derived(std::vector<NodeHandle> deps, SharedNodeFn fn, std::optional<std::string> name) {
    return derived_of_list(DepList::for_build(std::move(deps)), std::move(fn), std::move(name));
  }
  NodeHandle effect(std::vector<NodeHandle> deps, SharedNodeFn fn, std::optional<std::string> name) {
    return effect_of_list(DepList::for_build(std::move(deps)), std::move(fn), std::move(name));
  }
  // The same with the deps already in their list, as a binding fills it.
  NodeHandle derived_of_list(DepList deps, SharedNodeFn fn, std::optional<std::string>&& name);
  NodeHandle effect_of_list(DepList deps, SharedNodeFn fn, std::optional<std::string>&& name);
  // Lays the options over base (where they differ from the defaults) and
  // builds the node with fn, for a kind of the graph's own factories.
  NodeHandle add_dep_node(SharedKind kind, NodeSpec base, SharedNodeFn fn, DepList deps, NodeOptions options);
  // State nodes, registration kind "state": settled with the initial value,
  // or sentinel without one.
  NodeHandle state(SharedValue initial, std::optional<std::string> name);
  NodeHandle state_empty(std::optional<std::string> name);
  NodeHandle add_state_node(NodeOptions options);

  // ---- topology events and observers ----

  TopologyObserverHandle add_topology_observer(std::optional<std::string> scope, TopologyObserver observer);
  // Delivers the event, or queues it when a delivery is in progress.
  void emit_topology(TopologyEvent event);
  // A NodeAdded event for the node just registered under id; registration
  // calls it only once it has seen an observer live.
  void emit_node_added(const std::string& id, const UncountedNode& node, std::string kind);
  // A DepsChanged event, when an observer is live and the node is registered.
  template <class Handles>
  void emit_deps_changed(const std::string& id, const Handles& old_deps, const Handles& new_deps) {
    if (live_observers_ == 0) return;
    {
      std::optional<NodeHandle> found = find(id);
      if (!found) return;
      found->drop();
    }
    const std::uint64_t seq = next_seq();
    // New before old: this order numbers synthetic ids first seen here.
    std::vector<std::string> new_ids = dep_ids(new_deps);
    std::vector<std::string> old_ids = dep_ids(old_deps);
    emit_topology(TopologyEvent{id, std::move(new_ids), std::move(old_ids), std::nullopt, seq,
                                TopologyEventKind::DepsChanged});
  }
  // The same for the id the node was last registered under, if it still has a row.
  void emit_deps_changed_of(const UncountedNode& node, const std::vector<NodeHandle>& old_deps,
                            const std::vector<NodeHandle>& new_deps);
  // The next topology number (the counter advances).
  std::uint64_t next_seq() { return take_seq(topology_seq_); }

  // ---- mounts ----

  // Mounts child under path; faults on an empty or duplicate path and on a cycle.
  void mount(std::string path, GraphRef child);
  // Whether target is the mount's child or mounted anywhere below it.
  static bool contains_graph(const GraphContainer& target, const GraphMount& mount);
  // Turns function timing on for this graph and every graph mounted below it.
  void enable_timing_recursive();
  // Gives each mount a forwarder of the child's events while this graph has observers.
  void attach_mount_observers();
  // Takes every mount's forwarder out and drops it.
  void detach_mount_observers();

 private:
  friend class TopologyObserverHandle;
  void unregister_observer(std::size_t slot);
  void deliver_topology(const TopologyEvent& event);
  // Whether a node to register holds this graph's installs already (the
  // factories build it so) or is given them by registration.
  enum class Installs : bool { ToGive, Held };
  // register_node, for a node whose installs are as told.
  NodeHandle register_under_name_or_kind(NodeHandle&& handle, KindText&& kind, NodeOptions&& options,
                                         Installs installs);
  // The same for options that hold a name and nothing else.
  NodeHandle register_under_name_or_kind(NodeHandle&& handle, KindText&& kind, std::optional<std::string>&& name,
                                         Installs installs);
  // Both registrations under a name or kind, each appending its own row.
  template <class AppendRow>
  NodeHandle register_under_name_or_generated_id(NodeHandle&& handle, KindText&& kind,
                                                 const std::optional<std::string>& name, Installs installs,
                                                 AppendRow&& append_row);
  // The next "{kind}#{n}"; faults when the counter of unnamed nodes is exhausted.
  std::string generated_id(const KindText& kind);
  // Takes what it keeps out of its arguments: each is moved once, into the row or the map;
  // append_row(rows, map entry, kind) appends the node's row.
  // A generated id is known not to raise the counter of unnamed nodes.
  template <class AppendRow>
  NodeHandle register_checked(NodeHandle&& handle, KindText&& kind, std::string&& id, bool id_generated,
                              Installs installs, AppendRow&& append_row);
  // add_dep_node's work, for a kind already made.
  NodeHandle add_dep_node_of_kind(KindText&& kind, NodeSpec&& spec, SharedNodeFn&& fn, DepList&& deps,
                                  NodeOptions&& options);
  // The same with the default options but a name: only the graph's versioning
  // is laid over the default settings, and the row keeps nothing else.
  NodeHandle add_named_dep_node(SharedKind kind, DepList&& deps, SharedNodeFn&& fn,
                                std::optional<std::string>&& name);
  std::optional<std::string> last_registered_id(const UncountedNode& node) const;
  // prefix + the id of the node's first row, or none: from the index while
  // observers are live (built here on first need), else by a scan.
  std::optional<std::string> first_row_id(const UncountedNode& node, std::string_view prefix) const;
  // Keeps a built index current with a row just appended.
  void index_row(const NodeEntry& row);
  // Makes the topology hook and call context every node here holds; once.
  [[gnu::cold, gnu::noinline]] void make_installs();

  std::optional<std::string> name_;
  std::optional<VersioningForm> default_versioning_;
  CoreRef core_;
  DispatcherRef dispatcher_;
  SharedGraphHooks hooks_;  // shared once: every registered node holds this block
  // The one topology hook of every registered node, made at the first need.
  TopologyHookShare deps_changed_hook_;
  // The call context of every node the factories build, made with the hook.
  SharedCallContext call_context_;
  SeqCounter topology_seq_;
  Cell<std::vector<NodeEntry>> node_table_;
  // Built while observers are live and dropped with the last one.
  Cell<std::optional<FirstRowIndex>> first_row_index_;
  // Declared before the map, so it outlives it; the map keeps units of
  // counts of core_'s nodes, and the core is let go of only after them.
  IdMapPool id_map_pool_;
  Cell<IdMap> id_map_;
  Cell<std::unordered_set<std::string>> released_ids_;
  Cell<std::vector<GraphMount>> mounts_;
  UnnamedCounter unnamed_counter_;
  std::uint64_t synthetic_counter_ = 0;
  Cell<std::unordered_map<NodeId, std::string, NodeIdHash>> synthetic_ids_;
  // The last id of each node registered more than once; the others are found by their row.
  Cell<std::unordered_map<NodeId, std::string, NodeIdHash>> reregistered_ids_;
  Cell<std::vector<std::optional<ObserverSlot>>> observer_slots_;
  std::uint64_t live_observers_ = 0;
  Cell<std::vector<std::size_t>> free_observer_slots_;
  Cell<std::deque<TopologyEvent>> pending_topology_events_;
  bool timing_ = false;
  bool emitting_topology_ = false;
};

// The topology hook registration installs: emits the deps-changed event of
// the rewired node while the graph lives.
TopologyHook deps_changed_hook(WeakGraph graph);

// The node's deps as uncounted handles (read under a shared borrow of its core).
std::vector<UncountedNode> dep_handles(const UncountedNode& node);

// Builds a node with deps for restore: checks, registers the function,
// constructs it with the options' settings and pull id and the kind as kind
// text, and registers the node under id (the row takes name, restore ref and metadata
// from the options).
NodeHandle restore_dep_node(GraphContainer& graph, std::string id, std::string kind, std::vector<NodeHandle> deps,
                            SharedNodeFn fn, NodeOptions options);

}  // namespace korvalinth
