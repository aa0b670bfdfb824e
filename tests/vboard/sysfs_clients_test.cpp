// The sysfs GPIO tree under clients nobody here wrote: bash and dash
// sessions of separate processes with coreutils and findutils, the sysfs
// GPIO class of the distribution's python3-periphery, and a C client
// waiting for edges with poll, select and epoll. Each test has its own
// board, named by a file in its own folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/board.hpp"
#include "support/process.hpp"
#include "support/trace.hpp"

namespace {

using adckit::test::Outcome;
using adckit::test::board::run_on_board;
using adckit::test::board::Running;

constexpr char kPython[] = "/usr/bin/python3";
constexpr char kPin22[] = "../../devices/platform/soc/20200000.gpio/gpiochip0/gpio/gpio22";

// Waits (up to ten seconds) for a program running beside the test to
// create `path`.
bool appears(const std::string &path) {
  for (int i = 0; i < 1000; ++i) {
    if (access(path.c_str(), F_OK) == 0) return true;
    usleep(10000);
  }
  return false;
}

std::string sorted_lines(const std::string &text) {
  auto l = adckit::test::lines(text);
  std::sort(l.begin(), l.end());
  std::string out;
  for (const auto &s : l) out += s + "\n";
  return out;
}

using Board = adckit::test::board::BoardTest;

// ---------------------------------------------------------------------------
// Shell sessions: each step is a process of its own, as a user's commands
// are.

class ShellSession : public adckit::test::board::HostBoardTest,
                     public ::testing::WithParamInterface<const char *> {
 protected:
  Outcome sh(const std::string &script) { return run({GetParam(), "-c", script}); }
  // The step's standard output; the step must succeed.
  std::string out(const std::string &script) {
    const Outcome o = sh(script);
    EXPECT_EQ(o.status, 0) << script << ": " << o.err;
    return o.out;
  }
};

TEST_P(ShellSession, ExportedPinIsAFolderThatListingsLinksAndFindSee) {
  EXPECT_NE(sh("test -d /sys/class/gpio/gpio22").status, 0);
  out("echo 22 > /sys/class/gpio/export");
  EXPECT_EQ(sh("test -d /sys/class/gpio/gpio22").status, 0);
  EXPECT_EQ(sh("test -L /sys/class/gpio/gpio22 && test -f /sys/class/gpio/gpio22/value").status, 0);

  EXPECT_EQ(out("ls /sys/class/gpio"), "export\ngpio22\ngpiochip0\nunexport\n");
  EXPECT_EQ(out("ls /sys/class/gpio/gpio22"), "active_low\ndevice\ndirection\nedge\nvalue\n");
  EXPECT_EQ(out("ls /sys/class/gpio/gpio22/"), "active_low\ndevice\ndirection\nedge\nvalue\n");
  // The class folder holds links to the controller's folders; as sysfs
  // has them, links and folders have no length and files a page.
  for (const auto &line : adckit::test::lines(out("ls -l /sys/class/gpio"))) {
    if (line.find("gpio22") != std::string::npos) {
      EXPECT_EQ(line.substr(0, 10), "lrwxrwxrwx") << line;
      EXPECT_TRUE(line.ends_with(std::string(" gpio22 -> ") + kPin22)) << line;
    }
    if (line.find("export") != std::string::npos) {
      EXPECT_EQ(line.substr(0, 10), "--w-------") << line;
    }
  }
  EXPECT_EQ(out("stat -c '%F %s' /sys/class/gpio/gpio22 /sys/class/gpio/gpio22/ "
                "/sys/class/gpio/gpio22/value"),
            "symbolic link 0\ndirectory 0\nregular file 4096\n");
  EXPECT_EQ(out("stat -L -c %F /sys/class/gpio/gpio22"), "directory\n");

  EXPECT_EQ(sorted_lines(out("find /sys/class/gpio -maxdepth 1")),
            "/sys/class/gpio\n/sys/class/gpio/export\n/sys/class/gpio/gpio22\n"
            "/sys/class/gpio/gpiochip0\n/sys/class/gpio/unexport\n");
  EXPECT_EQ(sorted_lines(out("find /sys/class/gpio -maxdepth 1 -type l")),
            "/sys/class/gpio/gpio22\n/sys/class/gpio/gpiochip0\n");
  // A trailing slash follows the link, so find walks the pin's folder.
  EXPECT_EQ(sorted_lines(out("find /sys/class/gpio/gpio22/ -type f")),
            "/sys/class/gpio/gpio22/active_low\n/sys/class/gpio/gpio22/direction\n"
            "/sys/class/gpio/gpio22/edge\n/sys/class/gpio/gpio22/value\n");
  EXPECT_EQ(out("find -L /sys/class/gpio -maxdepth 2 -name value"),
            "/sys/class/gpio/gpio22/value\n");

  EXPECT_EQ(out("readlink /sys/class/gpio/gpio22"), std::string(kPin22) + "\n");
  EXPECT_EQ(out("realpath /sys/class/gpio/gpio22"),
            "/sys/devices/platform/soc/20200000.gpio/gpiochip0/gpio/gpio22\n");
  EXPECT_EQ(out("readlink -f /sys/class/gpio/gpio22/value"),
            "/sys/devices/platform/soc/20200000.gpio/gpiochip0/gpio/gpio22/value\n");
  EXPECT_NE(sh("readlink /sys/class/gpio/gpio22/value").status, 0);  // no link: EINVAL
  EXPECT_NE(sh("readlink /sys/class/gpio/gpio22/").status, 0);       // the folder, no link
  // A trailing slash wants a folder: a file so named is none.
  for (const char *cmd :
       {"cat /sys/class/gpio/gpio22/value/", "stat /sys/class/gpio/gpio22/value/"}) {
    const Outcome o = sh(cmd);
    EXPECT_NE(o.status, 0) << cmd;
    EXPECT_NE(o.err.find("Not a directory"), std::string::npos) << cmd << ": " << o.err;
  }

  EXPECT_EQ(out("cat /sys/class/gpio/gpiochip0/base /sys/class/gpio/gpiochip0/label"
                " /sys/class/gpio/gpiochip0/ngpio"),
            "0\npinctrl-bcm2835\n54\n");
  EXPECT_EQ(out("echo /sys/class/gpio/gpio*"),
            "/sys/class/gpio/gpio22 /sys/class/gpio/gpiochip0\n");

  out("echo 22 > /sys/class/gpio/unexport");
  EXPECT_NE(sh("test -d /sys/class/gpio/gpio22").status, 0);
  EXPECT_NE(sh("test -e /sys/class/gpio/gpio22/value").status, 0);
  EXPECT_EQ(out("ls /sys/class/gpio"), "export\ngpiochip0\nunexport\n");
  const Outcome gone = sh("ls /sys/class/gpio/gpio22");
  EXPECT_NE(gone.status, 0);
  EXPECT_NE(gone.err.find("No such file or directory"), std::string::npos) << gone.err;
}

TEST_P(ShellSession, DirectionValueAndActiveLowAcrossProcesses) {
  out("echo 22 > /sys/class/gpio/export");
  out("echo 23 > /sys/class/gpio/export");
  EXPECT_EQ(out("cat /sys/class/gpio/gpio22/direction /sys/class/gpio/gpio22/value"
                " /sys/class/gpio/gpio22/edge /sys/class/gpio/gpio22/active_low"),
            "in\n0\nnone\n0\n");
  out("echo out > /sys/class/gpio/gpio22/direction");
  out("echo 1 > /sys/class/gpio/gpio22/value");
  EXPECT_EQ(out("cat /sys/class/gpio/gpio22/direction"), "out\n");
  EXPECT_EQ(out("cat /sys/class/gpio/gpio22/value"), "1\n");
  // Line 23 is jumpered to 22: it reads the line as it is.
  EXPECT_EQ(out("cat /sys/class/gpio/gpio23/value"), "1\n");
  // The descriptor's magic links open its file anew, as the kernel's do.
  EXPECT_EQ(out("cat /dev/stdin < /sys/class/gpio/gpio23/value; exec 3< /sys/class/gpio/gpio22/"
                "direction; cat /dev/fd/3 /proc/self/fd/3"),
            "1\nout\nout\n");
  // xargs closes its streams from an exit handler, after the library's
  // static destructors would have run.
  EXPECT_EQ(out("xargs -a /sys/class/gpio/gpio22/direction echo read"), "read out\n");

  // active_low turns over what value reads and writes, not the line.
  out("echo 1 > /sys/class/gpio/gpio22/active_low");
  EXPECT_EQ(out("cat /sys/class/gpio/gpio22/active_low /sys/class/gpio/gpio22/value"), "1\n0\n");
  EXPECT_EQ(out("cat /sys/class/gpio/gpio23/value"), "1\n");
  out("echo 1 > /sys/class/gpio/gpio22/value");
  EXPECT_EQ(out("cat /sys/class/gpio/gpio22/value /sys/class/gpio/gpio23/value"), "1\n0\n");
  // "high" and "low" name the line's level, whatever active_low says.
  out("echo high > /sys/class/gpio/gpio22/direction");
  EXPECT_EQ(out("cat /sys/class/gpio/gpio22/value /sys/class/gpio/gpio23/value"), "0\n1\n");
  out("echo 0 > /sys/class/gpio/gpio22/active_low");
  EXPECT_EQ(out("cat /sys/class/gpio/gpio22/value"), "1\n");

  // The kernel's refusals, worded by a program that names the error.
  auto refused = [&](const std::string &text, const std::string &file, const char *why) {
    const Outcome o = sh("/bin/echo " + text + " > /sys/class/gpio/" + file);
    EXPECT_NE(o.status, 0) << file;
    EXPECT_NE(o.err.find(why), std::string::npos) << file << ": " << o.err;
  };
  refused("1", "gpio23/value", "Operation not permitted");  // an input
  refused("sideways", "gpio22/direction", "Invalid argument");
  refused("sometimes", "gpio23/edge", "Invalid argument");
  refused("rising", "gpio22/edge", "Input/output error");  // an output raises no interrupt
  refused("22", "export", "Device or resource busy");
  refused("54", "export", "Invalid argument");
  refused("24", "unexport", "Invalid argument");
  EXPECT_EQ(out("cat /sys/class/gpio/gpio22/edge"), "none\n");

  // A file kept open on a pin that goes away fails with ENODEV, in the
  // shell that holds it and in a program it starts with it.
  const Outcome kept =
      sh("exec 3< /sys/class/gpio/gpio22/value; echo 22 > /sys/class/gpio/unexport;"
         " if read v <&3; then echo \"read $v\"; fi; cat <&3");
  EXPECT_NE(kept.status, 0);
  EXPECT_EQ(kept.out, "");
  EXPECT_NE(kept.err.find("cat: -: No such device"), std::string::npos) << kept.err;
  EXPECT_NE(sh("test -d /sys/class/gpio/gpio22").status, 0);
  EXPECT_EQ(sh("test -d /sys/class/gpio/gpio23").status, 0);
  // An input jumpered to a pin no longer driven reads low.
  EXPECT_EQ(out("cat /sys/class/gpio/gpio23/value"), "0\n");
  // Exported again, the pin starts over as an input with no edge and no
  // inversion.
  out("echo rising > /sys/class/gpio/gpio23/edge; echo 1 > /sys/class/gpio/gpio23/active_low");
  out("echo 23 > /sys/class/gpio/unexport; echo 23 > /sys/class/gpio/export");
  EXPECT_EQ(out("cat /sys/class/gpio/gpio23/direction /sys/class/gpio/gpio23/edge"
                " /sys/class/gpio/gpio23/active_low"),
            "in\nnone\n0\n");
}

INSTANTIATE_TEST_SUITE_P(Shells, ShellSession, ::testing::Values("bash", "dash"),
                         [](const auto &info) { return std::string(info.param); });

// ---------------------------------------------------------------------------
// python3-periphery's sysfs GPIO class: GPIO(line, direction).

class PeripheryGpio : public adckit::test::board::HostBoardTest {
 protected:
  Outcome python(const std::string &script, std::map<std::string, std::string> more = {}) {
    return run({kPython, "-c", script}, std::move(more));
  }
};

// Clocks a conversion by hand on the chip's lines (CS 17, CLK 4, DIN 5,
// DOUT 27), the GPIO objects kept open for the whole run.
constexpr char kBitBang[] = R"(
from periphery import GPIO
cs = GPIO(17, "high"); clk = GPIO(4, "low"); din = GPIO(5, "low"); dout = GPIO(27, "in")
def tick():
    clk.write(True); clk.write(False)
def command(ch):
    cs.write(False)
    for b in (1, 1, (ch >> 2) & 1, (ch >> 1) & 1, ch & 1):
        din.write(bool(b)); tick()
    tick()
def convert(ch):
    command(ch)
    code = 0
    for _ in range(10):
        tick(); code = code * 2 + dout.read()
    cs.write(True)
    return code
)";

