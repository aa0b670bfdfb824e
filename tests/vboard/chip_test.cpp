// The MCP3008 model on its own, driven line by line as a master would.
#include "chip.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using vboard::mcp3008_model;

// Analogue levels in LSB, one per channel.
struct inputs {
  std::array<double, 8> lsb{};
  mcp3008_model::source source() {
    return [this](int ch) { return lsb.at(static_cast<std::size_t>(ch)); };
  }
};

// A bit-banging master as the sampler drives the chip: data set with the
// clock low, rising edge, falling edge, DOUT read after the falling edge.
struct master {
  mcp3008_model &chip;

  void open_frame() {
    chip.set_cs(true);
    chip.set_clk(false);
    chip.set_cs(false);
  }
  void send(bool bit) {
    chip.set_din(bit);
    chip.set_clk(true);
    chip.set_clk(false);
  }
  bool receive() {
    chip.set_clk(true);
    chip.set_clk(false);
    return chip.dout();
  }
  std::vector<int> frame(std::array<bool, 5> command, int reads) {
    open_frame();
    for (bool b : command) send(b);
    std::vector<int> bits;
    for (int i = 0; i < reads; ++i) bits.push_back(receive() ? 1 : 0);
    chip.set_cs(true);
    return bits;
  }
};

std::array<bool, 5> single(int ch) {
  return {true, true, (ch & 4) != 0, (ch & 2) != 0, (ch & 1) != 0};
}
std::array<bool, 5> differential(int sel) {
  return {true, false, (sel & 4) != 0, (sel & 2) != 0, (sel & 1) != 0};
}

// Null bit, B9..B0, then B1..B9 again, then zeros.
std::vector<int> expected_bits(int code, int reads) {
  std::vector<int> bits{0};
  for (int b = 9; b >= 0; --b) bits.push_back((code >> b) & 1);
  for (int b = 1; b <= 9; ++b) bits.push_back((code >> b) & 1);
  while (static_cast<int>(bits.size()) < reads) bits.push_back(0);
  bits.resize(static_cast<std::size_t>(reads));
  return bits;
}

TEST(Mcp3008Model, EveryChannelAnswersWithItsOwnCodeInTheDataSheetBitOrder) {
  inputs in;
  in.lsb = {1.0, 1022.0, 512.0, 341.0, 682.0, 93.5, 1023.0, 0.0};
  mcp3008_model chip(in.source());
  master m{chip};
  const int codes[] = {1, 1022, 512, 341, 682, 93, 1023, 0};
  for (int ch = 0; ch < 8; ++ch) {
    SCOPED_TRACE(ch);
    EXPECT_EQ(m.frame(single(ch), 24), expected_bits(codes[ch], 24));
  }
}

TEST(Mcp3008Model, DifferentialPairsSubtractTheSecondInputAndClampAtZero) {
  inputs in;
  in.lsb = {600, 100, 50, 300, 1000, 1000, 1023, 0};
  mcp3008_model chip(in.source());
  // select: IN+ / IN- as the data sheet's table gives them.
  EXPECT_EQ(chip.convert(false, 0), 500);   // CH0 - CH1
  EXPECT_EQ(chip.convert(false, 1), 0);     // CH1 - CH0 < 0
  EXPECT_EQ(chip.convert(false, 2), 0);     // CH2 - CH3 < 0
  EXPECT_EQ(chip.convert(false, 3), 250);   // CH3 - CH2
  EXPECT_EQ(chip.convert(false, 4), 0);     // equal inputs
  EXPECT_EQ(chip.convert(false, 6), 1023);  // CH6 - CH7
  EXPECT_EQ(chip.convert(false, 7), 0);
  master m{chip};
  EXPECT_EQ(m.frame(differential(3), 11), expected_bits(250, 11));
}

TEST(Mcp3008Model, InputsBeyondTheRangeSaturate) {
  inputs in;
  in.lsb = {-5, 5000, std::numeric_limits<double>::quiet_NaN(), 1023.999, 0, 0, 0, 0};
  mcp3008_model chip(in.source());
  EXPECT_EQ(chip.convert(true, 0), 0);
  EXPECT_EQ(chip.convert(true, 1), 1023);
  EXPECT_EQ(chip.convert(true, 2), 0);
  EXPECT_EQ(chip.convert(true, 3), 1023);
}

