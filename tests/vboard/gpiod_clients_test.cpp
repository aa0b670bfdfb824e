// The GPIO character device under clients nobody here wrote: the
// distribution's gpiod tools (gpiodetect, gpioinfo, gpioget, gpioset,
// gpiomon) and its python3-libgpiod, each step a process of its own on
// the test's board, as a user's commands are.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "support/board.hpp"
#include "support/process.hpp"

namespace {

using adckit::test::Outcome;
using adckit::test::board::Running;

class Gpiod : public adckit::test::board::HostBoardTest {
 protected:
  // gpioinfo's line for `line`.
  std::string info(std::size_t line) {
    const Outcome o = run({"gpioinfo", "gpiochip0"});
    EXPECT_EQ(o.status, 0) << o.err;
    const auto l = adckit::test::lines(o.out);
    return line + 1 < l.size() ? l[line + 1] : "";
  }
  // Waits (up to ten seconds) until gpioinfo shows `line` held by `consumer`.
  bool held_by(std::size_t line, const std::string &consumer) {
    for (int i = 0; i < 500; ++i) {
      if (info(line).find("\"" + consumer + "\"") != std::string::npos) return true;
      usleep(20000);
    }
    return false;
  }
};

TEST_F(Gpiod, DetectAndInfoShowTheSysfsControllerAtOffsetsThatIgnoreItsBase) {
  Outcome o = run({"gpiodetect"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "gpiochip0 [pinctrl-bcm2835] (54 lines)\n");
  EXPECT_EQ(info(4), "\tline   4:      \"GPIO4\"       unused   input  active-high ");
  EXPECT_EQ(run({"gpiofind", "GPIO17"}).out, "gpiochip0 17\n");

  // The strict profile numbers sysfs from 512 and gives spi0 its chip
  // selects; the character device's offsets stay.
  o = run({"sh", "-c", "ls /sys/class/gpio; gpiodetect; gpioinfo | sed -n '9,10p'"},
          {{"VBOARD_STRICT", "1"}});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "export\ngpiochip512\nunexport\n"
            "gpiochip0 [pinctrl-bcm2835] (54 lines)\n"
            "\tline   7:      \"GPIO7\"   \"spi0 CS1\"  output   active-low [used]\n"
            "\tline   8:      \"GPIO8\"   \"spi0 CS0\"  output   active-low [used]\n");
}

TEST_F(Gpiod, ALineHeldByGpiosetIsBusyForOthersAndFreedWhenItsHolderEnds) {
  const std::string pid_file = dir / "pid";
  // The shell tells the test gpioset's pid, so the test can end it.
  Running holder(
      {"sh", "-c", "gpioset --mode=signal gpiochip0 22=1 & echo $! > " + pid_file + "; wait $!"},
      env(), false);
  ASSERT_TRUE(held_by(22, "gpioset"));
  EXPECT_EQ(info(22), "\tline  22:     \"GPIO22\"    \"gpioset\"  output  active-high [used]");
  // Another process reads the line it drives, through the jumper.
  Outcome o = run({"gpioget", "gpiochip0", "23"});
  EXPECT_EQ(o.out, "1\n") << o.err;
  o = run({"gpioget", "gpiochip0", "22"});
  EXPECT_NE(o.status, 0);
  EXPECT_NE(o.err.find("Device or resource busy"), std::string::npos) << o.err;
  o = run({VBOARD_LAUNCHER, "show"});
  EXPECT_NE(o.out.find("  handle lines 22, consumer \"gpioset\""), std::string::npos) << o.out;

  // Killed, it closes nothing: the kernel lets go of its lines all the same.
  const pid_t pid = std::stoi(adckit::test::board::read_file(pid_file));
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_EQ(holder.wait().status, 128 + SIGKILL);
  EXPECT_EQ(info(22), "\tline  22:     \"GPIO22\"       unused   input  active-high ");
  EXPECT_EQ(run({"gpioget", "gpiochip0", "23"}).out, "0\n");

  // A line exported through sysfs is shown held.
  ASSERT_EQ(run({"sh", "-c", "echo 22 > /sys/class/gpio/export"}).status, 0);
  EXPECT_EQ(info(22), "\tline  22:     \"GPIO22\"      \"sysfs\"   input  active-high [used]");
}

TEST_F(Gpiod, GpiomonCatchesTheEdgesAnotherProcessMakes) {
  Running mon({"gpiomon", "--num-events=4", "--format=%e %o", "gpiochip0", "23"}, env(), false);
  ASSERT_TRUE(held_by(23, "gpiomon"));
  // Each gpioset drives the line high and lets it go when it ends.
  for (int i = 0; i < 2; ++i) ASSERT_EQ(run({"gpioset", "gpiochip0", "22=1"}).status, 0);
  const Outcome o = mon.wait();
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "1 23\n0 23\n1 23\n0 23\n");
}

