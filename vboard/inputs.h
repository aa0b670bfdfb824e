#pragma once
// The chip's analogue inputs (inputs.cpp): each channel's input as the
// board object keeps it, the inputs' slice and the level a channel reads.
// Included by internal.h; the chip model asks channel_lsb at each sample.
// See internal.h for where things live and the locking rule.
#include <cstddef>
#include <cstdint>

#include "layout.h"
#include "vboard_inputs.h"

namespace vboard {

namespace config {
class reader;
}

struct shared_level {
  double value;
  std::uint32_t volts;  // 1: value is in volts; 0: in LSB
  std::uint32_t reserved;
};

// A replayed recording is loaded by each process from its file; the board
// keeps where it is, bounded like the board's own path.
constexpr std::size_t kReplayPath = 256;
constexpr std::size_t kReplayColumn = 16;
constexpr std::uint32_t kInputLoops = 1;  // flags: a replay starts over at its end

struct shared_input {
  std::uint32_t kind;   // 0 fixed, 1 sine, 2 ramp, 3 replay
  std::uint32_t flags;  // kInputLoops
  shared_level fixed, amp, offset, from, to;
  double freq, phase_deg, period;
  shared_level noise;          // standard deviation of the added noise; 0: none
  std::uint64_t seed;          // of the noise
  std::uint64_t draws;         // noise values drawn since the input was set
  std::uint64_t start_ns;      // board time the input was set: a replay's time 0
  char column[kReplayColumn];  // replay: the column's name, NUL-terminated
  char path[kReplayPath];      // replay: the recording, absolute, NUL-terminated
};

static_assert(sizeof(shared_level) == 16);
static_assert(sizeof(shared_input) == 424);

// The inputs' slice of board `b`, or of the board this process is on.
// Lock held.
struct inputs_slice {
  double reference;
  shared_input inputs[VBOARD_CHANNELS];
};
inputs_slice &inputs_state(shared_board &b);
const inputs_slice &inputs_state(const shared_board &b);
inputs_slice &inputs_state();

// Analogue level of a channel in LSB at board time now. Lock held.
double channel_lsb(int channel);

// Reads VBOARD_VREF and VBOARD_CH0..7 into the board: the part's
// configure hook. Lock held.
void configure_inputs(config::reader &r);

}  // namespace vboard
