#pragma once
// MCP3008 at the level of its four lines, as the data sheet describes the
// serial interface. Nothing here touches files or the clock: the board feeds
// it line levels and asks it for DOUT, so it can be tested on its own.
//
// With timing limits set (the board's strict profile), the chip also keeps
// the two limits of its serial clock that the data sheet gives and that a
// program can break without noticing (see timing_limits).
//
// Included by adc.h, and by chip_test.cpp, which tests the model alone.
#include <cstddef>
#include <cstdint>
#include <functional>

#include "chip_lines.h"

namespace vboard {

class mcp3008_model {
 public:
  // Analogue level of a channel in units of one LSB (the voltage times
  // 1024 / reference). Asked once per conversion, at the sample clock.
  using source = std::function<double(int channel)>;

  // The model keeps its lines in `lines` when given (which must outlive
  // it), else in itself; a new model is at power-on only in the latter case.
  explicit mcp3008_model(source level, mcp3008_lines *lines = nullptr);

  // The limits of the serial clock: its top rate at `vdd`, and how long
  // the sample holds (chip.cpp gives the data sheet's figures and what
  // breaking each does to the code).
  struct timing_limits {
    bool enabled = false;
    double vdd = 3.3;                 // supply voltage, 2.7 to 5.5 V
    std::uint64_t hold_ns = 1200000;  // sample hold time
    // The shortest clock period allowed at `vdd`, in nanoseconds.
    double min_period_ns() const;
  };
  // What a frame broke, told once per frame and limit; `why` is one short
  // line for the trace (at most 31 characters).
  enum class limit : std::uint8_t { clock_too_fast, sample_drooped };
  using violation = void (*)(limit which, const char *why);
  // Time of the edges in nanoseconds on CLOCK_MONOTONIC; without it the
  // limits are not checked.
  using clock = std::uint64_t (*)();

  // The clock and the reporter belong to the process, not to the chip's
  // lines (which may live where several processes see them), so they are
  // set once for every model of the process.
  static void set_hooks(clock now, violation report);
  void set_limits(const timing_limits &limits) { limits_ = limits; }
  const timing_limits &limits() const { return limits_; }
  // Edges until release_time() happen at `t_ns` (a master that clocks at a
  // known rate gives each edge its own time); the clock is not asked.
  void force_time(std::uint64_t t_ns) {
    forced_ = true;
    forced_ns_ = t_ns;
  }
  void release_time() { forced_ = false; }
  // Time of the last clock edge the chip saw while selected (0: none).
  std::uint64_t last_edge_ns() const { return s_->last_edge; }
  mcp3008_model(const mcp3008_model &) = delete;
  mcp3008_model &operator=(const mcp3008_model &) = delete;
  // Moves the model onto `lines` (its state as it stands there).
  void attach(mcp3008_lines *lines) { s_ = lines != nullptr ? lines : &own_; }
  // Whether `lines` holds a state the model can run from.
  static bool valid(const mcp3008_lines &lines);

  // Chip select, active low. A falling edge opens a frame; a rising edge
  // aborts whatever is in progress and releases DOUT.
  void set_cs(bool level);
  // Serial clock. The chip takes DIN on rising edges and changes DOUT on
  // falling edges (SPI mode 0; mode 1,1 works too since falling edges
  // before the start bit change nothing).
  void set_clk(bool level);
  // DIN as the master drives it; only looked at on rising clock edges.
  void set_din(bool level);
  // What the DOUT line reads now: the bit driven by the chip, or the idle
  // level while the chip leaves the line floating.
  bool dout() const;

  // True when clock edges are timed against the limits: each edge then
  // needs its own time, and only set_clk gives it one.
  bool edges_timed() const;
  // One word of `bits` bits as an SPI master clocks it in the mode
  // `cpol`/`cpha`, chip select left as it is: the lines and the bits back
  // exactly as the edge-by-edge calls would leave them (chip.cpp), bit k
  // of `out` going out k-th from the end (`lsb_first`: first). Only for
  // untimed edges (see edges_timed).
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
  bool frame_open() const { return s_->phase != static_cast<std::uint8_t>(phase::idle); }
  bool cs() const { return s_->cs != 0; }
  bool clk() const { return s_->clk != 0; }
  bool din() const { return s_->din != 0; }
  int last_code() const { return s_->code; }

 private:
  enum class phase : std::uint8_t {
    idle,        // chip select high
    wait_start,  // chip select low, no start bit yet
    command,     // collecting SGL/DIFF, D2, D1, D0
    sample,      // next clock is the sample clock
    sampling,    // sample clock high; its falling edge ends the acquisition
    output,      // shifting out null bit and result
  };

  template <bool Cpol, bool Cpha, typename Words>
  void clock_words(Words &words, unsigned bits, bool lsb_first);
  template <typename Words>
  void clock_in_mode(Words &words, unsigned bits, bool lsb_first, bool cpol, bool cpha);
  std::uint64_t time_now() const;
  void check_period(std::uint64_t t);

  source level_;
  mcp3008_lines own_{};
  mcp3008_lines *s_;
  timing_limits limits_;
  bool forced_ = false;
  std::uint64_t forced_ns_ = 0;
};

}  // namespace vboard
