#pragma once
// MCP3008 at the level of its four lines, as the data sheet describes the
// serial interface. Nothing here touches files or the clock: the board feeds
// it line levels and asks it for DOUT, so it can be tested on its own. With
// timing limits set (the strict profile, chip_timing.h), the chip also keeps
// the two limits of its serial clock that a program can break.
//
// Included by adc.h, and by chip_test.cpp, which tests the model alone.
#include <cstddef>
#include <cstdint>
#include <functional>

#include "chip_lines.h"
#include "chip_timing.h"

namespace vboard {

class mcp3008_model {
 public:
  // Analogue level of a channel in units of one LSB (the voltage times
  // 1024 / reference). Asked once per conversion, at the sample clock.
  using source = std::function<double(int channel)>;
  // The model keeps its lines in `lines` when given (which must outlive
  // it), else in itself; a new model is at power-on only in the latter case.
  explicit mcp3008_model(source level, mcp3008_lines *lines = nullptr);
  mcp3008_model(const mcp3008_model &) = delete;
  mcp3008_model &operator=(const mcp3008_model &) = delete;
  // Moves the model onto `lines` (its state as it stands there).
  void attach(mcp3008_lines *lines) { s_ = lines != nullptr ? lines : &own_; }
  // Whether `lines` holds a state the model can run from.
  static bool valid(const mcp3008_lines &lines);

  // The clock and the reporter belong to the process, not to the chip's
  // lines (which several processes may share): set once for every model.
  static void set_hooks(chip_edge_clock now, chip_limit_report report);
  void set_limits(const chip_timing_limits &limits) { limits_ = limits; }
  const chip_timing_limits &limits() const { return limits_; }
  // Edges until release_time() happen at `t_ns`; the clock is not asked.
  void force_time(std::uint64_t t_ns) { forced_ = true, forced_ns_ = t_ns; }
  void release_time() { forced_ = false; }
  // Time of the last clock edge the chip saw while selected (0: none).
  std::uint64_t last_edge_ns() const { return s_->last_edge; }

  // Chip select, active low: falling, a frame opens; rising, it ends, DOUT free.
  void set_cs(bool level);
  // Serial clock. The chip takes DIN on rising edges and changes DOUT on
  // falling edges (SPI mode 0; mode 1,1 too: falling edges before the start
  // bit change nothing).
  void set_clk(bool level);
  // DIN as the master drives it; only looked at on rising clock edges.
  void set_din(bool level);
  // What DOUT reads now: the chip's bit, or the idle level while it floats.
  bool dout() const;

  // True when clock edges are timed against the limits: each edge then
  // needs its own time, and only set_clk gives it one.
  bool edges_timed() const;
  // One word of `bits` bits as an SPI master clocks it in mode `cpol`/`cpha`,
  // chip select left as it is: lines and bits back exactly as the edges one
  // by one would leave them (chip.cpp), bit k of `out` going out k-th from
  // the end (`lsb_first`: first). Only for untimed edges (edges_timed).
  std::uint32_t shift_word(std::uint32_t out, unsigned bits, bool lsb_first, bool cpol, bool cpha);
  // shift_word for `n` words of 1 to 8 bits, one a byte: out[i] (its low
  // `bits` bits) goes out, in[i] takes what comes back.
  void shift_bytes(const std::uint8_t *out, std::uint8_t *in, std::size_t n, unsigned bits,
                   bool lsb_first, bool cpol, bool cpha);

  void set_idle_level(bool level) { s_->idle = level ? 1 : 0; }
  // Returns to power-on: chip select high, clock and DIN low, no frame.
  void reset();
  // The code a conversion of this input would give now. `single` selects
  // single-ended input; `select` is D2 D1 D0 (channel, or differential pair).
  int convert(bool single, unsigned select) const;
  // Inspection for tests and the trace.
  bool frame_open() const { return s_->phase != static_cast<std::uint8_t>(mcp3008_phase::idle); }
  bool cs() const { return s_->cs != 0; }
  bool clk() const { return s_->clk != 0; }
  bool din() const { return s_->din != 0; }
  int last_code() const { return s_->code; }

 private:
  std::uint64_t time_now() const;
  void check_period(std::uint64_t t);

  source level_;
  mcp3008_lines own_{};
  mcp3008_lines *s_;
  chip_timing_limits limits_;
  bool forced_ = false;
  std::uint64_t forced_ns_ = 0;
};

}  // namespace vboard
