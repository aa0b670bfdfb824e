#include "chip.h"

#include <array>
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
constexpr std::uint8_t kToldFast = 1, kToldDroop = 2;

// Bytes with their bits in the opposite order.
constexpr std::array<std::uint8_t, 256> kReversedBytes = [] {
  std::array<std::uint8_t, 256> t{};
  for (unsigned v = 0; v < 256; ++v) {
    unsigned r = 0;
    for (unsigned b = 0; b < 8; ++b) r |= ((v >> b) & 1U) << (7 - b);
    t[v] = static_cast<std::uint8_t>(r);
  }
  return t;
}();

// The low 9 bits of `v` in the opposite order.
inline std::uint32_t reversed9(std::uint32_t v) {
  return (static_cast<std::uint32_t>(kReversedBytes[v & 255U]) << 1) | ((v >> 8) & 1U);
}

// The low `bits` bits of `v` in the opposite order (bits 1 to 32).
inline std::uint32_t reversed(std::uint32_t v, unsigned bits) {
  if (bits <= 8) return static_cast<std::uint32_t>(kReversedBytes[v & 255U]) >> (8 - bits);
  v = (static_cast<std::uint32_t>(kReversedBytes[v & 255U]) << 24) |
      (static_cast<std::uint32_t>(kReversedBytes[(v >> 8) & 255U]) << 16) |
      (static_cast<std::uint32_t>(kReversedBytes[(v >> 16) & 255U]) << 8) | kReversedBytes[v >> 24];
  return v >> (32 - bits);
}

chip_edge_clock clock_hook = nullptr;
chip_limit_report report_hook = nullptr;
}  // namespace

// The limits of the serial clock (MCP3004/3008 data sheet):
//  - the clock frequency may not exceed fCLK max, 3.6 MHz at VDD = 5 V and
//    1.35 MHz at VDD = 2.7 V (electrical characteristics, timing
//    parameters); between the two the limit is taken as linear in VDD.
//    A bit decided at a clock faster than that is decided wrongly: the
//    model inverts it, so the code is wrong.
//  - the sample capacitor holds its charge for 1.2 ms after the sample
//    period ends ("maintaining minimum clock speed": about 10 kHz); bits
//    decided later than that see a drooped sample: the model gives them
//    as 0, so the code reads low.
double chip_timing_limits::min_period_ns() const {
  // The data sheet gives the two ends; above 5 V it gives no more speed.
  const double v = vdd < 2.7 ? 2.7 : vdd > 5.0 ? 5.0 : vdd;
  const double fmax = 1.35e6 + (v - 2.7) * (3.6e6 - 1.35e6) / (5.0 - 2.7);
  return 1e9 / fmax;
}

void mcp3008_model::set_hooks(chip_edge_clock now, chip_limit_report report) {
  clock_hook = now;
  report_hook = report;
}

std::uint64_t mcp3008_model::time_now() const {
  if (forced_) return forced_ns_;
  return clock_hook != nullptr ? clock_hook() : 0;
}

// On each rising edge while selected: was the period since the last one
// shorter than the chip allows?
void mcp3008_model::check_period(std::uint64_t t) {
  s_->fast = 0;
  if (s_->have_rise != 0 && t >= s_->last_rise) {
    const double period = static_cast<double>(t - s_->last_rise);
    const double min = limits_.min_period_ns();
    if (period < min) {
      s_->fast = 1;
      if ((s_->told & kToldFast) == 0 && report_hook != nullptr) {
        s_->told |= kToldFast;
        char why[64];
        if (period > 0)
          std::snprintf(why, sizeof why, "clock %.3g MHz > %.3g MHz max", 1e3 / period, 1e3 / min);
        else
          std::snprintf(why, sizeof why, "clock > %.3g MHz max", 1e3 / min);
        report_hook(chip_limit::clock_too_fast, why);
      }
    }
  }
  s_->have_rise = 1;
  s_->last_rise = t;
}

