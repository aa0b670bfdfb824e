#pragma once
// The MCP3008's state between clock edges as plain fixed-size fields, which
// the board keeps in the shared board object (the chip's slice, adc.h) so
// that every process clocking the chip clocks the same one; and the one way
// to read a field of that object; where a frame stands. Included by chip.h
// and layout.h.
#include <cstdint>

namespace vboard {

// A field of the shared board object (the chip's lines among them), read
// once: another process may write it at any time, so what is checked must
// be what is used.
template <typename T>
T shared_read(const T &field) {
  return *static_cast<const volatile T *>(&field);
}

// Everything the chip remembers between clock edges, as plain fixed-size
// fields: the board keeps it in the shared board object, so that every
// process clocking the chip clocks the same one.
struct mcp3008_lines {
  std::uint8_t cs;
  std::uint8_t clk;
  std::uint8_t din;
  std::uint8_t idle;
  std::uint8_t driving;
  std::uint8_t out;
  std::uint8_t phase;
  std::uint8_t reserved;
  std::uint32_t command;  // SGL/DIFF and select bits as they came in
  std::int32_t command_bits;
  std::int32_t code;       // held sample of the current frame
  std::int32_t out_index;  // falling edges since the sample clock
  // The bits as given out, for the LSB-first repeat; they differ from the
  // code when a timing limit was broken.
  std::int32_t decided;
  // Timing of the frame (strict profile): times on CLOCK_MONOTONIC, which
  // every process shares, so a frame clocked by several processes is timed
  // as one.
  std::uint8_t have_rise;  // last_rise is of this frame
  std::uint8_t fast;       // the last clock period was too short
  std::uint8_t told;       // limits this frame has told about, one bit each
  std::uint8_t reserved2;
  std::uint64_t last_rise;   // last rising edge
  std::uint64_t sample_end;  // falling edge of the sample clock
  std::uint64_t last_edge;   // last edge seen while selected
};
static_assert(sizeof(mcp3008_lines) == 56);

// Where a frame stands (mcp3008_lines::phase).
enum class mcp3008_phase : std::uint8_t {
  idle,        // chip select high
  wait_start,  // chip select low, no start bit yet
  command,     // collecting SGL/DIFF, D2, D1, D0
  sample,      // next clock is the sample clock
  sampling,    // sample clock high; its falling edge ends the acquisition
  output,      // shifting out null bit and result
};

}  // namespace vboard
