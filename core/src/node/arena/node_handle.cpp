#include "node/arena/node_handle.hpp"

#include "base/drop_fault.hpp"
#include "node/arena/graph_core.hpp"
#include "node/arena/kept_core_release.hpp"

namespace korvalinth {

CoreId UncountedNode::core_id() const noexcept { return core_ ? core_->id() : 0; }
CoreId PinnedNode::core_id() const noexcept { return core_ ? core_->id() : 0; }

void NodeHandle::drop_in_destructor() noexcept {
  drop_quietly([&] { drop(); });
}

SharedCount promoted_unit(const SharedCount& count) {
  if (count->count == 0) fault("Core counted promotion rejected: node is externally dead");
  if (count->count == ~std::uint64_t{0}) fault("Core refcount overflow");
  count->count += 1;
  return count;
}

NodeHandle UncountedNode::promote_counted() const { return NodeHandle(core_, promoted_unit(count_), key_); }

void NodeHandle::drop() {
  if (node_.empty()) return;
  const UncountedNode node = std::move(node_);  // leaves the handle empty
  give_back_unit(node.core(), *node.count(), node.key());
}

HeldNode HeldNode::of(const UncountedNode& node) {
  if (node.count()->count == 0) return HeldNode(node);
  return HeldNode(node.promote_counted());
}

void HeldNode::drop() {
  if (NodeHandle* counted = std::get_if<NodeHandle>(&held_)) counted->drop();
  held_ = UncountedNode();
}

std::pair<UncountedNode, bool> HeldNode::release() noexcept {
  std::pair<UncountedNode, bool> out;
  if (NodeHandle* counted = std::get_if<NodeHandle>(&held_)) {
    out.second = counted->counted();
    out.first = counted->release_unit();
  } else {
    out.first = std::move(std::get<UncountedNode>(held_));
  }
  held_ = UncountedNode();
  return out;
}

PinnedNode& PinnedNode::operator=(PinnedNode&& o) noexcept {
  if (this != &o) {
    if (core_) drop_quietly([&] { unpin(); });
    core_ = std::move(o.core_);
    count_ = std::move(o.count_);
    key_ = o.key_;
  }
  return *this;
}

void PinnedNode::unpin_in_destructor() noexcept {
  drop_quietly([&] { unpin(); });
}

void PinnedNode::unpin() {
  CoreRef core = std::move(core_);
  SharedCount count = std::move(count_);
  core_.reset();
  count_.reset();
  if (!core) return;
  {
    auto a = core->borrow_mut();
    a->drop_pin(key_);
  }
  release_slot_in_kept_core(core, key_, count->count);
}

}  // namespace korvalinth
