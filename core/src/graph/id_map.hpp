#pragma once
// The ids a graph registered its nodes under, each keeping one unit of its
// node's count. All of a graph's nodes live in its own core, which the graph
// keeps, so an entry keeps only the node's count record and key; the map
// gives the core back whenever a unit goes (an entry taken out or erased,
// the map's end), and the node is released when that was its last unit.

#include <string>
#include <unordered_map>
#include <utility>

#include "graph/id_map_pool.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth {

// A registered node without its core: the core is the graph's.
struct RegisteredNode {
  SharedCount count;  // holds one unit of the count while set
  SlotKey key;

  UncountedNode uncounted(const CoreRef& core) const noexcept { return UncountedNode(core, count, key); }
  NodeHandle promote_counted(const CoreRef& core) const { return NodeHandle(core, promoted_unit(count), key); }
  NodeId id(CoreId core) const noexcept { return NodeId{core, key.index, key.generation}; }
};

class IdMap {
 public:
  // The entries come from a pool of the graph's own: one per node is the
  // usual case, and the pool spares each its own allocation.
  using Entries = std::unordered_map<std::string, RegisteredNode, std::hash<std::string>, std::equal_to<std::string>,
                                     IdMapAllocator<std::pair<const std::string, RegisteredNode>>>;
  using value_type = Entries::value_type;
  using iterator = Entries::iterator;
  using const_iterator = Entries::const_iterator;

  // core is the graph's own reference: it outlives every unit kept here.
  IdMap(IdMapPool* pool, const CoreRef& core) : core_(&core), entries_(Entries::allocator_type(pool)) {}
  IdMap(IdMap&& o) noexcept;
  IdMap& operator=(IdMap&&) = delete;
  // Lets go of the units left, in entry order; their faults are kept for later.
  ~IdMap();

  std::size_t size() const noexcept { return entries_.size(); }
  iterator find(const std::string& id) { return entries_.find(id); }
  const_iterator find(const std::string& id) const { return entries_.find(id); }
  iterator end() noexcept { return entries_.end(); }
  const_iterator end() const noexcept { return entries_.end(); }
  // The id's entry, without a unit when it is new; the id moves in only then.
  std::pair<iterator, bool> try_emplace(std::string&& id) { return entries_.try_emplace(std::move(id)); }

  // Takes the entry out; its unit goes to the caller.
  NodeHandle take(iterator entry);
  // Takes the entry out and lets go of its unit.
  void erase(iterator entry) { NodeHandle gone = take(entry); }
  void erase(const std::string& id);
  // Lets go of each unit in entry order, then of the entries; the first fault
  // stops the walk and propagates (the entries keep no unit already let go of).
  void drop_units();

 private:
  // The entry's unit as a counted handle, taken out of the entry.
  NodeHandle take_unit(RegisteredNode& node) noexcept;

  const CoreRef* core_;
  Entries entries_;
};

}  // namespace korvalinth
