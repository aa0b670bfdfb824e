// The spidev devices under clients nobody here wrote, from the
// distribution: spi-config and spi-pipe, and the SPI classes of the Python
// spidev and periphery packages. Each test has its own board.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "support/board.hpp"

namespace {

using adckit::test::Outcome;
using adckit::test::board::run_on_board;
using adckit::test::TempDir;

constexpr char kPython[] = "/usr/bin/python3";

class SpidevClients : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!adckit::test::host_programs_on_board())
      GTEST_SKIP() << "host programs need a native build";
  }
  Outcome run(const std::vector<std::string> &argv, std::map<std::string, std::string> env = {}) {
    env["VBOARD_BOARD"] = dir / "board";
    env.emplace("VBOARD_CH0", "602");
    env.emplace("VBOARD_CH1", "77");
    return run_on_board(argv, env, false);
  }
  Outcome python(const std::string &script, std::map<std::string, std::string> env = {}) {
    return run({kPython, "-c", script}, std::move(env));
  }
  Outcome query() { return run({"spi-config", "-d", "/dev/spidev0.0", "-q"}); }
  TempDir dir;
};

TEST_F(SpidevClients, SettingsLiveInTheDeviceAndTheRateGoesBackAtTheLastClose) {
  Outcome o = query();
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "/dev/spidev0.0: mode=0, lsb=0, bits=8, speed=125000000, spiready=0\n");
  o = run({"spi-config", "-d", "/dev/spidev0.0", "-m", "3", "-s", "1000000"});
  ASSERT_EQ(o.status, 0) << o.err;
  // A new process sees the mode; the rate went back when the setter closed.
  o = query();
  EXPECT_EQ(o.out, "/dev/spidev0.0: mode=3, lsb=0, bits=8, speed=125000000, spiready=0\n");

  // While a process keeps the device open, its rate stays; it goes back
  // once that process ends, even killed.
  adckit::test::board::Running keeper(
      {"timeout", "-s", "KILL", "3", "spi-config", "-d", "/dev/spidev0.0", "-s", "2000000", "-w"},
      {{"VBOARD_BOARD", dir / "board"}}, false);
  std::string seen;
  for (int i = 0; i < 100 && seen.find("speed=2000000") == std::string::npos; ++i) {
    usleep(20000);
    seen = query().out;
  }
  EXPECT_EQ(seen, "/dev/spidev0.0: mode=3, lsb=0, bits=8, speed=2000000, spiready=0\n");
  keeper.wait();
  // timeout's SIGKILL goes to its whole process group, itself included, so
  // it may be gone a moment before the spi-config it started has ended.
  for (int i = 0; i < 100; ++i) {
    seen = query().out;
    if (seen.find("speed=2000000") == std::string::npos) break;
    usleep(20000);
  }
  EXPECT_EQ(seen, "/dev/spidev0.0: mode=3, lsb=0, bits=8, speed=125000000, spiready=0\n");

  // The strict profile's controller refuses LSB-first, and says why.
  o = run({"spi-config", "-d", "/dev/spidev0.0", "-l", "1"}, {{"VBOARD_STRICT", "1"}});
  EXPECT_NE(o.status, 0);
  EXPECT_NE(o.err.find("vboard: strict: /dev/spidev0.0: LSB-first refused"), std::string::npos)
      << o.err;
}

TEST_F(SpidevClients, SpiPipeClocksAFrameInOneMessagePerBlock) {
  TempDir files;
  {
    FILE *f = std::fopen((files / "in").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const unsigned char frames[] = {0x01, 0x80, 0x00, 0x01, 0x90, 0x00};
    ASSERT_EQ(std::fwrite(frames, 1, sizeof frames, f), sizeof frames);
    std::fclose(f);
  }
  const Outcome o = run(
      {"sh", "-c",
       "spi-pipe -d /dev/spidev0.0 -s 1000000 -b 3 < " + (files / "in") + " > " + (files / "out")},
      {{"VBOARD_STRICT", "1"}});
  // spi-pipe ends with status 1 at the end of its input, on a board too.
  EXPECT_EQ(o.err, "");
  const std::string out = adckit::test::board::read_file(files / "out");
  ASSERT_EQ(out.size(), 6U);
  auto code = [&](std::size_t at) {
    return ((static_cast<unsigned char>(out[at + 1]) & 3) << 8) |
           static_cast<unsigned char>(out[at + 2]);
  };
  EXPECT_EQ(code(0), 602);
  EXPECT_EQ(code(3), 77);
}

TEST_F(SpidevClients, PythonSpidevTransfersAndModeChanges) {
  const Outcome o = python(R"(
import spidev
s = spidev.SpiDev()
s.open(0, 0)
print(s.mode, s.bits_per_word, s.max_speed_hz)
s.max_speed_hz = 1000000
code = lambda r: ((r[1] & 3) << 8) | r[2]
print(code(s.xfer([1, 0x80, 0])), code(s.xfer2([1, 0x90, 0])))
s.writebytes([1, 0x80, 0])
print(len(s.readbytes(3)))
s.mode = 3
print(s.mode, code(s.xfer2([1, 0x80, 0])))
s.mode = 1
print(s.mode, code(s.xfer2([1, 0x80, 0])))
s.close()
)",
                           {{"VBOARD_STRICT", "1"}});
  ASSERT_EQ(o.status, 0) << o.err;
  // Mode 1 is not one the chip answers in: a wrong code, and the reason.
  const auto nl = o.out.rfind("1 ");
  ASSERT_NE(nl, std::string::npos) << o.out;
  EXPECT_EQ(o.out.substr(0, nl), "0 8 125000000\n602 77\n3\n3 602\n") << o.out;
  EXPECT_NE(o.out.substr(nl), "1 602\n");
  EXPECT_NE(o.err.find("SPI mode 1: chip takes 0 or 3"), std::string::npos) << o.err;
}

TEST_F(SpidevClients, PythonPeripherySpiReadsEveryChannel) {
  const Outcome o = python(R"(
from periphery import SPI
spi = SPI("/dev/spidev0.0", 0, 1000000)
codes = []
for ch in range(8):
    r = spi.transfer([1, 0x80 | (ch << 4), 0])
    codes.append(((r[1] & 3) << 8) | r[2])
print(codes)
spi.close()
)",
                           {{"VBOARD_STRICT", "1"}, {"VBOARD_CH7", "1023"}});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "[602, 77, 0, 0, 0, 0, 0, 1023]\n");
  EXPECT_EQ(o.err, "");
}

}  // namespace