TEST(Mcp3008Model, DoutFloatsUntilTheNullBitAndWhileDeselected) {
  inputs in;
  in.lsb.fill(1023);
  mcp3008_model chip(in.source());
  chip.set_idle_level(true);
  master m{chip};
  EXPECT_TRUE(chip.dout());  // deselected: the idle level
  m.open_frame();
  // Leading zeros before the start bit are ignored and DOUT stays released.
  m.send(false);
  m.send(false);
  EXPECT_TRUE(chip.dout());
  for (bool b : single(0)) m.send(b);
  EXPECT_TRUE(chip.dout());  // the sample clock has not fallen yet
  chip.set_clk(true);
  EXPECT_TRUE(chip.dout());
  chip.set_clk(false);
  EXPECT_FALSE(chip.dout());  // null bit, driven low
  EXPECT_TRUE(m.receive());   // B9
  chip.set_cs(true);
  EXPECT_TRUE(chip.dout());  // released again
}

TEST(Mcp3008Model, DinIsTakenOnRisingEdgesOnly) {
  inputs in;
  in.lsb = {0, 0, 0, 0, 0, 700, 0, 0};
  mcp3008_model chip(in.source());
  master m{chip};
  m.open_frame();
  for (bool b : single(5)) {
    chip.set_din(b);
    chip.set_clk(true);
    chip.set_din(!b);  // changes while the clock is high are not seen
    chip.set_clk(false);
  }
  std::vector<int> bits;
  for (int i = 0; i < 11; ++i) bits.push_back(m.receive() ? 1 : 0);
  EXPECT_EQ(bits, expected_bits(700, 11));
}

TEST(Mcp3008Model, AFrameCutShortByChipSelectLeavesNothingBehind) {
  inputs in;
  in.lsb = {300, 0, 0, 0, 0, 0, 0, 900};
  mcp3008_model chip(in.source());
  master m{chip};
  // Cut during the command: the next frame starts from its start bit.
  m.open_frame();
  m.send(true);
  m.send(true);
  m.send(true);
  chip.set_cs(true);
  EXPECT_FALSE(chip.frame_open());
  EXPECT_EQ(m.frame(single(0), 11), expected_bits(300, 11));
  // Cut in the middle of the result.
  m.open_frame();
  for (bool b : single(7)) m.send(b);
  for (int i = 0; i < 4; ++i) m.receive();
  chip.set_cs(true);
  EXPECT_EQ(m.frame(single(7), 11), expected_bits(900, 11));
  // A clock without chip select does nothing.
  chip.set_cs(true);
  for (int i = 0; i < 5; ++i) m.send(true);
  EXPECT_FALSE(chip.frame_open());
  EXPECT_EQ(m.frame(single(0), 11), expected_bits(300, 11));
}

TEST(Mcp3008Model, TheSampleIsHeldAtTheSampleClock) {
  inputs in;
  in.lsb[0] = 100;
  mcp3008_model chip(in.source());
  master m{chip};
  m.open_frame();
  for (bool b : single(0)) m.send(b);
  chip.set_clk(true);
  chip.set_clk(false);  // sample taken: 100
  in.lsb[0] = 900;      // later changes do not reach this frame
  std::vector<int> bits{chip.dout() ? 1 : 0};
  for (int i = 0; i < 10; ++i) bits.push_back(m.receive() ? 1 : 0);
  EXPECT_EQ(bits, expected_bits(100, 11));
  chip.set_cs(true);
  EXPECT_EQ(m.frame(single(0), 11), expected_bits(900, 11));
}

// A master whose every line change takes `step_ns` of the clock below.
std::uint64_t fake_now = 0;
std::uint64_t fake_clock() { return fake_now; }
std::vector<std::string> reported;
void record_report(vboard::chip_limit, const char *why) { reported.emplace_back(why); }

struct timed_master : master {
  std::uint64_t step_ns;
  void tick() { fake_now += step_ns; }
  std::vector<int> timed_frame(std::array<bool, 5> command, int reads) {
    chip.set_cs(true);
    chip.set_clk(false);
    chip.set_cs(false);
    std::vector<int> bits;
    for (bool b : command) {
      chip.set_din(b);
      tick();
      chip.set_clk(true);
      tick();
      chip.set_clk(false);
    }
    for (int i = 0; i < reads; ++i) {
      tick();
      chip.set_clk(true);
      tick();
      chip.set_clk(false);
      bits.push_back(chip.dout() ? 1 : 0);
    }
    chip.set_cs(true);
    return bits;
  }
};

