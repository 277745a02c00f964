#include "graph/graph_container.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>
#include <tuple>

#include "base/drop_fault.hpp"

namespace korvalinth {

GraphRef GraphContainer::create(std::optional<std::string> name, DispatcherRef dispatcher, bool timing) {
  if (!dispatcher) dispatcher = Dispatcher::thread_default();
  auto g = std::make_shared<GraphContainer>(std::move(name), GraphCore::create(), std::move(dispatcher));
  if (timing) g->enable_timing_recursive();
  return g;
}

GraphContainer::GraphContainer(std::optional<std::string> name, CoreRef core, DispatcherRef dispatcher)
    : name_(std::move(name)),
      core_(std::move(core)),
      dispatcher_(std::move(dispatcher)),
      topology_seq_(std::make_shared<Cell<std::uint64_t>>(0)),
      id_map_(&id_map_pool_, core_) {}

GraphContainer::~GraphContainer() {
  // Rows, then the id map (each handle drop may release its node), then the
  // mounts with their children, then the core.
  drop_quietly([&] {
    std::vector<NodeEntry> rows = std::move(node_table_.unguarded());
    node_table_.unguarded().clear();
  });
  drop_quietly([&] {
    IdMap ids = std::move(id_map_.unguarded());
    ids.drop_units();
  });
  drop_quietly([&] {
    std::vector<GraphMount> mounts = std::move(mounts_.unguarded());
    mounts_.unguarded().clear();
    for (GraphMount& m : mounts) {
      GraphMount gone(std::move(m));  // in mount order
    }
  });
  core_.reset();
}

namespace {

// The n of an id whose text after its last "#" is an unsigned decimal
// number (an optional "+" and one or more ASCII digits, within 64 bits).
std::optional<std::uint64_t> unnamed_number(const std::string& id) {
  auto hash = id.rfind('#');
  if (hash == std::string::npos) return std::nullopt;
  const char* first = id.data() + hash + 1;
  const char* last = id.data() + id.size();
  if (first != last && *first == '+') ++first;
  if (first == last || *first < '0' || *first > '9') return std::nullopt;
  std::uint64_t n = 0;
  auto [ptr, ec] = std::from_chars(first, last, n);
  if (ec != std::errc() || ptr != last) return std::nullopt;
  return n;
}

// The id map's unit of a node's count, taken before the node's id is looked
// at; given back (the caller's handle holds another, so nothing is released)
// when registration faults before the map keeps it.
class UnitForMap {
 public:
  UnitForMap(const CoreRef& core, const NodeHandle& handle)
      : core_(core), count_(promoted_unit(handle.count())), key_(handle.key()) {}
  UnitForMap(const UnitForMap&) = delete;
  UnitForMap& operator=(const UnitForMap&) = delete;
  ~UnitForMap() {
    if (count_) NodeHandle given_back(core_, std::move(count_), key_);
  }
  RegisteredNode kept() && noexcept { return RegisteredNode{std::move(count_), key_}; }

