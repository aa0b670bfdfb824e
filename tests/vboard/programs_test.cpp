// Ordinary programs nobody here wrote, run under the board: the shell and
// cat must see a board as they would on the real one.
#include <gtest/gtest.h>

#include "support/board.hpp"

namespace {

using adckit::test::Outcome;
using adckit::test::board::run_on_board;
using adckit::test::TempDir;

class Programs : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!adckit::test::host_programs_on_board()) {
      GTEST_SKIP() << "this machine has no shell or cat built for the target";
    }
  }
  // One board shared by every process of the test, as the kernel would be.
  Outcome sh(const std::string &script) {
    return run_on_board({"sh", "-c", script}, {{"VBOARD_BOARD", dir / "board"}}, false);
  }
  TempDir dir;
};

TEST_F(Programs, ShellExportMakesThePinAppearAndCatReadsItsValue) {
  auto r = sh("echo 17 > /sys/class/gpio/export && test -d /sys/class/gpio/gpio17 && echo here");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "here\n");

  r = run_on_board({"cat", "/sys/class/gpio/gpio17/value", "/sys/class/gpio/gpio17/direction"},
                   {{"VBOARD_BOARD", dir / "board"}}, false);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0\nin\n");

  r =
      sh("echo out > /sys/class/gpio/gpio17/direction && echo 1 > /sys/class/gpio/gpio17/value &&"
         " cat < /sys/class/gpio/gpio17/value");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1\n");
}

TEST_F(Programs, ASecondExportFailsInTheShellWithDeviceOrResourceBusy) {
  ASSERT_EQ(sh("echo 17 > /sys/class/gpio/export").status, 0);
  // The shell's own echo fails (dash words every write error "I/O error");
  // an echo program started with the redirection names the kernel's error.
  auto r = sh("echo 17 > /sys/class/gpio/export");
  EXPECT_NE(r.status, 0);
  r = sh("/bin/echo 17 > /sys/class/gpio/export");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("Device or resource busy"), std::string::npos) << r.err;

  r = sh("echo 17 > /sys/class/gpio/unexport && echo 17 > /sys/class/gpio/unexport");
  EXPECT_NE(r.status, 0);
  r = sh("test -e /sys/class/gpio/gpio17 || echo gone");
  EXPECT_EQ(r.out, "gone\n");
  r = run_on_board({"cat", "/sys/class/gpio/gpio17/value"}, {{"VBOARD_BOARD", dir / "board"}},
                   false);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
}

TEST_F(Programs, TheTraceFileCollectsTheAccessesOfEveryProcess) {
  const std::string trace = dir / "trace";
  const auto r = run_on_board(
      {"sh", "-c", "echo 4 > /sys/class/gpio/export; cat /sys/class/gpio/gpio4/value > /dev/null"},
      {{"VBOARD_BOARD", dir / "board"}, {"VBOARD_TRACE", trace}}, false);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string text = adckit::test::board::read_file(trace);
  EXPECT_NE(
      text.find("op=write file=/sys/class/gpio/export req=0x0 bytes=2 res=2 err=0 data=\"4\\n\""),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("op=read file=/sys/class/gpio/gpio4/value"), std::string::npos) << text;
}

TEST_F(Programs, AMalformedVariableIsReportedAndIgnored) {
  const auto r = run_on_board({"sh", "-c", "exit 0"}, {{"VBOARD_CH0", "sine:amp=oops"}}, false);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("VBOARD_CH0"), std::string::npos) << r.err;
}

}  // namespace