TEST_F(PeripheryGpio, BitBangsAConversionOfEveryChannelThroughKeptOpenFiles) {
  const std::string trace = dir / "trace";
  const Outcome o = python(std::string(kBitBang) + R"(
print([convert(ch) for ch in range(8)])
print(cs.direction, dout.direction, dout.chip_name, dout.chip_label)
for g in (cs, clk, din, dout):
    g.close()
)",
                           {{"VBOARD_CH0", "0"},
                            {"VBOARD_CH1", "1023"},
                            {"VBOARD_CH2", "512"},
                            {"VBOARD_CH3", "341"},
                            {"VBOARD_CH4", "682"},
                            {"VBOARD_CH5", "1"},
                            {"VBOARD_CH6", "1022"},
                            {"VBOARD_CH7", "1.65V"},
                            {"VBOARD_TRACE", trace}});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "[0, 1023, 512, 341, 682, 1, 1022, 512]\nout in gpiochip0 pinctrl-bcm2835\n");
  EXPECT_EQ(o.err, "");
  // Each value file was opened once, and every level went through that
  // one descriptor: two clock writes a bit, five DIN writes and two of CS
  // a conversion, ten DOUT reads.
  const auto events = adckit::test::read_trace(trace);
  const std::map<std::string, std::size_t> uses = {
      {"4", 8 * 16 * 2}, {"5", 8 * 5}, {"17", 8 * 2}, {"27", 8 * 10}};
  for (const auto &[pin, count] : uses) {
    const std::string file = "/sys/class/gpio/gpio" + pin + "/value";
    std::size_t opens = 0, accesses = 0;
    for (const auto &e : events) {
      if (e.file != file) continue;
      if (e.op == "open") ++opens;
      if (e.op == "write" || e.op == "read") ++accesses;
    }
    EXPECT_EQ(opens, 1U) << pin;
    EXPECT_EQ(accesses, count) << pin;
  }
  // periphery unexports what it exported when closed.
  const Outcome ls = run_on_board({"ls", "/sys/class/gpio"}, env(), false);
  EXPECT_EQ(ls.out, "export\ngpiochip0\nunexport\n") << ls.err;
}