mcp3008_model::mcp3008_model(source level, mcp3008_lines *lines)
    : level_(std::move(level)), s_(lines != nullptr ? lines : &own_) {
  if (lines == nullptr) reset();
}

bool mcp3008_model::valid(const mcp3008_lines &l) {
  auto bit = [](std::uint8_t v) { return v <= 1; };
  return bit(l.cs) && bit(l.clk) && bit(l.din) && bit(l.idle) && bit(l.driving) && bit(l.out) &&
         l.phase <= static_cast<std::uint8_t>(mcp3008_phase::output) && l.command < 16 &&
         l.command_bits >= 0 && l.command_bits <= 4 && l.code >= 0 && l.code <= 1023 &&
         l.out_index >= 0 && l.out_index <= kLastLsbFirst + 1 && l.decided >= 0 &&
         l.decided <= 1023 && bit(l.have_rise) && bit(l.fast) && l.told <= 3;
}

void mcp3008_model::reset() {
  const std::uint8_t idle = s_->idle;
  *s_ = mcp3008_lines{};
  s_->idle = idle;
  s_->cs = 1;
  s_->phase = static_cast<std::uint8_t>(mcp3008_phase::idle);
}

void mcp3008_model::set_cs(bool level) {
  if (level == (s_->cs != 0)) return;
  s_->cs = level ? 1 : 0;
  // A frame cut short by chip select leaves nothing behind: the next frame
  // starts from the start bit again, and DOUT floats until its null bit.
  s_->driving = 0;
  s_->command = 0;
  s_->command_bits = 0;
  s_->out_index = 0;
  s_->phase = static_cast<std::uint8_t>(level ? mcp3008_phase::idle : mcp3008_phase::wait_start);
  s_->decided = 0;
  s_->have_rise = 0;
  s_->fast = 0;
  s_->told = 0;
}

void mcp3008_model::set_din(bool level) { s_->din = level ? 1 : 0; }

void mcp3008_model::set_clk(bool level) {
  if (level == (s_->clk != 0)) return;
  s_->clk = level ? 1 : 0;
  if (s_->cs != 0) return;  // the chip ignores the clock while not selected
  const auto ph = static_cast<mcp3008_phase>(s_->phase);
  auto go = [&](mcp3008_phase p) { s_->phase = static_cast<std::uint8_t>(p); };
  const bool timed = limits_.enabled && (forced_ || clock_hook != nullptr);
  const std::uint64_t t = timed ? time_now() : 0;
  if (timed) s_->last_edge = t;
  if (level) {
    if (timed) check_period(t);
    switch (ph) {
      case mcp3008_phase::wait_start:
        // Leading zeros are allowed: the first high DIN is the start bit.
        if (s_->din != 0) go(mcp3008_phase::command);
        break;
      case mcp3008_phase::command: {
        s_->command = ((s_->command << 1) | (s_->din != 0 ? 1U : 0U)) & 15U;
        const std::int32_t had = shared_read(s_->command_bits);
        const std::int32_t bits = (had >= 0 && had < 4 ? had : 3) + 1;
        s_->command_bits = bits;
        if (bits == 4) go(mcp3008_phase::sample);
        break;
      }
      case mcp3008_phase::sample:
        go(mcp3008_phase::sampling);
        break;
      default:
        break;  // DIN is "don't care" once the command is in
    }
    return;
  }
  switch (ph) {
    case mcp3008_phase::sampling:
      // The falling edge of the sample clock ends the acquisition: hold the
      // input now and start driving the null bit.
      s_->code = convert((s_->command & 8U) != 0, s_->command & 7U);
      go(mcp3008_phase::output);
      s_->sample_end = t;
      s_->decided = 0;
      s_->out_index = kNullEdge;
      s_->driving = 1;
      s_->out = 0;
      break;
    case mcp3008_phase::output: {
      // Past the LSB-first repeat the chip shifts out zeros; the count
      // stops there so it never wraps, however long the frame.
      int at = shared_read(s_->out_index);
      if (at < kNullEdge || at > kLastLsbFirst) {
        at = kLastLsbFirst + 1;
      } else {
        ++at;
      }
      s_->out_index = at;
      int bit = 0;
      if (at <= kLastMsbFirst) {
        // The successive approximation decides one bit per clock.
        const int b = kLastMsbFirst - at;
        bit = (s_->code >> b) & 1;
        if (timed && t >= s_->sample_end && t - s_->sample_end > limits_.hold_ns) {
          bit = 0;
          if ((s_->told & kToldDroop) == 0 && report_hook != nullptr) {
            s_->told |= kToldDroop;
            char why[64];
            std::snprintf(why, sizeof why, "droop: B%d at %.3g ms > %.3g ms", b,
                          static_cast<double>(t - s_->sample_end) / 1e6,
                          static_cast<double>(limits_.hold_ns) / 1e6);
            report_hook(chip_limit::sample_drooped, why);
          }
        }
        // An unsettled comparator decides wrongly, and the wrong bit is
        // what the repeat shifts out again.
        if (timed && s_->fast != 0) bit ^= 1;
        s_->decided |= bit << b;
      } else if (at <= kLastLsbFirst) {
        bit = (s_->decided >> (at - kLastMsbFirst)) & 1;
      }
      s_->out = bit != 0 ? 1 : 0;
      break;
    }
    default:
      break;
  }
}

