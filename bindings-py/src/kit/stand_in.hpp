#pragma once
// How the cycle collector sees the Python references that native state
// shared by several Python objects holds (a graph's core, held by its Graph,
// its Nodes and Subscriptions, keeps callbacks and values). The collector
// must count each such reference once, and from an object that stays
// reachable while any holder of the state does; no holder alone is that
// object, so the rule gives the state one:
//
//  1. The shared state has a stand-in: an instance of a collected class of
//     its own, made on the first holder's demand and found again by the
//     state's key while it lives (StandIns). Its record names the state
//     without keeping it.
//  2. Every Python object that keeps the state alive keeps a StandInRef to
//     the state's stand-in and visits it in its traverse; nothing else does.
//  3. Only the stand-in visits the references that the state holds, and only
//     while the state is kept by nothing but its holders (whose own shares
//     it is told of) and itself; otherwise it visits none, and they count as
//     held from outside. A stand-in is then unreachable only when all of the
//     state's holders are, and the state goes with them: the collector
//     finalizes the holders (their records end) before it clears anything.
//  4. The stand-in itself is not finalized: it tears nothing down, and stays
//     the one that holders made meanwhile (by Python code that a finalizer
//     runs) find. Its record ends with its object and forgets its key then,
//     so that a holder coming later makes a new one; dropped on another
//     thread (its record leaked), it forgets its key all the same.
//
// A stand-in's class derives from StandInClass<Cls>, which says 4 to the
// class table; its record gives its key (key()).

#include <unordered_map>
#include <utility>

#include "kit/class_table.hpp"

namespace korvalinth::kit {

// A holder's reference to its stand-in.
class StandInRef {
 public:
  StandInRef() noexcept = default;
  explicit StandInRef(OwnedRef stand_in) noexcept : object_(std::move(stand_in)) {}

  BorrowedRef get() const noexcept { return object_.borrow(); }
  explicit operator bool() const noexcept { return static_cast<bool>(object_); }
  int visit(visitproc visit, void* arg) const noexcept {
    Py_VISIT(object_.get());
    return 0;
  }
  void reset() noexcept { object_.reset(); }

 private:
  OwnedRef object_;
};

// The record of a live stand-in of the class, or null for one that belongs
// to another thread.
template <class Cls>
typename Cls::Record* live_stand_in(const StandInRef& ref) noexcept {
  if (!ref) return nullptr;
  auto* instance = Instance<typename Cls::Record>::of(ref.get().get());
  return instance->owner == current_thread_number() ? &instance->record() : nullptr;
}

// The live stand-ins of the class Cls by key (Cls::Record::Key). Used with
// the GIL held only.
template <class Cls>
class StandIns {
 public:
  using Key = typename Cls::Record::Key;

  // The stand-in of `key`, made from `args` when there is none. The table
  // borrows its entries: every reference given out is the caller's.
  template <class... A>
  static StandInRef of(Key key, A&&... args) {
    if (last_ != nullptr && last_key_ == key) return StandInRef(BorrowedRef(last_).new_ref());
    auto found = table().find(key);
    if (found != table().end()) {
      remember(key, found->second);
      return StandInRef(BorrowedRef(last_).new_ref());
    }
    OwnedRef made = make_instance<Cls>(std::forward<A>(args)...);
    // The allocation may have run Python code that made one meanwhile: that
    // one stays the only one, and this one goes unlisted.
    found = table().emplace(key, made.get()).first;
    remember(key, found->second);
    return found->second == made.get() ? StandInRef(std::move(made)) : StandInRef(BorrowedRef(last_).new_ref());
  }

  // For a stand-in's record as it ends, or as its object is dropped on
  // another thread: its entry goes, unless it was never the listed one.
  static void forget(const typename Cls::Record& record) noexcept {
    auto found = table().find(record.key());
    if (found == table().end() || &Instance<typename Cls::Record>::of(found->second)->record() != &record) return;
    if (last_ == found->second) last_ = nullptr;
    table().erase(found);
  }

 private:
  static void remember(Key key, PyObject* stand_in) noexcept {
    last_key_ = key;
    last_ = stand_in;
  }
  // Made once and kept for the process: stand-ins may end during its exit.
  static std::unordered_map<Key, PyObject*>& table() {
    static auto* stand_ins = new std::unordered_map<Key, PyObject*>();
    return *stand_ins;
  }

  // The stand-in found last: most calls ask for the same one again.
  static inline Key last_key_{};
  static inline PyObject* last_ = nullptr;
};

// What the class of every stand-in declares for the class table (rule 4).
template <class Cls>
struct StandInClass {
  static constexpr bool ends_when_dropped = true;
  template <class Record>  // Cls::Record (Cls is incomplete here)
  static void dropped_elsewhere(const Record& record) noexcept {
    StandIns<Cls>::forget(record);
  }
};

}  // namespace korvalinth::kit
