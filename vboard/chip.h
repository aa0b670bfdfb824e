#pragma once
// MCP3008 at the level of its four lines, as the data sheet describes the
// serial interface. Nothing here touches files or the clock: the board feeds
// it line levels and asks it for DOUT, so it can be tested on its own.
#include <cstdint>
#include <functional>

namespace vboard {

class mcp3008_model {
 public:
  // Analogue level of a channel in units of one LSB (the voltage times
  // 1024 / reference). Asked once per conversion, at the sample clock.
  using source = std::function<double(int channel)>;

  explicit mcp3008_model(source level);

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
};

}  // namespace vboard
