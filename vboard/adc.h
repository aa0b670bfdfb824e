#pragma once
// The MCP3008 on the pins (adc.cpp): its wiring, its slice of the board
// object and the model working on it. Included by internal.h; the GPIO
// and spidev devices drive the chip through it.
// See internal.h for where things live and the locking rule.
#include <cstdint>

#include "chip.h"
#include "layout.h"

namespace vboard {

namespace config {
class reader;
}

// Wiring of the chip's lines to GPIO pins.
struct pin_wiring {
  int clock = 4;
  int dout = 27;
  int din = 5;
  int cs = 17;
};
// Current wiring. Lock held.
pin_wiring wiring();

// The chip model, working on the shared board's chip lines. Lock held.
mcp3008_model &chip();

// The chip's slice of board `b`, or of the board this process is on. Lock
// held.
struct chip_slice {
  std::int32_t wiring[4];  // clock, dout, din, cs
  std::int32_t dout_idle;
  std::uint32_t reserved;
  mcp3008_lines chip;
};
chip_slice &chip_state(shared_board &b);
const chip_slice &chip_state(const shared_board &b);
chip_slice &chip_state();

// Reads the chip's wiring (VBOARD_PIN_*) and VBOARD_DOUT_IDLE: the part's
// configure hook. Lock held.
void configure_wiring(config::reader &r);

}  // namespace vboard