TEST(Mcp3008Model, TimingLimitsGiveWrongBitsAndTellOncePerFrame) {
  inputs in;
  in.lsb[0] = 602;
  mcp3008_model chip(in.source());
  mcp3008_model::set_hooks(fake_clock, record_report);
  vboard::chip_timing_limits limits;
  EXPECT_NEAR(1e3 / limits.min_period_ns(), 1.937, 0.001);  // MHz at 3.3 V
  limits.vdd = 2.7;
  EXPECT_NEAR(1e3 / limits.min_period_ns(), 1.35, 1e-9);
  limits.vdd = 5.5;  // no faster than at 5 V
  EXPECT_NEAR(1e3 / limits.min_period_ns(), 3.6, 1e-9);
  limits.vdd = 3.3;

  // Without limits nothing is timed, however fast or slow the clock.
  timed_master m{{chip}, 1};
  EXPECT_EQ(m.timed_frame(single(0), 20), expected_bits(602, 20));
  m.step_ns = 1000000;
  EXPECT_EQ(m.timed_frame(single(0), 11)[10], 602 & 1);
  EXPECT_TRUE(reported.empty());

  limits.enabled = true;
  chip.set_limits(limits);
  // 250 ns a line change: a 2 MHz clock. Every data bit comes out inverted,
  // and the repeat gives the wrong bits again.
  m.step_ns = 250;
  auto bits = m.timed_frame(single(0), 20);
  int msb = 0, lsb = 0;
  for (int k = 1; k <= 10; ++k) msb = (msb << 1) | bits[static_cast<std::size_t>(k)];
  for (int k = 11; k <= 19; ++k) lsb |= bits[static_cast<std::size_t>(k)] << (k - 10);
  EXPECT_EQ(msb, 602 ^ 1023);
  EXPECT_EQ(lsb, (602 ^ 1023) & ~1);
  ASSERT_EQ(reported.size(), 1U);
  EXPECT_EQ(reported[0], "clock 2 MHz > 1.94 MHz max");

  // 100 us a change: a 5 kHz clock. B9 comes 200 us after the sample, B3
  // 1.4 ms after it, past the 1.2 ms the sample holds.
  reported.clear();
  m.step_ns = 100000;
  bits = m.timed_frame(single(0), 11);
  int code = 0;
  for (int k = 1; k <= 10; ++k) code = (code << 1) | bits[static_cast<std::size_t>(k)];
  EXPECT_EQ(code, 602 & ~0xf);
  ASSERT_EQ(reported.size(), 1U);
  EXPECT_EQ(reported[0], "droop: B3 at 1.4 ms > 1.2 ms");

  // Within both limits the frame is right and nothing is told.
  reported.clear();
  m.step_ns = 50000;
  bits = m.timed_frame(single(0), 11);
  code = 0;
  for (int k = 1; k <= 10; ++k) code = (code << 1) | bits[static_cast<std::size_t>(k)];
  EXPECT_EQ(code, 602);
  EXPECT_TRUE(reported.empty());
  mcp3008_model::set_hooks(nullptr, nullptr);
}

// An SPI master clocking one word edge by edge, as the board's bus does when
// nothing times or records the edges: DIN set up before the edge the chip
// samples on, DOUT read on the master's sampling edge.
std::uint32_t word_by_edges(mcp3008_model &chip, std::uint32_t out, unsigned bits, bool lsb_first,
                            bool cpol, bool cpha) {
  std::uint32_t in = 0;
  for (unsigned k = 0; k < bits; ++k) {
    const unsigned at = lsb_first ? k : bits - 1 - k;
    const bool level = ((out >> at) & 1U) != 0;
    bool sample = false;
    if (!cpha) {
      chip.set_din(level);
      chip.set_clk(!cpol);
      sample = chip.dout();
      chip.set_clk(cpol);
    } else {
      chip.set_clk(!cpol);
      chip.set_din(level);
      chip.set_clk(cpol);
      sample = chip.dout();
    }
    in |= static_cast<std::uint32_t>(sample) << at;
  }
  return in;
}

// Words the way programs send them: converter commands at every alignment,
// zeros to clock a result out, and bytes that are no command at all.
std::uint32_t some_word(std::mt19937 &rng, unsigned bits) {
  const std::uint32_t mask = bits == 32 ? 0xffffffffU : (1U << bits) - 1;
  switch (rng() % 4) {
    case 0:
      return 0;
    case 1: {
      // Start bit, SGL/DIFF and channel somewhere in the word.
      const std::uint32_t command = 0x10U | (rng() & 15U);
      return (command << (rng() % 28)) & mask;
    }
    case 2:
      return mask;
    default:
      return static_cast<std::uint32_t>(rng()) & mask;
  }
}

