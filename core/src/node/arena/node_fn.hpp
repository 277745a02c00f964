#pragma once
// The node-function interface. A binding implements NodeFn (final classes
// preferred); run_wave calls run() with the node's inputs. A function reports
// its results through the runtime's operations on ctx.node (down and the
// rest), never through a return value, and must not cause run_wave of its
// own node. It reads ctx.inputs during the run only: it neither moves an
// input out nor adds or removes any (a wide run's inputs may be lent their
// dep states' values, valid until the run ends).

#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "base/fixed_size_blocks.hpp"
#include "base/host_refs.hpp"
#include "base/small_vec.hpp"
#include "base/thread_block.hpp"
#include "node/arena/message.hpp"
#include "node/arena/node_handle.hpp"
#include "node/arena/wave_deliveries.hpp"

namespace korvalinth {

// A dep's terminal: present once it completed or errored; the error text
// (the ERROR payload's display form) when it errored.
struct TerminalRecord {
  bool present = false;
  std::shared_ptr<const std::string> error;
};

// What a dep that brought something this wave hands over beside its newest
// value.
struct DepWaveInput {
  SharedValue earlier;        // latest, when current is newer
  TerminalRecord terminal;    // this wave's terminal of the dep, handed once
  WaveDeliveries deliveries;  // this wave's deliveries, one list per down of the dep
};

// The terminal and deliveries of a dep quiet this wave: none.
extern const TerminalRecord kNoTerminalInput;
extern const WaveDeliveries kNoDeliveries;

// A wide run's quiet input: lent its dep state's latest value, holding no
// share of it.
struct LentLatest {};

// What one dep hands to a run of the node function. A dep quiet this wave
// (nearly every dep of a wide run) holds one share of its value, or in a
// wide run none (lent), and nothing else: making and dropping it tests no
// other part.
struct DepInput {
  DepInput() noexcept { ::new (&current) SharedValue(); }  // user-provided: not zero-filled first
  // A dep quiet this wave: its newest value is its latest.
  explicit DepInput(const SharedValue& latest_value) noexcept { ::new (&current) SharedValue(latest_value); }
  // The same, lent: the run keeps the dep state's value alive (keep_share
  // runs before anything replaces or drops it).
  DepInput(LentLatest, const SharedValue& latest_value) noexcept : form_(kLent) {
    static_assert(sizeof(SharedValue) == sizeof(const Value*));
    std::memcpy(static_cast<void*>(&current), static_cast<const void*>(&latest_value), sizeof(SharedValue));
  }
  // A dep that brought something this wave: its lists are taken over whole.
  DepInput(TerminalRecord&& wave_terminal, WaveDeliveries&& wave_deliveries, const SharedValue& latest_value,
           const SharedValue* wave_value) noexcept
      : form_(wave_value ? kNewer : kWave) {
    ::new (&current) SharedValue(wave_value ? *wave_value : latest_value);
    ::new (&wave_) DepWaveInput{wave_value ? latest_value : SharedValue(), std::move(wave_terminal),
                                std::move(wave_deliveries)};
  }
  // A lent input stays lent: the run's list keeps the loan.
  DepInput(DepInput&& o) noexcept : form_(o.form_) {
    ::new (&current) SharedValue(std::move(o.current));
    if (form_ >= kWave) take_wave(o);
  }
  DepInput& operator=(DepInput&&) = delete;
  // A narrow run's inputs are mostly of deps that brought something: tested first.
  ~DepInput() {
    if (form_ >= kWave)
      drop_wave();
    else if (form_ == kQuiet)
      current.~SharedValue();
  }
  // The destructor's work with the wave parts dropped inline, for a narrow
  // run's list, whose storage is then forgotten: there the out-of-line
  // drop's frame cost about as much as its body.
  [[gnu::always_inline]] void end_inline() noexcept {
    if (form_ >= kWave)
      drop_wave_parts();
    else if (form_ == kQuiet)
      current.~SharedValue();
  }