TEST_F(PeripheryGpio, PythonsOwnPathCallsSeeTheTree) {
  const Outcome o = python(R"(
import glob, os, pathlib
from periphery import GPIO
g = GPIO(22, "in")
print(sorted(os.listdir("/sys/class/gpio")))
print(sorted(glob.glob("/sys/class/gpio/gpio*")))
print(sorted((e.name, e.is_dir(), e.is_symlink()) for e in os.scandir("/sys/class/gpio")))
print(os.path.realpath("/sys/class/gpio/gpio22/value"))
print(pathlib.Path("/sys/class/gpio/gpio22").resolve())
for root, dirs, files in os.walk("/sys/class/gpio/gpio22/"):
    print(root, sorted(dirs), sorted(files))
g.close()
print(os.path.exists("/sys/class/gpio/gpio22"))
)");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "['export', 'gpio22', 'gpiochip0', 'unexport']\n"
            "['/sys/class/gpio/gpio22', '/sys/class/gpio/gpiochip0']\n"
            "[('export', False, False), ('gpio22', True, True), ('gpiochip0', True, True),"
            " ('unexport', False, False)]\n"
            "/sys/devices/platform/soc/20200000.gpio/gpiochip0/gpio/gpio22/value\n"
            "/sys/devices/platform/soc/20200000.gpio/gpiochip0/gpio/gpio22\n"
            "/sys/class/gpio/gpio22/ ['device'] ['active_low', 'direction', 'edge', 'value']\n"
            "False\n");
  EXPECT_EQ(o.err, "");
}

