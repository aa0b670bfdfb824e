#pragma once
// MCP3008 at the level of its four lines, as the data sheet describes the
// serial interface. Nothing here touches files or the clock: the board feeds
// it line levels and asks it for DOUT, so it can be tested on its own.
//
// With timing limits set (the board's strict profile), the chip also keeps
// the two limits of its serial clock that the data sheet gives and that a
// program can break without noticing (see timing_limits).
#include <cstdint>
#include <functional>

namespace vboard {

class mcp3008_model {
 public:
  // Analogue level of a channel in units of one LSB (the voltage times
  // 1024 / reference). Asked once per conversion, at the sample clock.
  using source = std::function<double(int channel)>;

  explicit mcp3008_model(source level);

  // The limits of the serial clock (MCP3004/3008 data sheet):
  //  - the clock frequency may not exceed fCLK max, 3.6 MHz at VDD = 5 V and
  //    1.35 MHz at VDD = 2.7 V (electrical characteristics, timing
  //    parameters); between the two the limit is taken as linear in VDD.
  //    Bits clocked out faster than that have not settled: the model gives
  //    each such bit inverted, so the code is wrong.
  //  - the sample capacitor holds its charge for 1.2 ms after the sample
  //    period ends ("maintaining minimum clock speed": about 10 kHz); bits
  //    decided later than that see a drooped sample: the model gives them
  //    as 0, so the code reads low.
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
  // Time of the edges in nanoseconds on CLOCK_MONOTONIC, the one scale
  // every process shares; without it the limits are not checked.
  using clock = std::uint64_t (*)();

  // The clock and the reporter belong to the process, not to the chip (the
  // chip's state may live where several processes see it), so they are
  // set once for every model of the process.
  static void set_hooks(clock now, violation report);
  void set_limits(const timing_limits &limits) { limits_ = limits; }
  // Edges until release_time() happen at `t_ns` (a master that clocks at a
  // known rate gives each edge its own time); the clock is not asked.
  void force_time(std::uint64_t t_ns) {
    forced_ = true;
    forced_ns_ = t_ns;
  }
  void release_time() { forced_ = false; }
  // Time of the last clock edge the chip saw while selected (0: none).
  std::uint64_t last_edge_ns() const { return last_edge_; }
  const timing_limits &limits() const { return limits_; }

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

  void set_idle_level(bool level) { idle_ = level; }
  // Returns to power-on: chip select high, clock and DIN low, no frame.
  void reset();

  // The code a conversion of this input would give now. `single` selects
  // single-ended input; `select` is D2 D1 D0 (channel, or differential pair).
  int convert(bool single, unsigned select) const;

  // Inspection for tests and the trace.
  bool frame_open() const { return phase_ != phase::idle; }
  bool cs() const { return cs_; }
  bool clk() const { return clk_; }
  bool din() const { return din_; }
  int last_code() const { return code_; }

 private:
  enum class phase : std::uint8_t {
    idle,        // chip select high
    wait_start,  // chip select low, no start bit yet
    command,     // collecting SGL/DIFF, D2, D1, D0
    sample,      // next clock is the sample clock
    sampling,    // sample clock high; its falling edge ends the acquisition
    output,      // shifting out null bit and result
  };

  source level_;
  bool cs_ = true;
  bool clk_ = false;
  bool din_ = false;
  bool idle_ = false;
  bool driving_ = false;
  bool out_ = false;
  phase phase_ = phase::idle;
  unsigned command_ = 0;  // SGL/DIFF and select bits as they came in
  int command_bits_ = 0;
  int code_ = 0;       // held sample of the current frame
  int out_index_ = 0;  // falling edges since the sample clock

  std::uint64_t time_now() const;
  void check_period(std::uint64_t t);

  timing_limits limits_;
  std::uint64_t last_edge_ = 0;
  bool forced_ = false;
  std::uint64_t forced_ns_ = 0;
  // Timing of the current frame.
  bool have_rise_ = false;
  std::uint64_t last_rise_ = 0;
  std::uint64_t sample_end_ = 0;
  bool fast_ = false;  // the last clock period was too short
  bool told_fast_ = false, told_droop_ = false;
  int decided_ = 0;  // the bits as given out, for the LSB-first repeat
};

}  // namespace vboard