  // The dep's value as of the node's last run or settle.
  const SharedValue& latest() const noexcept { return form_ == kNewer ? wave_.earlier : current; }
  const TerminalRecord& terminal() const noexcept { return form_ < kWave ? kNoTerminalInput : wave_.terminal; }
  const WaveDeliveries& deliveries() const noexcept { return form_ < kWave ? kNoDeliveries : wave_.deliveries; }
  // The deliveries to fill by hand (an input made outside a run).
  WaveDeliveries& deliveries_mut() noexcept {
    if (form_ < kWave) {
      keep_share();
      ::new (&wave_) DepWaveInput{};
      form_ = kWave;
    }
    return wave_.deliveries;
  }
  // A lent input takes a share of its own: its value then outlives the dep
  // state's, as an input made with one would. True when it was lent.
  bool keep_share() noexcept {
    if (form_ != kLent) return false;
    SharedValue share(current);
    ::new (&current) SharedValue(std::move(share));
    form_ = kQuiet;
    return true;
  }

  union {
    SharedValue current;  // the newest value of this wave, else latest
  };

 private:
  // Out of line, as the drop below: a list's growth and end stay small
  // enough to inline where they only check their room or drop quiet inputs.
  [[gnu::noinline]] void take_wave(DepInput& o) noexcept { ::new (&wave_) DepWaveInput(std::move(o.wave_)); }
  // The parts go in the order they always went: earlier, current, the
  // deliveries, the terminal.
  [[gnu::noinline]] void drop_wave() noexcept { drop_wave_parts(); }
  // The emptied earlier value is not dropped a second time with the rest.
  [[gnu::always_inline]] void drop_wave_parts() noexcept {
    wave_.earlier.reset();
    current.~SharedValue();
    wave_.deliveries.~WaveDeliveries();
    wave_.terminal.~TerminalRecord();
  }

  // Below kWave the input is quiet; kNewer: current is newer than latest.
  enum Form : std::uint8_t { kQuiet, kLent, kWave, kNewer };
  Form form_ = kQuiet;
  union {
    DepWaveInput wave_;  // live unless quiet
  };
};

inline constexpr std::size_t kInlineDepInputs = 2;
using DepInputs = SmallVec<DepInput, kInlineDepInputs>;

struct DepSlot;

// A run's inputs. A list past the inline room takes its heap block from the
// thread's stock and gives it back, emptied front to back, when it goes: a
// node with many deps then allocates no list per run. Runs nest (an emit
// drains other runs), so each live list owns its block.
//
// Such a wide list may lend its quiet inputs their dep states' latest values
// (no share per dep). Whatever replaces or drops a dep state's latest value,
// or moves or drops the dep states, calls keep_lent_input or
// keep_lent_inputs first: the lent inputs of that dep (or all) then take a
// share, so each value goes when it went while every input held one.
class StockedDepInputs : public DepInputs {
 public:
  StockedDepInputs() noexcept {}
  StockedDepInputs(const StockedDepInputs&) = delete;
  StockedDepInputs& operator=(const StockedDepInputs&) = delete;
  // Inline: a run with inline inputs drops them without a call, front to
  // back with the end read once (a drop never reshapes the list).
  [[gnu::always_inline]] ~StockedDepInputs() {
    if (on_heap()) [[unlikely]] {
      return_to_stock();
      return;
    }
    DepInput* at = data();
    // A one-dep run's input, the most common, goes without a loop.
    if (size() == 1) [[likely]] {
      at->end_inline();
    } else {
      for (DepInput* const end = at + size(); at != end; ++at) at->end_inline();
    }
    forget_all();
  }
  // Room for n inputs.
  void make_room(std::size_t n) {
    if (n > capacity()) take_from_stock(n);
  }
  // From now until the list goes, the n inputs it is about to be filled
  // with may be lent from the dep states at `slots` (an empty list with
  // room for them past the inline one only). Each input made with shares
  // is noted by note_owned.
  void lend_from(const DepSlot* slots, std::size_t n) noexcept {
    keep_lent_inputs(slots);
    ::new (idle_inline_room()) Lending{slots, n, 0, {}, innermost_lender_};
    innermost_lender_ = this;
  }
  // Input i holds shares: it is dropped as usual, the lent ones are not.
  void note_owned(std::size_t i) noexcept {
    Lending& l = lending();
    if (l.owned < kOwnedNoted) l.owned_at[l.owned] = static_cast<std::uint32_t>(i);
    ++l.owned;
  }
  // Whether this list lends some input now (as the innermost lender while
  // its run ends).
  bool lends_some() noexcept {
    if (innermost_lender_ != this) return false;
    const Lending& l = lending();
    return l.lent_from && l.owned < l.lent_size;
  }
  // Before input i's dep state's latest value is replaced (the list lends).
  void keep_input_share(std::size_t i) noexcept {
    if (i < size() && (*this)[i].keep_share()) note_owned(i);
  }
  // Whether every input holding shares is noted and the list has the shape it
  // lent with: each dep with a wave value is then among them (see
  // keep_lent_input; a dep past the end of a list its function shortened is
  // never noted).
  bool owned_all_noted() noexcept { return lending().owned <= kOwnedNoted && size() == lending().lent_size; }
  // The noted inputs holding shares, in dep order (all noted).
  std::span<const std::uint32_t> owned_in_dep_order() noexcept;

