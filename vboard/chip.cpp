#include "chip.h"

#include <cmath>
#include <utility>

namespace vboard {

namespace {
// Falling edges after the sample clock: the null bit, B9..B0 most
// significant first, then B1..B9 least significant first; zeros after that.
constexpr int kNullEdge = 0;
constexpr int kLastMsbFirst = 10;  // B0
constexpr int kLastLsbFirst = 19;  // B9 again
}  // namespace

mcp3008_model::mcp3008_model(source level) : level_(std::move(level)) {}

void mcp3008_model::reset() {
  cs_ = true;
  clk_ = false;
  din_ = false;
  driving_ = false;
  out_ = false;
  phase_ = phase::idle;
  command_ = 0;
  command_bits_ = 0;
  code_ = 0;
  out_index_ = 0;
}

void mcp3008_model::set_cs(bool level) {
  if (level == cs_) return;
  cs_ = level;
  // A frame cut short by chip select leaves nothing behind: the next frame
  // starts from the start bit again, and DOUT floats until its null bit.
  driving_ = false;
  command_ = 0;
  command_bits_ = 0;
  out_index_ = 0;
  phase_ = level ? phase::idle : phase::wait_start;
}

void mcp3008_model::set_din(bool level) { din_ = level; }

void mcp3008_model::set_clk(bool level) {
  if (level == clk_) return;
  clk_ = level;
  if (cs_) return;  // the chip ignores the clock while not selected
  if (level) {
    switch (phase_) {
      case phase::wait_start:
        // Leading zeros are allowed: the first high DIN is the start bit.
        if (din_) phase_ = phase::command;
        break;
      case phase::command:
        command_ = (command_ << 1) | (din_ ? 1U : 0U);
        if (++command_bits_ == 4) phase_ = phase::sample;
        break;
      case phase::sample:
        phase_ = phase::sampling;
        break;
      default:
        break;  // DIN is "don't care" once the command is in
    }
    return;
  }
  switch (phase_) {
    case phase::sampling:
      // The falling edge of the sample clock ends the acquisition: hold the
      // input now and start driving the null bit.
      code_ = convert((command_ & 8U) != 0, command_ & 7U);
      phase_ = phase::output;
      out_index_ = kNullEdge;
      driving_ = true;
      out_ = false;
      break;
    case phase::output: {
      ++out_index_;
      int bit = 0;
      if (out_index_ <= kLastMsbFirst) {
        bit = (code_ >> (kLastMsbFirst - out_index_)) & 1;
      } else if (out_index_ <= kLastLsbFirst) {
        bit = (code_ >> (out_index_ - kLastMsbFirst)) & 1;
      }
      out_ = bit != 0;
      break;
    }
    default:
      break;
  }
}

bool mcp3008_model::dout() const { return driving_ ? out_ : idle_; }

int mcp3008_model::convert(bool single, unsigned select) const {
  select &= 7U;
  double v = 0.0;
  if (single) {
    v = level_ ? level_(static_cast<int>(select)) : 0.0;
  } else {
    // Pairs CH0/CH1, CH2/CH3 ...; the low select bit swaps IN+ and IN-.
    const int base = static_cast<int>(select & 6U);
    const int plus = base + static_cast<int>(select & 1U);
    const int minus = base + 1 - static_cast<int>(select & 1U);
    v = level_ ? level_(plus) - level_(minus) : 0.0;
  }
  if (!(v > 0.0)) return 0;  // also NaN: an input nobody set reads 0
  if (v >= 1023.0) return 1023;
  return static_cast<int>(std::floor(v));
}

}  // namespace vboard
