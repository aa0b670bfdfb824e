#pragma once
// The two limits of the MCP3008's serial clock that the data sheet gives
// and that a program can break without noticing, and the process's hooks
// that time the chip's edges and hear what a frame broke (chip.cpp gives
// the figures and what breaking each does to the code). The board's strict
// profile (strict.cpp) sets them. Included by chip.h.
#include <cstdint>

namespace vboard {

// The limits of the serial clock: its top rate at `vdd`, and how long the
// sample holds. Not checked unless `enabled`.
struct chip_timing_limits {
  bool enabled = false;
  double vdd = 3.3;                 // supply voltage, 2.7 to 5.5 V
  std::uint64_t hold_ns = 1200000;  // sample hold time
  // The shortest clock period allowed at `vdd`, in nanoseconds.
  double min_period_ns() const;
};

// Which limit a frame broke.
enum class chip_limit : std::uint8_t { clock_too_fast, sample_drooped };

// Told once per frame and limit; `why` is one short line for the trace (at
// most 31 characters).
using chip_limit_report = void (*)(chip_limit which, const char *why);

// Time of the edges in nanoseconds on CLOCK_MONOTONIC; without it the
// limits are not checked.
using chip_edge_clock = std::uint64_t (*)();

}  // namespace vboard