 private:
  const CoreRef& core_;
  SharedCount count_;
  SlotKey key_;
};

// Appends the row of a node registered with options: it keeps their name,
// metadata and restore reference.
auto row_of(NodeOptions& options) {
  return [&options](std::vector<NodeEntry>& rows, const IdMap::value_type& registered, KindText&& kind) {
    rows.emplace_back(registered, std::move(options.name), std::move(kind), std::move(options.metadata),
                      std::move(options.restore));
  };
}

}  // namespace

RowKind::RowKind(KindText&& kind, std::optional<std::string>&& name_unlike_id, NodeMetadata&& metadata,
                 HeapOptional<RegistryRef>&& restore) {
  if (!name_unlike_id && metadata.empty() && !restore.has_value()) {
    bits_ = std::move(kind).release_word();
    return;
  }
  bits_ = reinterpret_cast<std::uintptr_t>(
              new Extras{std::move(kind), std::move(name_unlike_id), std::move(metadata), std::move(restore)}) |
          kExtras;
}

RowKind::RowKind(KindText&& kind, std::optional<std::string>&& name_unlike_id) {
  if (!name_unlike_id) {
    bits_ = std::move(kind).release_word();
    return;
  }
  bits_ = reinterpret_cast<std::uintptr_t>(new Extras{std::move(kind), std::move(name_unlike_id), {}, {}}) | kExtras;
}

std::uintptr_t NodeEntry::named_as(const std::string& id, std::optional<std::string>& name) noexcept {
  if (!name || *name != id) return 0;
  name.reset();
  return kNamedAsId;
}

NodeEntry::NodeEntry(const IdMap::value_type& registered, std::optional<std::string>&& node_name,
                     KindText&& node_kind, NodeMetadata&& node_metadata, HeapOptional<RegistryRef>&& node_restore)
    : entry_bits_(reinterpret_cast<std::uintptr_t>(&registered) | named_as(registered.first, node_name)),
      kind(std::move(node_kind), std::move(node_name), std::move(node_metadata), std::move(node_restore)) {}

NodeEntry::NodeEntry(const IdMap::value_type& registered, std::optional<std::string>&& node_name,
                     KindText&& node_kind)
    : entry_bits_(reinterpret_cast<std::uintptr_t>(&registered) | named_as(registered.first, node_name)),
      kind(std::move(node_kind), std::move(node_name)) {}

std::optional<std::string> NodeEntry::name() const {
  if (named_as_id()) return id();
  const RowKind::Extras* extras = kind.extras();
  return extras ? extras->name_unlike_id : std::nullopt;
}

const NodeMetadata& NodeEntry::metadata() const noexcept {
  static const NodeMetadata kNone;
  const RowKind::Extras* extras = kind.extras();
  return extras ? extras->metadata : kNone;
}

const HeapOptional<RegistryRef>& NodeEntry::restore() const noexcept {
  static const HeapOptional<RegistryRef> kNone;
  const RowKind::Extras* extras = kind.extras();
  return extras ? extras->restore : kNone;
}

NodeHandle GraphContainer::register_node(NodeHandle handle, std::string kind, NodeOptions options) {
  return register_under_name_or_kind(std::move(handle), KindText(std::move(kind)), std::move(options),
                                     Installs::ToGive);
}

// Inlined into the registrations under a name or kind.
[[gnu::always_inline]] inline std::string GraphContainer::generated_id(const KindText& kind) {
  // The largest number is never handed out, so the counter never wraps
  // onto an id it generated before.
  if (unnamed_counter_.exhausted()) fault(kUnnamedCounterExhausted);
  // Written in place: one sizing of the text, no appends. The size is
  // counted here: this library hands the writer the capacity, not it.
  std::string id;
  const std::string& text = kind.text();
  const std::string_view digits = unnamed_counter_.digits();
  const std::size_t size = text.size() + 1 + digits.size();
  id.resize_and_overwrite(size, [&](char* out, std::size_t) {
    char* hash = std::copy(text.begin(), text.end(), out);
    *hash = '#';
    std::copy(digits.begin(), digits.end(), hash + 1);
    return size;
  });
  unnamed_counter_.advance();
  return id;
}

// The id is the name, or generated from the kind; append_row takes the name
// only once the id is made.
template <class AppendRow>
[[gnu::always_inline]] inline NodeHandle GraphContainer::register_under_name_or_generated_id(
    NodeHandle&& handle, KindText&& kind, const std::optional<std::string>& name, Installs installs,
    AppendRow&& append_row) {
  std::string id = name ? *name : generated_id(kind);
  return register_checked(std::move(handle), std::move(kind), std::move(id), !name, installs, append_row);
}

NodeHandle GraphContainer::register_under_name_or_kind(NodeHandle&& handle, KindText&& kind,
                                                       NodeOptions&& options, Installs installs) {
  return register_under_name_or_generated_id(std::move(handle), std::move(kind), options.name, installs,
                                             row_of(options));
}

NodeHandle GraphContainer::register_under_name_or_kind(NodeHandle&& handle, KindText&& kind,
                                                       std::optional<std::string>&& name, Installs installs) {
  return register_under_name_or_generated_id(
      std::move(handle), std::move(kind), name, installs,
      [&](std::vector<NodeEntry>& rows, const IdMap::value_type& registered, KindText&& k) {
        rows.emplace_back(registered, std::move(name), std::move(k));
      });
}

NodeHandle GraphContainer::register_node_with_id(NodeHandle handle, std::string kind, std::string id,
                                                 NodeOptions options) {
  return register_checked(std::move(handle), KindText(std::move(kind)), std::move(id), false, Installs::ToGive,
                          row_of(options));
}

NodeHandle GraphContainer::register_built_node_with_id(NodeHandle handle, std::string kind, std::string id,
                                                       NodeOptions options) {
  return register_checked(std::move(handle), KindText(std::move(kind)), std::move(id), false, Installs::Held,
                          row_of(options));
}

void GraphContainer::make_installs() {
  call_context_ = share_call_context(dispatcher_, hooks_);
  deps_changed_hook_ = deps_changed_hook(weak_from_this());
}

// Inlined into each of its callers: the generated-id road pays no second call.
template <class AppendRow>
[[gnu::always_inline]] inline NodeHandle GraphContainer::register_checked(NodeHandle&& handle, KindText&& kind,
                                                                      std::string&& id, bool id_generated,
                                                                      Installs installs, AppendRow&& append_row) {
  // The counted handle holds its node's count above 0 itself.
  if (!owns(handle)) fault("graph node belongs to a different graph arena");
  UnitForMap for_map(core_, handle);
  const IdMap::value_type* registered = nullptr;
  if (installs == Installs::ToGive) set_graph_hooks(handle, hooks_);
  // The id's map entry is taken by its one lookup and filled once the node is
  // hooked; a fault before that takes it out again.
  using IdSlot = IdMap::iterator;
  IdSlot slot;
  {
    auto ids = id_map_.borrow_mut();
    bool inserted;
    // The id moves into its entry; a duplicate leaves it where it is.
    std::tie(slot, inserted) = ids->try_emplace(std::move(id));
    if (!inserted) fault("duplicate graph node id '" + id + "'");
  }
  const std::string& registered_id = slot->first;
  try {
    // Most graphs never release an id: an empty set is not worth the id's hash.
    if (const auto released = released_ids_.borrow(); !released->empty() && released->contains(registered_id))
      fault("graph node id '" + registered_id + "' has been released from this graph lifecycle (D122)");
    // A node built here has no earlier registration to remember.
    if (installs == Installs::ToGive && set_topology_hook(handle, node_installs().topology))
      (*reregistered_ids_.borrow_mut())[handle.id()] = registered_id;
    auto ids = id_map_.borrow_mut();
    slot->second = std::move(for_map).kept();
    registered = &*slot;  // map entries stay put while the map changes
  } catch (...) {
    id_map_.borrow_mut()->erase(slot);
    throw;
  }

  UncountedNode added;
  std::string added_kind;
  {
    auto rows = node_table_.borrow_mut();
    append_row(*rows, *registered, std::move(kind));
    if (live_observers_ != 0) {
      index_row(rows->back());  // an index lives only while observers do
      added = handle.uncounted();
      added_kind = rows->back().kind;
    }
  }
  if (auto n = id_generated ? std::nullopt : unnamed_number(registered_id);
      n && *n != std::numeric_limits<std::uint64_t>::max() && unnamed_counter_.value() < *n + 1)
    unnamed_counter_.set(*n + 1);
  // The event copies the id before any observer runs.
  if (!added.empty()) emit_node_added(registered_id, added, std::move(added_kind));
  return std::move(handle);
}

std::optional<NodeHandle> GraphContainer::find(const std::string& id) const {
  auto ids = id_map_.borrow();
  auto it = ids->find(id);
  if (it == ids->end()) return std::nullopt;
  return it->second.promote_counted(core_);
}

std::string GraphContainer::node_id_of(const UncountedNode& node, std::string_view prefix) {
  if (std::optional<std::string> id = first_row_id(node, prefix)) return std::move(*id);
  return node_id_of_slow(node, prefix);
}

std::optional<std::string> GraphContainer::first_row_id(const UncountedNode& node, std::string_view prefix) const {
  auto rows = node_table_.borrow();
  if (live_observers_ == 0) {
    const NodeId wanted = node.id();
    for (const NodeEntry& row : *rows) {
      if (row_node_id(row) == wanted) return std::string(prefix) + row.id();
    }
    return std::nullopt;
  }
  auto index = first_row_index_.borrow_mut();
  if (!*index) index->emplace(*rows, core_->id());
  if (const std::string* id = (*index)->find(node.id())) return std::string(prefix) + *id;
  return std::nullopt;
}

void GraphContainer::index_row(const NodeEntry& row) {
  auto index = first_row_index_.borrow_mut();
  if (!*index) return;
  try {
    (*index)->add(row);
  } catch (...) {
    index->reset();  // built again on next need
  }
}

std::vector<NodeEntry> GraphContainer::take_rows(const std::unordered_set<std::string>& ids) {
  std::vector<NodeEntry> removed;
  auto rows = node_table_.borrow_mut();
  std::vector<NodeEntry> kept;
  kept.reserve(rows->size());
  for (NodeEntry& row : *rows) {
    if (ids.contains(row.id())) {
      removed.push_back(std::move(row));
    } else {
      kept.push_back(std::move(row));
    }
  }
  *rows = std::move(kept);
  auto index = first_row_index_.borrow_mut();
  if (*index) {
    try {
      (*index)->remove(removed, *rows);
    } catch (...) {
      index->reset();  // built again on next need
    }
  }
  return removed;
}

std::string GraphContainer::node_id_of_slow(const UncountedNode& node, std::string_view prefix) {
  auto ids = synthetic_ids_.borrow_mut();
  auto it = ids->find(node.id());
  if (it == ids->end()) {
    std::uint64_t n = synthetic_counter_++;
    std::optional<std::string> kind = node_kind(node);
    it = ids->emplace(node.id(), "~" + kind.value_or("?") + "#" + std::to_string(n)).first;
  }
  return std::string(prefix) + it->second;
}

NodeSpec GraphContainer::merge_option_value(NodeOptions& options) const {
  if (options.versioning.choice == VersioningForm::Choice::GraphPolicy && default_versioning_) options.versioning = *default_versioning_;
  // Registration reads none of the parts the settings take: they move.
  return NodeSpec{
      ConfigEntry{
          .pull_id = std::move(options.pull_id),
          .partial = options.partial,
          .complete_when_deps_complete = options.complete_when_deps_complete,
          .error_when_deps_error = options.error_when_deps_error,
          .terminal_as_real_input = options.terminal_as_real_input,
          .pausable = options.pause_mode,
      },
      std::move(options.versioning),
      std::move(options.kind_text),
      options.dispatch_partition,
  };
}

std::vector<UncountedNode> dep_handles(const UncountedNode& node) {
  std::vector<UncountedNode> out;
  CheckedLive live = check_live(node);
  out.reserve(live.topology.deps.size());
  for (const NodeHandle& d : live.topology.deps) out.push_back(d.uncounted());
  return out;
}

}  // namespace korvalinth
