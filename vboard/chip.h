#pragma once
// MCP3008 at the level of its four lines, as the data sheet describes the
// serial interface. Nothing here touches files or the clock: the board feeds
// it line levels and asks it for DOUT, so it can be tested on its own.
#include <cstdint>
#include <functional>

namespace vboard {

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
};
static_assert(sizeof(mcp3008_lines) == 24);

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

  source level_;
  mcp3008_lines own_{};
  mcp3008_lines *s_;
};

}  // namespace vboard