TEST_F(PeripheryGpio, InvertedTurnsValueOverAndTheEdgesWithIt) {
  const Outcome o = python(R"(
from periphery import GPIO
out = GPIO(22, "low"); inp = GPIO(23, "in")   # 23 is jumpered to 22
print(out.inverted, out.read(), inp.read())
out.inverted = True
print(out.inverted, out.read(), inp.read())
out.write(True)                               # active: the line goes low
print(out.read(), inp.read())
out.write(False)
print(out.read(), inp.read())
inp.inverted = True
print(inp.read(), open("/sys/class/gpio/gpio23/active_low").read().strip())
# With no edge asked for, nothing is reported.
out.write(True); out.write(False)
print(inp.edge, inp.poll(0))
# Inverted, a rising edge of the value is a falling edge of the line.
inp.edge = "rising"
print(inp.edge, inp.poll(0))
inp.read()
out.write(True)                               # line low: value rises
print(inp.poll(0), inp.read())
out.write(False)                              # line high: value falls
print(inp.poll(0))
inp.edge = "falling"
inp.read()
out.write(True)
print(inp.poll(0))
out.write(False)
print(inp.poll(0), inp.read())
# An edge between the read and the poll: the poll returns at once.
inp.edge = "both"
inp.read()
out.write(True)
print(inp.poll(5), inp.read(), inp.poll(0))
out.close(); inp.close()
)");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "False False False\n"
            "True True False\n"
            "True False\n"
            "False True\n"
            "False 1\n"
            "none False\n"
            "rising False\n"
            "True True\n"
            "False\n"
            "False\n"
            "True False\n"
            "True True False\n");
  EXPECT_EQ(o.err, "");
}