bool mcp3008_model::dout() const { return s_->driving != 0 ? s_->out != 0 : s_->idle != 0; }

bool mcp3008_model::edges_timed() const {
  return limits_.enabled && (forced_ || clock_hook != nullptr);
}

namespace {

// The edges of set_clk without their timing, on the lines held in
// registers: a message of a few bytes is some fifty edges, and each one
// through set_clk reads and writes the shared object again. One copy per
// mode, so that the order of the edges is fixed at compile time.
template <bool Cpol, bool Cpha, typename Words>
void chip_clock_words(mcp3008_lines &s, const mcp3008_model &chip, Words &words, unsigned bits,
                      bool lsb_first) {
  const bool selected = s.cs == 0;
  std::uint8_t clk = s.clk, din = s.din, driving = s.driving, bit_out = s.out;
  const std::uint8_t idle = s.idle;
  auto ph = static_cast<mcp3008_phase>(s.phase);
  std::uint32_t command = s.command;
  std::int32_t command_bits = s.command_bits, code = s.code, out_index = s.out_index,
               decided = s.decided;
  std::uint64_t sample_end = s.sample_end;

  auto rise = [&]() __attribute__((always_inline)) {
    switch (ph) {
      case mcp3008_phase::wait_start:
        if (din != 0) ph = mcp3008_phase::command;
        break;
      case mcp3008_phase::command: {
        command = ((command << 1) | (din != 0 ? 1U : 0U)) & 15U;
        command_bits = (command_bits >= 0 && command_bits < 4 ? command_bits : 3) + 1;
        if (command_bits == 4) ph = mcp3008_phase::sample;
        break;
      }
      case mcp3008_phase::sample:
        ph = mcp3008_phase::sampling;
        break;
      default:
        break;
    }
  };
  auto fall = [&]() __attribute__((always_inline)) {
    if (ph == mcp3008_phase::output) {
      const int at =
          out_index < kNullEdge || out_index > kLastLsbFirst ? kLastLsbFirst + 1 : out_index + 1;
      out_index = at;
      int bit = 0;
      if (at <= kLastMsbFirst) {
        const int b = kLastMsbFirst - at;
        bit = (code >> b) & 1;
        decided |= bit << b;
      } else if (at <= kLastLsbFirst) {
        bit = (decided >> (at - kLastMsbFirst)) & 1;
      }
      bit_out = bit != 0 ? 1 : 0;
    } else if (ph == mcp3008_phase::sampling) {
      code = chip.convert((command & 8U) != 0, command & 7U);
      ph = mcp3008_phase::output;
      sample_end = 0;
      decided = 0;
      out_index = kNullEdge;
      driving = 1;
      bit_out = 0;
    }
  };
  // As set_clk: a level the clock already has is no edge, and a chip not
  // selected only sees the level change.
  auto clock_to = [&](bool level) __attribute__((always_inline)) {
    if (level == (clk != 0)) return;
    clk = level ? 1 : 0;
    if (!selected) return;
    if (level) {
      rise();
    } else {
      fall();
    }
  };
  auto dout_now = [&]() __attribute__((always_inline)) {
    return driving != 0 ? bit_out != 0 : idle != 0;
  };

  auto nth = [bits](std::uint32_t v, unsigned j) { return (v >> (bits - 1 - j)) & 1U; };
  auto ones = [](unsigned n) { return static_cast<std::uint32_t>((std::uint64_t{1} << n) - 1); };
  const std::size_t count = words.count();
  for (std::size_t w = 0; w < count; ++w) {
    // Bits in the order they cross the wire, the first one highest: the j-th
    // bit of the word is bit bits-1-j of `sent`, and so of `got`.
    const std::uint32_t out = words.get(w);
    const std::uint32_t sent = lsb_first ? reversed(out, bits) : out;
    std::uint32_t got = 0;
    unsigned j = 0;
    // A clock left at its active level (by a program driving the line) makes
    // the first bit's leading edge no edge at all: that bit goes edge by edge.
    if (bits != 0 && clk != (Cpol ? 1 : 0)) {
      const std::uint8_t level = static_cast<std::uint8_t>(nth(sent, 0));
      bool sample = false;
      if constexpr (!Cpha) {
        din = level;
        clock_to(!Cpol);
        sample = dout_now();
        clock_to(Cpol);
      } else {
        clock_to(!Cpol);
        din = level;
        clock_to(Cpol);
        sample = dout_now();
      }
      got = static_cast<std::uint32_t>(sample) << (bits - 1);
      j = 1;
    }
    if (j < bits) {
      // From here each bit is one rising and one falling edge. A rising edge
      // only moves the chip up to its sample clock and a falling one only acts
      // from the sample clock on, so the rising edges are taken first, up to
      // the one that starts the sample clock, then the falling edges.
      constexpr bool rise_first = !Cpol;
      constexpr bool sample_before_fall = !Cpol && !Cpha;  // mode 0
      // The DIN level each rising edge takes: in mode 1 DIN changes after the
      // rising edge, which takes the bit before.
      const std::uint32_t taken =
          !Cpol && Cpha ? (sent >> 1) | (static_cast<std::uint32_t>(din) << (bits - 1)) : sent;
      unsigned falls_from = bits;  // the first falling edge that does anything
      if (!selected) {
        // Only the clock moves.
      } else if (ph == mcp3008_phase::output || ph == mcp3008_phase::sampling) {
        falls_from = j;
      } else {
        for (unsigned r = j; r < bits;) {
          if (ph == mcp3008_phase::wait_start) {
            // Leading zeros go by: the first high DIN is the start bit.
            const std::uint32_t ahead = taken & ones(bits - r);
            if (ahead == 0) break;
            r = bits - static_cast<unsigned>(31 - __builtin_clz(ahead));
            ph = mcp3008_phase::command;
          } else if (ph == mcp3008_phase::command && command_bits >= 0 && command_bits < 4) {
            // SGL/DIFF and the select bits, as many as the word still holds.
            const unsigned want = 4 - static_cast<unsigned>(command_bits);
            const unsigned m = want < bits - r ? want : bits - r;
            const std::uint32_t chunk = (taken >> (bits - r - m)) & ones(m);
            command = ((command << m) | chunk) & 15U;
            command_bits += static_cast<std::int32_t>(m);
            if (command_bits == 4) ph = mcp3008_phase::sample;
            r += m;
          } else if (ph == mcp3008_phase::command) {
            din = static_cast<std::uint8_t>(nth(taken, r));
            rise();
            ++r;
          } else if (ph == mcp3008_phase::sample) {
            ph = mcp3008_phase::sampling;
            falls_from = rise_first ? r : r + 1;
            break;
          } else {
            break;  // idle or damaged: no edge does anything
          }
        }
      }
      bool level = dout_now();
      const unsigned quiet_end = falls_from < bits ? falls_from : bits;
      if (level && quiet_end > j) got |= ones(quiet_end - j) << (bits - quiet_end);
      unsigned f = quiet_end;
      if (f < bits && ph == mcp3008_phase::sampling) {
        // The sample clock's falling edge.
        const bool before = level;
        fall();
        level = dout_now();
        got |= static_cast<std::uint32_t>(sample_before_fall ? before : level) << (bits - 1 - f);
        ++f;
      }
      if (f < bits && ph == mcp3008_phase::output) {
        // The rest of the word shifts the result out, one bit a falling edge:
        // the null bit, B9..B0, B1..B9 again from what was given out, zeros.
        const unsigned k = bits - f;
        const std::int32_t a0 = out_index;
        std::uint32_t v = 0;  // what the falling edges leave, the first highest
        std::int32_t a_end = kLastLsbFirst + 1;
        if (a0 >= kNullEdge && a0 <= kLastLsbFirst) {
          const std::int32_t reach = a0 + static_cast<std::int32_t>(k);
          a_end = reach < kLastLsbFirst + 1 ? reach : kLastLsbFirst + 1;
          if (a0 < kLastMsbFirst) {
            // The bits decided now: B(9-a0) down to B(10-reach) or B0.
            const std::int32_t low =
                kLastMsbFirst - (reach < kLastMsbFirst ? reach : kLastMsbFirst);
            const std::int32_t high = kLastMsbFirst - 1 - a0;
            const auto span = static_cast<std::int32_t>(ones(static_cast<unsigned>(high + 1)) &
                                                        ~ones(static_cast<unsigned>(low)));
            decided |= code & span;
          }
          // Edge a gives bit 20-a of the stream (a = 1 .. 20).
          const std::uint64_t stream = (static_cast<std::uint64_t>(code & 1023) << 10) |
                                       (static_cast<std::uint64_t>(reversed9(
                                            (static_cast<std::uint32_t>(decided) >> 1) & 511U))
                                        << 1);
          v = static_cast<std::uint32_t>(
              ((stream << 32) >> (52 - a0 - static_cast<std::int32_t>(k))) & ones(k));
          bit_out = static_cast<std::uint8_t>((stream >> (kLastLsbFirst + 1 - a_end)) & 1U);
        } else {
          bit_out = 0;
        }
        out_index = a_end;
        const std::uint32_t seen = driving != 0 ? v : (idle != 0 ? ones(k) : 0);
        got |= sample_before_fall ? (seen >> 1) | (static_cast<std::uint32_t>(level) << (k - 1))
                                  : seen;
      } else if (f < bits) {
        // No falling edge does anything: DOUT stays.
        if (level) got |= ones(bits - f);
      }
      clk = Cpol ? 1 : 0;
      din = static_cast<std::uint8_t>(sent & 1U);
    }
    words.put(w, lsb_first ? reversed(got, bits) : got);
  }
  s.clk = clk;
  s.din = din;
  s.driving = driving;
  s.out = bit_out;
  s.phase = static_cast<std::uint8_t>(ph);
  s.command = command;
  s.command_bits = command_bits;
  s.code = code;
  s.out_index = out_index;
  s.decided = decided;
  s.sample_end = sample_end;
}

struct one_word {
  std::uint32_t out, in = 0;
  static std::size_t count() { return 1; }
  std::uint32_t get(std::size_t) const { return out; }
  void put(std::size_t, std::uint32_t v) { in = v; }
};
struct byte_words {
  const std::uint8_t *out;
  std::uint8_t *in;
  std::size_t n;
  std::uint32_t mask;
  std::size_t count() const { return n; }
  std::uint32_t get(std::size_t i) const { return out[i] & mask; }
  void put(std::size_t i, std::uint32_t v) { in[i] = static_cast<std::uint8_t>(v); }
};

// Kept out of line: inlined, its registers and stack would be set up for
// every call, whole frames included.
template <typename Words>
[[gnu::noinline]] void chip_clock_in_mode(mcp3008_lines &s, const mcp3008_model &chip, Words &words,
                                          unsigned bits, bool lsb_first, bool cpol, bool cpha) {
  if (cpol) {
    if (cpha) {
      chip_clock_words<true, true>(s, chip, words, bits, lsb_first);
    } else {
      chip_clock_words<true, false>(s, chip, words, bits, lsb_first);
    }
  } else if (cpha) {
    chip_clock_words<false, true>(s, chip, words, bits, lsb_first);
  } else {
    chip_clock_words<false, false>(s, chip, words, bits, lsb_first);
  }
}

inline std::uint64_t chip_ones64(unsigned n) {
  return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

// A whole frame at once: `total` bits (1 to 64) in the order they cross the
// wire, the first highest in `sent`, clocked into a chip that is selected,
// waiting for its start bit with no command bit in, and whose clock rests
// at the mode's idle level. When the frame reaches the falling edge that
// ends the sample, the answer follows from the command alone: DOUT rests
// until that edge, then gives the null bit, B9..B0, B1..B9 and zeros, one
// bit a falling edge. Then `got` takes the bits back (first highest), the
// lines are left as the edges would leave them and the result is true;
// any other frame is left to the edges (false, nothing changed).
[[gnu::always_inline]] inline bool chip_whole_frame(mcp3008_lines &s, const mcp3008_model &chip,
                                                    std::uint64_t sent, unsigned total, bool cpol,
                                                    bool cpha, std::uint64_t &got) {
  // Each field read alone: the bytes were just stored one by one (chip
  // select, the clock), and one wide load of them waits for every store.
  if (shared_read(s.cs) != 0 ||
      shared_read(s.phase) != static_cast<std::uint8_t>(mcp3008_phase::wait_start) ||
      shared_read(s.command_bits) != 0 || shared_read(s.clk) != (cpol ? 1 : 0) || total == 0 ||
      total > 64)
    return false;
  // The level each rising edge takes, first highest: in mode 1 DIN changes
  // after the rising edge, which takes the bit before.
  const std::uint64_t taken =
      !cpol && cpha ? (sent >> 1) | (std::uint64_t{s.din != 0 ? 1U : 0U} << (total - 1)) : sent;
  if (taken == 0) return false;
  // Rising edge `start` takes the start bit, the next four the command, the
  // one after starts the sample clock, and the next falling edge (the same
  // bit's with the clock idle low, the next bit's leading one with it idle
  // high) ends the sample: `conv` falling edges have passed then.
  const unsigned start = total - 1 - static_cast<unsigned>(63 - __builtin_clzll(taken));
  const unsigned conv = start + 6 + (cpol ? 1U : 0U);
  if (conv > total) return false;
  const auto command = static_cast<std::uint32_t>((taken >> (total - 5 - start)) & 15U);
  const int code = chip.convert((command & 8U) != 0, command & 7U);
  // The bits the falling edges leave from the sample on, the first (the
  // null bit) at bit 20: B9..B0, then B1..B9 as given out, zeros after.
  const std::uint64_t answer =
      (static_cast<std::uint64_t>(code) << 10) |
      (static_cast<std::uint64_t>(reversed9(static_cast<std::uint32_t>(code >> 1) & 511U)) << 1);
  // Mode 0 reads DOUT before the bit's falling edge, the others after it:
  // the first bit that sees the answer is `first`.
  const unsigned first = conv - (!cpol && !cpha ? 0U : 1U);
  const int shift = static_cast<int>(total - 1 - first) - 20;
  std::uint64_t bits = shift >= 0 ? answer << shift : answer >> -shift;
  const bool resting = s.driving != 0 ? s.out != 0 : s.idle != 0;
  if (resting) bits |= chip_ones64(first) << (total - first);
  got = bits & chip_ones64(total);
  // Falling edges after the sample's: the count stops past the repeat.
  const unsigned after = total - conv;
  const unsigned index = after < kLastLsbFirst + 1 ? after : kLastLsbFirst + 1;
  const unsigned given = index < kLastMsbFirst ? index : kLastMsbFirst;
  s.clk = cpol ? 1 : 0;
  s.din = static_cast<std::uint8_t>(sent & 1U);
  s.driving = 1;
  s.out = static_cast<std::uint8_t>(after <= 20 ? (answer >> (20 - after)) & 1U : 0U);
  s.phase = static_cast<std::uint8_t>(mcp3008_phase::output);
  s.command = command;
  s.command_bits = 4;
  s.code = code;
  s.out_index = static_cast<std::int32_t>(index);
  s.decided = code & static_cast<std::int32_t>(1023U & ~((1U << (kLastMsbFirst - given)) - 1));
  s.sample_end = 0;
  return true;
}
}  // namespace

// As an SPI master clocks a word: for each bit, DIN set up before the edge
// the chip samples on, DOUT read on the master's sampling edge, the clock
// back at its idle level after the word. Leaves the lines and returns the
// bits exactly as that sequence of set_din, set_clk and dout calls would,
// but without walking the edges one call at a time.
std::uint32_t mcp3008_model::shift_word(std::uint32_t out, unsigned bits, bool lsb_first, bool cpol,
                                        bool cpha) {
  if (bits >= 1 && bits <= 32) {
    const std::uint32_t mask = bits == 32 ? 0xffffffffU : (1U << bits) - 1;
    const std::uint32_t sent = lsb_first ? reversed(out & mask, bits) : out & mask;
    std::uint64_t got = 0;
    if (chip_whole_frame(*s_, *this, sent, bits, cpol, cpha, got)) {
      const auto in = static_cast<std::uint32_t>(got);
      return lsb_first ? reversed(in, bits) : in;
    }
  }
  one_word w{out};
  chip_clock_in_mode(*s_, *this, w, bits, lsb_first, cpol, cpha);
  return w.in;
}

void mcp3008_model::shift_bytes(const std::uint8_t *out, std::uint8_t *in, std::size_t n,
                                unsigned bits, bool lsb_first, bool cpol, bool cpha) {
  const std::uint32_t mask = (1U << bits) - 1;
  if (n == 3 && bits == 8 && !lsb_first) {
    // The converter's own frame, as nearly every program sends it.
    std::uint64_t got = 0;
    const std::uint64_t sent = (std::uint64_t{out[0]} << 16) | (out[1] << 8) | out[2];
    if (chip_whole_frame(*s_, *this, sent, 24, cpol, cpha, got)) {
      in[0] = static_cast<std::uint8_t>(got >> 16);
      in[1] = static_cast<std::uint8_t>(got >> 8);
      in[2] = static_cast<std::uint8_t>(got);
      return;
    }
  } else if (n != 0 && bits >= 1 && bits <= 8 && n * bits <= 64) {
    // Any other frame that fits one wire word.
    std::uint64_t sent = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t w = out[i] & mask;
      sent = (sent << bits) | (lsb_first ? reversed(w, bits) : w);
    }
    std::uint64_t got = 0;
    if (chip_whole_frame(*s_, *this, sent, static_cast<unsigned>(n * bits), cpol, cpha, got)) {
      for (std::size_t i = n; i-- > 0; got >>= bits) {
        const auto w = static_cast<std::uint32_t>(got) & mask;
        in[i] = static_cast<std::uint8_t>(lsb_first ? reversed(w, bits) : w);
      }
      return;
    }
  }
  byte_words w{out, in, n, mask};
  chip_clock_in_mode(*s_, *this, w, bits, lsb_first, cpol, cpha);
}

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
