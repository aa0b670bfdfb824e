#include "chip.h"

#include <cmath>
#include <cstdio>
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

double mcp3008_model::timing_limits::min_period_ns() const {
  // The data sheet gives the two ends; above 5 V it gives no more speed.
  const double v = vdd < 2.7 ? 2.7 : vdd > 5.0 ? 5.0 : vdd;
  const double fmax = 1.35e6 + (v - 2.7) * (3.6e6 - 1.35e6) / (5.0 - 2.7);
  return 1e9 / fmax;
}

namespace {
mcp3008_model::clock clock_hook = nullptr;
mcp3008_model::violation report_hook = nullptr;
}  // namespace

void mcp3008_model::set_hooks(clock now, violation report) {
  clock_hook = now;
  report_hook = report;
}

std::uint64_t mcp3008_model::time_now() const {
  if (forced_) return forced_ns_;
  return clock_hook != nullptr ? clock_hook() : 0;
}

// Called on each rising edge while selected: was the period since the
// last one shorter than the chip allows?
void mcp3008_model::check_period(std::uint64_t t) {
  fast_ = false;
  if (have_rise_) {
    const double period = static_cast<double>(t - last_rise_);
    const double min = limits_.min_period_ns();
    if (period < min) {
      fast_ = true;
      if (!told_fast_ && report_hook != nullptr) {
        told_fast_ = true;
        char why[64];
        const double mhz = period > 0 ? 1e3 / period : 0;
        if (period > 0)
          std::snprintf(why, sizeof why, "clock %.3g MHz > %.3g MHz max", mhz, 1e3 / min);
        else
          std::snprintf(why, sizeof why, "clock > %.3g MHz max", 1e3 / min);
        report_hook(limit::clock_too_fast, why);
      }
    }
  }
  have_rise_ = true;
  last_rise_ = t;
}

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
  forced_ = false;
  have_rise_ = false;
  fast_ = false;
  decided_ = 0;
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
  have_rise_ = false;
  fast_ = false;
  told_fast_ = told_droop_ = false;
  decided_ = 0;
}

void mcp3008_model::set_din(bool level) { din_ = level; }

void mcp3008_model::set_clk(bool level) {
  if (level == clk_) return;
  clk_ = level;
  if (cs_) return;  // the chip ignores the clock while not selected
  const bool timed = limits_.enabled && (forced_ || clock_hook != nullptr);
  const std::uint64_t t = timed ? time_now() : 0;
  if (timed) last_edge_ = t;
  if (level) {
    if (timed) check_period(t);
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
      sample_end_ = t;
      decided_ = 0;
      phase_ = phase::output;
      out_index_ = kNullEdge;
      driving_ = true;
      out_ = false;
      break;
    case phase::output: {
      ++out_index_;
      int bit = 0;
      if (out_index_ <= kLastMsbFirst) {
        // The successive approximation decides one bit per clock.
        const int b = kLastMsbFirst - out_index_;
        bit = (code_ >> b) & 1;
        if (timed && t - sample_end_ > limits_.hold_ns) {
          bit = 0;
          if (!told_droop_ && report_hook != nullptr) {
            told_droop_ = true;
            char why[64];
            std::snprintf(why, sizeof why, "droop: B%d at %.3g ms > %.3g ms", b,
                          static_cast<double>(t - sample_end_) / 1e6,
                          static_cast<double>(limits_.hold_ns) / 1e6);
            report_hook(limit::sample_drooped, why);
          }
        }
        // An unsettled comparator decides wrongly, and the wrong bit is
        // what the repeat shifts out again.
        if (timed && fast_) bit ^= 1;
        decided_ |= bit << b;
      } else if (out_index_ <= kLastLsbFirst) {
        // The repeat shifts out the bits as they were decided.
        bit = (decided_ >> (out_index_ - kLastMsbFirst)) & 1;
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