TEST_F(PeripheryGpio, EdgesOfTheChipsDoutWakeAPoll) {
  // Channel 2 converts 717 = 1011001101: after each clock DOUT gives the
  // next bit; the edges asked for, and only those, are reported.
  const Outcome o = python(std::string(kBitBang) + R"(
for edge in ("rising", "falling", "both"):
    dout.edge = edge
    dout.read()
    command(2)
    quiet = not dout.poll(0)          # idle, then the null bit: DOUT stays low
    seen = []
    for _ in range(10):
        tick()
        event = dout.poll(0)
        seen.append("%d%s" % (dout.read(), "!" if event else ""))
    cs.write(True)                     # DOUT let go: back to the idle level
    event = dout.poll(0)
    seen.append("%d%s" % (dout.read(), "!" if event else ""))
    print(edge, quiet, " ".join(seen))
)",
                           {{"VBOARD_CH2", "717"}});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "rising True 1! 0 1! 1 0 0 1! 1 0 1! 0\n"
            "falling True 1 0! 1 1 0! 0 1 1 0! 1 0!\n"
            "both True 1! 0! 1! 1 0! 0 1! 1 0! 1! 0!\n");
  EXPECT_EQ(o.err, "");
}

TEST_F(PeripheryGpio, APollWakesOnAnEdgeAnotherProcessMakes) {
  ASSERT_EQ(run_on_board({"sh", "-c",
                          "echo 22 > /sys/class/gpio/export &&"
                          " echo low > /sys/class/gpio/gpio22/direction"},
                         env(), false)
                .status,
            0);
  const std::string ready = dir / "ready", again = dir / "again";
  Running watcher({kPython, "-c", R"(
import sys
from periphery import GPIO
inp = GPIO(23, "in")
inp.edge = "rising"
inp.read()
quiet = inp.poll(0.2)                 # nothing moves yet
open(sys.argv[1], "w").close()
first = inp.poll(10)
level = inp.read()
open(sys.argv[2], "w").close()
second = inp.poll(10)                 # the falling edge is not asked for
print(quiet, first, level, second, inp.read())
inp.close()
)",
                   ready, again},
                  env(), false);
  auto drive = [&](const char *level) {
    return run_on_board(
               {"sh", "-c", std::string("echo ") + level + " > /sys/class/gpio/gpio22/value"},
               env(), false)
        .status;
  };
  ASSERT_TRUE(appears(ready));
  EXPECT_EQ(drive("1"), 0);
  ASSERT_TRUE(appears(again));
  EXPECT_EQ(drive("0"), 0);
  usleep(300000);
  EXPECT_EQ(drive("1"), 0);
  const Outcome o = watcher.wait();
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "False True True True True\n");
  EXPECT_EQ(o.err, "");
}