// Lines left by whatever drove the chip before (a bit-banging program, a
// damaged board object), fields out of range included.
void scramble(std::mt19937 &rng, vboard::mcp3008_lines &l) {
  l.clk = rng() & 1U;
  l.din = rng() & 1U;
  l.cs = rng() & 1U;
  l.idle = rng() & 1U;
  l.driving = rng() & 1U;
  l.out = rng() & 1U;
  l.phase = static_cast<std::uint8_t>(rng() % 8);
  l.command = rng() % 20;
  l.command_bits = static_cast<std::int32_t>(rng() % 8) - 2;
  l.code = static_cast<std::int32_t>(rng() % 1100) - 30;
  l.out_index = static_cast<std::int32_t>(rng() % 26) - 2;
  l.decided = static_cast<std::int32_t>(rng() % 1100) - 30;
  // Timing of a frame clocked under limits before: untimed edges keep it.
  l.have_rise = rng() & 1U;
  l.fast = rng() & 1U;
  l.told = rng() & 3U;
  l.last_rise = rng();
  l.sample_end = rng();
  l.last_edge = rng();
}

// Whole words through the chip must leave exactly what the same words
// clocked edge by edge leave: the bits read back and every field of the
// lines, over messages in every mode, word size and bit order, frames cut
// short and frames running on across words and chip select changes.
TEST(Mcp3008Model, WholeWordsAnswerAsTheirEdgesDo) {
  inputs in;
  for (int ch = 0; ch < 8; ++ch) in.lsb[static_cast<std::size_t>(ch)] = 97.5 + 113.25 * ch;
  in.lsb[5] = 2000;  // saturates
  in.lsb[6] = -4;    // reads 0
  for (unsigned seed = 1; seed <= 300; ++seed) {
    std::mt19937 rng(seed);
    vboard::mcp3008_lines edge_lines{}, word_lines{};
    mcp3008_model by_edges(in.source(), &edge_lines), by_words(in.source(), &word_lines);
    by_edges.reset();
    by_words.reset();
    if (seed % 3 == 0) scramble(rng, edge_lines);
    word_lines = edge_lines;
    for (int step = 0; step < 300; ++step) {
      const unsigned what = rng() % 16;
      if (what == 0) {
        const bool level = (rng() & 1U) != 0;
        by_edges.set_cs(level);
        by_words.set_cs(level);
      } else if (what == 2 && seed % 3 == 0) {
        scramble(rng, edge_lines);
        word_lines = edge_lines;
      } else if (what == 1) {
        // Another master moves the clock or DIN between words.
        const bool clk = (rng() & 1U) != 0, din = (rng() & 1U) != 0;
        by_edges.set_clk(clk);
        by_words.set_clk(clk);
        by_edges.set_din(din);
        by_words.set_din(din);
      } else {
        const bool cpol = (rng() & 1U) != 0, cpha = (rng() & 1U) != 0, lsb = rng() % 4 == 0;
        const unsigned bits = rng() % 3 == 0 ? 1 + rng() % 32 : 8;
        const std::uint32_t out = some_word(rng, bits);
        const std::uint32_t want = word_by_edges(by_edges, out, bits, lsb, cpol, cpha);
        const std::uint32_t got = by_words.shift_word(out, bits, lsb, cpol, cpha);
        ASSERT_EQ(got, want) << "seed " << seed << " step " << step << " out 0x" << std::hex << out
                             << std::dec << " bits " << bits << " mode "
                             << (cpol ? 2 : 0) + (cpha ? 1 : 0) << (lsb ? " lsb-first" : "");
      }
      ASSERT_EQ(std::memcmp(&edge_lines, &word_lines, sizeof edge_lines), 0)
          << "seed " << seed << " step " << step << ": phase " << int{edge_lines.phase} << "/"
          << int{word_lines.phase} << " out_index " << edge_lines.out_index << "/"
          << word_lines.out_index << " decided " << edge_lines.decided << "/" << word_lines.decided
          << " command " << edge_lines.command << "/" << word_lines.command;
    }
  }
}

// A converter frame of `total` bits (first highest): the start bit at
// `start`, SGL/DIFF and the select bits after it, then zeros or, at times,
// noise the chip ignores once the command is in.
std::uint64_t frame_bits(std::mt19937 &rng, unsigned total, unsigned start, unsigned command) {
  std::uint64_t v = 0;
  for (unsigned k = 0; k < total; ++k) {
    bool bit = false;
    if (k == start) {
      bit = true;
    } else if (k > start && k <= start + 4) {
      bit = ((command >> (start + 4 - k)) & 1U) != 0;
    } else if (k > start + 4) {
      bit = rng() % 3 == 0;
    }
    v = (v << 1) | (bit ? 1U : 0U);
  }
  return v;
}

