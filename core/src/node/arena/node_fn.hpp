#pragma once
// The node-function interface. A binding implements NodeFn (final classes
// preferred); run_wave calls run() with the node's inputs. A function reports
// its results through the runtime's operations on ctx.node (down and the
// rest), never through a return value, and must not cause run_wave of its
// own node.

#include <cstdint>
#include <new>
#include <memory>
#include <optional>
#include <string>

#include "base/host_refs.hpp"
#include "base/small_vec.hpp"
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

// What one dep hands to a run of the node function. A dep quiet this wave
// (nearly every dep of a wide run) holds one share of its value and nothing
// else: making and dropping it tests no other part.
struct DepInput {
  DepInput() noexcept {}  // user-provided: a new input is not zero-filled first
  // A dep quiet this wave: its newest value is its latest.
  explicit DepInput(const SharedValue& latest_value) noexcept : current(latest_value) {}
  // A dep that brought something this wave: its lists are taken over whole.
  DepInput(TerminalRecord&& wave_terminal, WaveDeliveries&& wave_deliveries, const SharedValue& latest_value,
           const SharedValue* wave_value) noexcept
      : current(wave_value ? *wave_value : latest_value), form_(wave_value ? kNewer : kWave) {
    ::new (&wave_) DepWaveInput{wave_value ? latest_value : SharedValue(), std::move(wave_terminal),
                                std::move(wave_deliveries)};
  }
  DepInput(DepInput&& o) noexcept : current(std::move(o.current)), form_(o.form_) {
    if (form_ != kQuiet) take_wave(o);
  }
  DepInput& operator=(DepInput&&) = delete;
  ~DepInput() {
    if (form_ != kQuiet) drop_wave();
  }

  // The dep's value as of the node's last run or settle.
  const SharedValue& latest() const noexcept { return form_ == kNewer ? wave_.earlier : current; }
  const TerminalRecord& terminal() const noexcept { return form_ == kQuiet ? kNoTerminalInput : wave_.terminal; }
  const WaveDeliveries& deliveries() const noexcept { return form_ == kQuiet ? kNoDeliveries : wave_.deliveries; }
  // The deliveries to fill by hand (an input made outside a run).
  WaveDeliveries& deliveries_mut() noexcept {
    if (form_ == kQuiet) {
      ::new (&wave_) DepWaveInput{};
      form_ = kWave;
    }
    return wave_.deliveries;
  }

  SharedValue current;  // the newest value of this wave, else latest

 private:
  // Out of line, as the drop below: a list's growth and end stay small
  // enough to inline where they only check their room or drop quiet inputs.
  [[gnu::noinline]] void take_wave(DepInput& o) noexcept { ::new (&wave_) DepWaveInput(std::move(o.wave_)); }
  // The parts go in the order they always went: earlier, current, the
  // deliveries, the terminal.
  [[gnu::noinline]] void drop_wave() noexcept {
    wave_.earlier.reset();
    current.reset();
    wave_.~DepWaveInput();
  }

  enum Form : std::uint8_t { kQuiet, kWave, kNewer };  // kNewer: current is newer than latest
  Form form_ = kQuiet;
  union {
    DepWaveInput wave_;  // live unless quiet
  };
};

inline constexpr std::size_t kInlineDepInputs = 2;
using DepInputs = SmallVec<DepInput, kInlineDepInputs>;

// A run's inputs. A list past the inline room takes its heap block from the
// thread's stock and gives it back, emptied front to back, when it goes: a
// node with many deps then allocates no list per run. Runs nest (an emit
// drains other runs), so each live list owns its block.
class StockedDepInputs : public DepInputs {
 public:
  StockedDepInputs() noexcept {}
  StockedDepInputs(const StockedDepInputs&) = delete;
  StockedDepInputs& operator=(const StockedDepInputs&) = delete;
  // Inline: a run with inline inputs drops them without a call.
  [[gnu::always_inline]] ~StockedDepInputs() {
    if (capacity() > kInlineDepInputs) [[unlikely]] return_to_stock();
  }
  // Room for n inputs.
  void make_room(std::size_t n) {
    if (n > capacity()) take_from_stock(n);
  }

 private:
  void take_from_stock(std::size_t n);
  void return_to_stock() noexcept;
};

struct RunContext {
  // Inlined into the run that owns it: a frame fewer per run.
  [[gnu::always_inline]] ~RunContext() = default;

  StockedDepInputs inputs;
  std::optional<PullRequest> pull;  // the pull being served, if any
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

}  // namespace korvalinth