// One request for CS, CLK and DIN, set together as libgpiod 1.6 wants
// (a single line's set_value would set the others of its request too),
// and DOUT watched for edges while it is read.
TEST_F(Gpiod, PythonBitBangsEveryChannelAndSeesTheChipsDoutEdges) {
  const Outcome o = run({"/usr/bin/python3", "-c", R"(
import gpiod
chip = gpiod.Chip("gpiochip0")
out = chip.get_lines([17, 4, 5])
out.request(consumer="adc", type=gpiod.LINE_REQ_DIR_OUT, default_vals=[1, 0, 0])
dout = chip.get_line(27)
dout.request(consumer="adc", type=gpiod.LINE_REQ_EV_BOTH_EDGES)
state = [1, 0, 0]
def put(i, v):
    state[i] = v
    out.set_values(state)
def tick():
    put(1, 1); put(1, 0)
def convert(ch):
    put(0, 0)
    for b in (1, 1, (ch >> 2) & 1, (ch >> 1) & 1, ch & 1):
        put(2, b); tick()
    tick()
    code = 0
    for _ in range(10):
        tick(); code = code * 2 + dout.get_value()
    put(0, 1)
    return code
codes = [convert(ch) for ch in range(8)]
print(codes)
edges = []
while dout.event_wait(sec=5):
    edges.append(dout.event_read().type)
    if len(edges) == 16: break
print(len(edges), edges[0] == gpiod.LineEvent.RISING_EDGE)
print(chip.get_line(27).consumer(), chip.get_line(4).is_used())
# A request's descriptor kept across exec is the new program's: the line
# stays held until it closes it, while the request exec closed is freed.
import os, sys
fd = dout.event_get_fd()
os.set_inheritable(fd, True)
sys.stdout.flush()
os.execv(sys.executable, [sys.executable, "-c", """
import gpiod, os, sys
fd = int(sys.argv[1])
os.set_blocking(fd, False)
try:
    os.read(fd, 64)
except BlockingIOError:
    print("no event queued")
chip = gpiod.Chip("gpiochip0")
def used(n):
    line = chip.get_line(n)
    line.update()
    return line.is_used()
print(used(27), used(4))
os.close(fd)
print(used(27))
""", str(fd)])
)"},
                        {{"VBOARD_CH0", "0"},
                         {"VBOARD_CH1", "1023"},
                         {"VBOARD_CH2", "717"},
                         {"VBOARD_CH3", "341"},
                         {"VBOARD_CH4", "682"},
                         {"VBOARD_CH5", "1"},
                         {"VBOARD_CH6", "1022"},
                         {"VBOARD_CH7", "1.65V"}});
  ASSERT_EQ(o.status, 0) << o.err;
  // Far more edges came than the kernel's queue holds: it kept the
  // first sixteen, the first a rising one (DOUT idles low).
  EXPECT_EQ(o.out,
            "[0, 1023, 717, 341, 682, 1, 1022, 512]\n16 True\nadc True\n"
            "no event queued\nTrue False\nFalse\n");
}

}  // namespace