// Frames the chip answers at once must leave what their edges leave: every
// mode and bit order, words of 1 to 8 bits (shift_bytes) and up to 32
// (shift_word), the start bit anywhere (the answer whole, cut short, or not
// reached), single-ended and differential, from a fresh frame, one a
// previous master left half done, and lines a damaged board object holds.
TEST(Mcp3008Model, WholeFramesAnswerAsTheirEdgesDo) {
  inputs in;
  for (int ch = 0; ch < 8; ++ch) in.lsb[static_cast<std::size_t>(ch)] = 611.5 - 70.25 * ch;
  in.lsb[3] = 1500;   // saturates
  int converted = 0;  // frames that reached the sample
  for (unsigned seed = 1; seed <= 4000; ++seed) {
    std::mt19937 rng(seed);
    vboard::mcp3008_lines edge_lines{}, frame_lines{};
    mcp3008_model by_edges(in.source(), &edge_lines), by_frames(in.source(), &frame_lines);
    by_edges.reset();
    const bool cpol = (rng() & 1U) != 0, cpha = (rng() & 1U) != 0, lsb = rng() % 4 == 0;
    by_edges.set_clk(cpol);
    by_edges.set_din((rng() & 1U) != 0);
    by_edges.set_cs(false);
    const unsigned before = rng() % 8;
    if (before == 0) {
      scramble(rng, edge_lines);
    } else if (before == 1) {
      by_edges.set_clk(!cpol);  // a clock left at its active level
    } else if (before == 2) {
      (void)word_by_edges(by_edges, 1, 1, false, cpol, cpha);  // a start bit already in
    }
    frame_lines = edge_lines;
    // A third of the frames are the converter's own three bytes.
    const unsigned shape = rng() % 6;
    const bool bytes = shape < 4;
    const unsigned bits = shape < 2 ? 8 : bytes ? 1 + rng() % 8 : 1 + rng() % 32;
    const unsigned words = shape < 2 ? 3 : bytes ? 1 + rng() % (64 / bits) : 1;
    const unsigned total = bits * words;
    const unsigned command = rng() % 16;
    const unsigned start = rng() % total;
    const std::uint64_t sent = frame_bits(rng, total, start, command);
    std::uint64_t want = 0, got = 0;
    std::vector<std::uint8_t> out(words), back(words, 0xee);
    for (unsigned w = 0; w < words; ++w) {
      auto word = static_cast<std::uint32_t>((sent >> (bits * (words - 1 - w))) &
                                             ((std::uint64_t{1} << bits) - 1));
      if (lsb) {
        std::uint32_t r = 0;
        for (unsigned b = 0; b < bits; ++b) r |= ((word >> b) & 1U) << (bits - 1 - b);
        word = r;
      }
      out[w] = static_cast<std::uint8_t>(word);
      want = (want << bits) | word_by_edges(by_edges, word, bits, lsb, cpol, cpha);
      if (!bytes) got = by_frames.shift_word(word, bits, lsb, cpol, cpha);
    }
    if (bytes) {
      by_frames.shift_bytes(out.data(), back.data(), words, bits, lsb, cpol, cpha);
      for (unsigned w = 0; w < words; ++w) got = (got << bits) | back[w];
    }
    const std::string where = "seed " + std::to_string(seed) + " mode " +
                              std::to_string((cpol ? 2 : 0) + (cpha ? 1 : 0)) +
                              (lsb ? " lsb" : "") + " " + std::to_string(words) + "x" +
                              std::to_string(bits) + " start " + std::to_string(start) +
                              " before " + std::to_string(before);
    ASSERT_EQ(got, want) << where;
    ASSERT_EQ(std::memcmp(&edge_lines, &frame_lines, sizeof edge_lines), 0)
        << where << ": phase " << int{edge_lines.phase} << "/" << int{frame_lines.phase}
        << " out_index " << edge_lines.out_index << "/" << frame_lines.out_index << " decided "
        << edge_lines.decided << "/" << frame_lines.decided << " out " << int{edge_lines.out} << "/"
        << int{frame_lines.out};
    if (edge_lines.phase == static_cast<std::uint8_t>(vboard::mcp3008_phase::output)) ++converted;
    // Chip select released after the frame: both back at rest alike.
    by_edges.set_cs(true);
    by_frames.set_cs(true);
    ASSERT_EQ(std::memcmp(&edge_lines, &frame_lines, sizeof edge_lines), 0) << where;
  }
  // Most frames above are long enough for the sample to be taken.
  EXPECT_GT(converted, 1500);
}

}  // namespace
