// The gpiod_sampler example on the board: its conversions against the
// inputs set, made through the character device alone, one access per
// line change as gpiosampler makes them through sysfs.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/board.hpp"
#include "support/process.hpp"
#include "support/trace.hpp"

namespace {

using adckit::test::Outcome;
using adckit::test::board::run_on_board;

class GpiodSampler : public adckit::test::board::HostBoardTest,
                     public ::testing::WithParamInterface<const char *> {};

TEST_P(GpiodSampler, ReadsChannelZeroFiftyTimesThroughTheLineHandlesAlone) {
  // Every other channel elsewhere: a frame that selected one would show it.
  std::map<std::string, std::string> inputs{{"VBOARD_CH0", "300"}, {"VBOARD_TRACE", dir / "trace"}};
  for (int ch = 1; ch < 8; ++ch)
    inputs["VBOARD_CH" + std::to_string(ch)] = std::to_string(1000 + ch);
  // The base moves the sysfs numbers only; the chip's offsets stay.
  inputs["VBOARD_GPIO_BASE"] = GetParam();
  const Outcome o = run_on_board({GPIOD_SAMPLER_PATH}, env(inputs), true);
  ASSERT_EQ(o.status, 0) << o.out << o.err;
  const auto out = adckit::test::lines(o.out);
  ASSERT_EQ(out.size(), 53U) << o.out;
  EXPECT_EQ(out[0].rfind("start at ", 0), 0U);
  for (std::size_t i = 1; i <= 50; ++i) EXPECT_EQ(out[i], "value is 300") << i;
  EXPECT_EQ(out[51].rfind("finish at ", 0), 0U);
  EXPECT_EQ(out[52].rfind("DeltaT  ", 0), 0U);

  // 55 accesses a conversion, none through sysfs.
  int sets = 0, gets = 0;
  for (const auto &e : adckit::test::read_trace(dir / "trace")) {
    EXPECT_EQ(e.file.find("/sys/class/gpio"), std::string::npos) << e.file;
    if (e.op != "ioctl" || e.file != "anon_inode:gpio-linehandle") continue;
    EXPECT_EQ(e.err, "0") << e.req;
    if (e.req == 0xc040b409) ++sets;  // SET_LINE_VALUES
    if (e.req == 0xc040b408) ++gets;  // GET_LINE_VALUES
  }
  EXPECT_EQ(sets, 50 * 43);
  EXPECT_EQ(gets, 50 * 12);
}

INSTANTIATE_TEST_SUITE_P(Base, GpiodSampler, ::testing::Values("0", "512"));

TEST_F(GpiodSampler, ALineExportedThroughSysfsIsBusyAndTheRunFails) {
  ASSERT_EQ(run({"sh", "-c", "echo 17 > /sys/class/gpio/export"}).status, 0);
  const Outcome o = run_on_board({GPIOD_SAMPLER_PATH}, env(), true);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "");
  EXPECT_NE(o.err.find("Device or resource busy"), std::string::npos) << o.err;
}

}  // namespace
