// The bit-banged conversion against a recording fake of the pin routines,
// linked in place of the sysfs module.
#include "mcp3008.h"

#include <gtest/gtest.h>

#include <climits>
#include <deque>
#include <string>
#include <vector>

// Built as C99 from mcp3008_c.c: the header module must work there too.
extern "C" int convert_from_c(int inputnum);

namespace {

constexpr int clk = 4, din = 27, dout = 5, cs = 17;  // din: the chip's DOUT, read by us

struct Access {
  char kind;  // 'w' write, 'r' read, 'i' direction
  int pin;
  int value;              // level written or returned
  std::string direction;  // for 'i'
  bool operator==(const Access &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Access &a) {
  return os << a.kind << "(" << a.pin << "," << (a.kind == 'i' ? a.direction : std::to_string(a.value))
            << ")";
}

std::vector<Access> accesses;
std::deque<int> levels;  // what the next reads return; 0 once used up

Access W(int pin, int value) { return {'w', pin, value, {}}; }
Access R(int pin, int value) { return {'r', pin, value, {}}; }

class Conversion : public testing::Test {
 protected:
  void SetUp() override {
    accesses.clear();
    levels.clear();
  }

  // The levels written to the chip's DIN during the frame, in order.
  static std::vector<int> bits_sent() {
    std::vector<int> bits;
    for (const Access &a : accesses) {
      if (a.kind == 'w' && a.pin == dout) {
        bits.push_back(a.value);
      }
    }
    return bits;
  }

  static int convert(std::initializer_list<int> reads) {
    levels.assign(reads);
    return mcp3008_value(0, clk, din, dout, cs);
  }
};

TEST_F(Conversion, EachChannelIsSentAsStartSingleEndedAndThreeBits) {
  for (int channel = 0; channel < 8; ++channel) {
    accesses.clear();
    mcp3008_value(channel, clk, din, dout, cs);
    EXPECT_EQ(bits_sent(),
              (std::vector<int>{1, 1, (channel >> 2) & 1, (channel >> 1) & 1, channel & 1}))
        << "channel " << channel;
  }
}

TEST_F(Conversion, AFrameIsFiftyFiveAccessesInWireOrder) {
  levels.assign({0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1});
  const int value = mcp3008_value(5, clk, din, dout, cs);

  std::vector<Access> expected = {W(cs, 1), W(clk, 0), W(cs, 0)};
  for (int bit : {1, 1, 1, 0, 1}) {
    expected.insert(expected.end(), {W(dout, bit), W(clk, 1), W(clk, 0)});
  }
  for (int level : {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1}) {
    expected.insert(expected.end(), {W(clk, 1), W(clk, 0), R(din, level)});
  }
  expected.push_back(W(cs, 1));

  ASSERT_EQ(expected.size(), 55u);
  EXPECT_EQ(accesses, expected);
  EXPECT_EQ(value, 512 + 1);
}

TEST_F(Conversion, ElevenBitsAfterTheFirstReadMakeTheResult) {
  EXPECT_EQ(convert({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0);
  EXPECT_EQ(convert({1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}), 2047);
  EXPECT_EQ(convert({0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0}), 1023);
  EXPECT_EQ(convert({0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}), 1023);  // twelfth bit ignored
  EXPECT_EQ(convert({0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 512);
  EXPECT_EQ(convert({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}), 1);
  EXPECT_EQ(convert({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), 1024);  // a null bit that is high
  // An unreadable data line (-1 on every read) must not pass for a reading.
  EXPECT_EQ(convert({-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1}), 2047);
  EXPECT_EQ(convert({0, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 512);
}

TEST_F(Conversion, AChannelOutsideZeroToSevenTouchesNoLine) {
  for (int channel : {-1, 8, INT_MIN, INT_MAX}) {
    EXPECT_EQ(mcp3008_value(channel, clk, din, dout, cs), -1) << channel;
  }
  EXPECT_TRUE(accesses.empty());
}

TEST_F(Conversion, InitSetsTheFourDirectionsInLineOrder) {
  init_mcp3008(clk, din, dout, cs);
  EXPECT_EQ(accesses, (std::vector<Access>{
                          {'i', clk, 0, "out"}, {'i', din, 0, "in"}, {'i', dout, 0, "out"}, {'i', cs, 0, "out"}}));
}

TEST_F(Conversion, TheHeaderGivesTheSameFrameWhenBuiltAsC) {
  levels.assign({0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1});
  const int from_cpp = mcp3008_value(6, clk, din, dout, cs);
  const std::vector<Access> cpp_frame = accesses;
  accesses.clear();
  levels.assign({0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1});
  EXPECT_EQ(convert_from_c(6), from_cpp);
  EXPECT_EQ(accesses, cpp_frame);
  EXPECT_EQ(from_cpp, 0b1010101010);
}

TEST(FrameBits, OnlyTheLowestThreeBitsOfTheChannelReachTheFrame) {
  const struct {
    int channel;
    std::vector<int> frame;
  } cases[] = {{0, {1, 1, 0, 0, 0}},  {5, {1, 1, 1, 0, 1}},       {7, {1, 1, 1, 1, 1}},
               {13, {1, 1, 1, 0, 1}}, {-1, {1, 1, 1, 1, 1}},      {-8, {1, 1, 0, 0, 0}},
               {-3, {1, 1, 1, 0, 1}}, {INT_MIN, {1, 1, 0, 0, 0}}};
  for (const auto &c : cases) {
    std::vector<int> bin(5, -7);
    mcp3008_select_chip(bin.data(), c.channel);
    EXPECT_EQ(bin, c.frame) << "channel " << c.channel;
  }
}

TEST(PowerOf2, DoublesOncePerExponentStepAndWrapsPastTheIntRange) {
  EXPECT_EQ(power_of_2(0), 1);
  EXPECT_EQ(power_of_2(-1), 1);
  EXPECT_EQ(power_of_2(INT_MIN), 1);
  EXPECT_EQ(power_of_2(1), 2);
  EXPECT_EQ(power_of_2(12), 4096);
  EXPECT_EQ(power_of_2(30), 1 << 30);
  EXPECT_EQ(power_of_2(31), INT_MIN);
  EXPECT_EQ(power_of_2(32), 0);
  EXPECT_EQ(power_of_2(INT_MAX), 0);
}

}  // namespace

// The fake pin routines: record every access, answer reads from `levels`.
extern "C" {
void gpio_write(int pin, int value) { accesses.push_back(W(pin, value)); }
int gpio_read(int pin) {
  int level = 0;
  if (!levels.empty()) {
    level = levels.front();
    levels.pop_front();
  }
  accesses.push_back(R(pin, level));
  return level;
}
int gpio_init(int pin, const char *direction) {
  accesses.push_back({'i', pin, 0, direction});
  return 1;
}
}