// ---------------------------------------------------------------------------
// A C client waiting in poll, select and epoll while another process drives
// the line; both are programs of the build, so this runs in a cross build
// too.

class EdgeWaits : public Board, public ::testing::WithParamInterface<const char *> {
 protected:
  Outcome worker(const std::vector<std::string> &args) {
    std::vector<std::string> argv{BOARD_WORKER_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_on_board(argv, env(), true);
  }
  int write(const std::string &file, const std::string &text) {
    const Outcome o = worker({"write", "/sys/class/gpio/" + file, text});
    EXPECT_EQ(o.err, "");
    return o.status;
  }
  std::unique_ptr<Running> watch(const char *edge, int ms, const std::string &ready) {
    return std::make_unique<Running>(
        std::vector<std::string>{BOARD_WORKER_PATH, "watch", "23", edge, GetParam(),
                                 std::to_string(ms), ready},
        env(), true);
  }
};

TEST_P(EdgeWaits, AWaitEndsAtTheEdgeAskedForAndTheReadGivesTheNewLevel) {
  ASSERT_EQ(write("export", "22"), 0);
  ASSERT_EQ(write("gpio22/direction", "low"), 0);
  ASSERT_EQ(write("export", "23"), 0);

  // Nothing moves: the wait runs out.
  auto w = watch("rising", 200, dir / "r0");
  ASSERT_TRUE(appears(dir / "r0"));
  Outcome o = w->wait();
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "timeout\n");

  // A falling edge is not one asked for; the rising one after it is.
  ASSERT_EQ(write("gpio22/value", "1"), 0);
  w = watch("rising", 10000, dir / "r1");
  ASSERT_TRUE(appears(dir / "r1"));
  ASSERT_EQ(write("gpio22/value", "0"), 0);
  usleep(200000);
  ASSERT_EQ(write("gpio22/value", "1"), 0);
  o = w->wait();
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "edge 1\n");

  w = watch("falling", 10000, dir / "r2");
  ASSERT_TRUE(appears(dir / "r2"));
  ASSERT_EQ(write("gpio22/value", "0"), 0);
  o = w->wait();
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "edge 0\n");
}

INSTANTIATE_TEST_SUITE_P(Calls, EdgeWaits, ::testing::Values("poll", "select", "epoll"),
                         [](const auto &info) { return std::string(info.param); });

}  // namespace