  // Before dep i's latest value in the dep states at `slots` is replaced or
  // dropped, and before it takes a wave value (which replaces the latest
  // when the run ends): a lending run's end then finds every wave value
  // among its noted inputs.
  static void keep_lent_input(const DepSlot* slots, std::size_t i) noexcept {
    if (lends_any()) [[unlikely]] keep_lent(slots, i, false);
  }
  // Whether any run lends inputs now: keep_lent_input then does nothing.
  static bool lends_any() noexcept { return innermost_lender_ != nullptr; }
  // Before the dep states at `slots` are moved or dropped.
  static void keep_lent_inputs(const DepSlot* slots) noexcept {
    if (lends_any()) [[unlikely]] keep_lent(slots, 0, true);
  }

 private:
  void take_from_stock(std::size_t n);
  void return_to_stock() noexcept;
  void drop_lending() noexcept;
  static void keep_lent(const DepSlot* slots, std::size_t i, bool all) noexcept;

  // Made by lend_from only, read only while this list is in the lenders'
  // chain. It lives in the inline room a lending list leaves idle (its
  // inputs are on the heap): runs nest, and a chain's frames stay smaller.
  static constexpr std::size_t kOwnedNoted = 6;
  struct Lending {
    const DepSlot* lent_from;  // null once its states moved or went (nothing lent)
    std::size_t lent_size;
    std::size_t owned;  // inputs holding shares; up to kOwnedNoted of them noted
    std::array<std::uint32_t, kOwnedNoted> owned_at;
    StockedDepInputs* outer_lender;
  };
  static_assert(sizeof(Lending) <= kInlineRoomBytes && alignof(Lending) <= alignof(DepInput));
  static_assert(std::is_trivially_destructible_v<Lending>);
  Lending& lending() noexcept { return *std::launder(static_cast<Lending*>(idle_inline_room())); }
  // The lending lists of the thread's running runs, innermost first: runs nest.
  static inline constinit thread_local StockedDepInputs* innermost_lender_ KORVALINTH_FAST_TLS = nullptr;
};

struct RunContext {
  // Inlined into the run that owns it: a frame fewer per run.
  [[gnu::always_inline]] ~RunContext() = default;

  StockedDepInputs inputs;
  // The pull being served, if any: a copy the run keeps, made on its rare
  // road, so the usual run's frame, which a chain's runs nest, holds a word.
  const PullRequest* pull = nullptr;
  BorrowedNode node;  // the run_wave caller holds the handle for the run
  std::uint8_t partition_flag = 0;
};

class NodeFn {
 public:
  virtual ~NodeFn() = default;
  virtual void run(RunContext& ctx) = 0;
  // The host references the function owns (base/host_refs.hpp).
  virtual int visit_host_refs(HostRefVisit) const { return 0; }
};

using SharedNodeFn = std::shared_ptr<NodeFn>;

// Blocks for the node functions a binding makes one per node (a callback
// and its slot: three words with the table) with their count record: a heap
// block of this size costs more than the rest of the function's making, and
// 8 bytes more.
using NodeFnBlocks = FixedSizeBlocks<5 * sizeof(void*)>;

// A function of type Fn in a block of NodeFnBlocks, or on the heap when it does not fit one.
template <class Fn, class... Args>
std::shared_ptr<Fn> make_node_fn(Args&&... args) {
  return std::allocate_shared<Fn>(FixedSizeBlockAllocator<Fn, NodeFnBlocks>(), std::forward<Args>(args)...);
}

}  // namespace korvalinth
