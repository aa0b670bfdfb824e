// The real gpiosampler binary, run over prepared pin folders on a private
// tmpfs at the real sysfs paths, and on the virtual board where the export
// refusals of a kernel matter.
//
// On tmpfs nothing answers an export, so every pin folder the run needs is
// made beforehand; the data line then reads whatever its value file holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/pattern.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/trace.hpp"
#include "sysfs_sandbox.h"

namespace {

using sampler_test::exists;
using sampler_test::read_file;
using sampler_test::SysfsSandbox;

const std::string gpio_dir = "/sys/class/gpio/";
constexpr int sampler_pins[] = {26, 4, 27, 5, 17};

struct Outcome {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::vector<std::string> lines;
  std::string err;
};

Outcome run_sampler() {
  const adckit::test::Outcome run = adckit::test::run({.argv = {GPIOSAMPLER_PATH}});
  Outcome outcome;
  outcome.status = run.status > 127 ? -1 : run.status;
  outcome.lines = adckit::test::lines(run.out);
  outcome.err = run.err;
  return outcome;
}

long long number_after(const std::string &line, const std::string &prefix) {
  EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
  return std::atoll(line.c_str() + prefix.size());
}

class Sampler : public testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = sandbox_.mount(); !why.empty()) {
      GTEST_SKIP() << "needs a private mount namespace: " << why;
    }
  }

  static void make_pins(const char *data_level) {
    for (int pin : sampler_pins) {
      SysfsSandbox::make_pin(pin, pin == 27 ? data_level : "0\n");
    }
  }

  // Checks a complete run line by line; the values must all be `value`.
  static void expect_complete_run(const Outcome &run, int value) {
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "");
    ASSERT_EQ(run.lines.size(), 5u + 1 + 50 + 1 + 1 + 5);
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(run.lines[i], "creating file /sys/class/gpio/export");
      EXPECT_EQ(run.lines[58 + i], "creating file /sys/class/gpio/unexport");
    }
    const std::string nanos = "(start|finish) at [0-9]{1,9}";
    EXPECT_TRUE(adckit::test::matches(run.lines[5], nanos)) << run.lines[5];
    EXPECT_TRUE(adckit::test::matches(run.lines[56], nanos)) << run.lines[56];
    for (int i = 0; i < 50; ++i) {
      EXPECT_EQ(run.lines[6 + i], "value is " + std::to_string(value)) << "sample " << i;
    }

    // DeltaT is the true elapsed time, so its nanoseconds agree with the two
    // readings modulo one second even when they fall in different seconds,
    // and the frequency is 50 conversions over it.
    const long long start = number_after(run.lines[5], "start at ");
    const long long finish = number_after(run.lines[56], "finish at ");
    const auto m = adckit::test::match(
        run.lines[57], "DeltaT  ([0-9]+) nanosecs at frequency ([0-9]+\\.[0-9]{6}) Hz");
    ASSERT_TRUE(m) << run.lines[57];
    const long long dt = std::stoll((*m)[1]);
    EXPECT_GT(dt, 0);
    EXPECT_EQ(((finish - start) % 1000000000 + 1000000000) % 1000000000, dt % 1000000000);
    char frequency[64];
    static_cast<void>(std::snprintf(frequency, sizeof frequency, "%f", 50.0 * 1e9 / static_cast<double>(dt)));
    EXPECT_EQ((*m)[2], frequency);
  }

  SysfsSandbox sandbox_;
};

TEST_F(Sampler, ACompleteRunPrintsItsReportReleasesThePinsAndEndsWithOne) {
  make_pins("0\n");
  const Outcome run = run_sampler();
  expect_complete_run(run, 0);

  // What the run left on the lines: every direction set, the indicator low
  // after its pulses, chip select high, the clock low, DIN holding the last
  // command bit (D0 of channel 0), and the last pin released was 17.
  const struct {
    int pin;
    const char *direction;
    const char *level;
  } lines[] = {{26, "out", "0"}, {4, "out", "0"}, {27, "in", "0\n"}, {5, "out", "0"}, {17, "out", "1"}};
  for (const auto &l : lines) {
    const std::string dir = gpio_dir + "gpio" + std::to_string(l.pin) + "/";
    EXPECT_EQ(read_file(dir + "direction"), l.direction) << l.pin;
    EXPECT_EQ(read_file(dir + "value"), l.level) << l.pin;
  }
  EXPECT_EQ(read_file(gpio_dir + "export"), "17");
  EXPECT_EQ(read_file(gpio_dir + "unexport"), "17");
}

TEST_F(Sampler, ADataLineHeldHighReadsAsTheImpossible2047) {
  make_pins("1\n");
  expect_complete_run(run_sampler(), 2047);
}

TEST_F(Sampler, WithoutTheIndicatorFolderTheRunAbortsWithTwoAndReleasesPin26) {
  make_pins("0\n");
  std::filesystem::remove_all(gpio_dir + "gpio26");
  const Outcome run = run_sampler();
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.lines, (std::vector<std::string>{
                           "creating file /sys/class/gpio/export",
                           "creating file /sys/class/gpio/export",
                           "creating file /sys/class/gpio/export",
                           "creating file /sys/class/gpio/export",
                           "creating file /sys/class/gpio/export",
                           "Unable to open /sys/class/gpio/gpio26/direction..",
                           "Aborting..",
                           "creating file /sys/class/gpio/unexport",
                       }));
  EXPECT_EQ(read_file(gpio_dir + "unexport"), "26");
  // Nothing was sampled: the converter lines were never configured.
  EXPECT_FALSE(exists(gpio_dir + "gpio4/direction"));
  EXPECT_EQ(read_file(gpio_dir + "gpio17/value"), "0\n");
}

TEST_F(Sampler, ASecondRunOverPinsStillExportedCompletes) {
  make_pins("0\n");
  expect_complete_run(run_sampler(), 0);
  sampler_test::write_file(gpio_dir + "gpio27/value", "1\n");
  expect_complete_run(run_sampler(), 2047);
}

TEST_F(Sampler, ATimedStretchLongerThanTwoSecondsReportsTheTrueElapsedTime) {
  // The data line is a FIFO served slowly from here, so the 600 reads of the
  // run take about five seconds: past what a 32-bit count of nanoseconds
  // holds, and always across a second boundary. On a loaded machine a read
  // may now and then share a serving with the one before it, so the pace
  // leaves room for that.
  make_pins("1\n");
  const std::string data = gpio_dir + "gpio27/value";
  std::filesystem::remove(data);
  ASSERT_EQ(mkfifo(data.c_str(), 0644), 0) << std::strerror(errno);
  ASSERT_NE(std::signal(SIGPIPE, SIG_IGN), SIG_ERR);  // a read that ends before our write must not kill us

  std::atomic<bool> done{false};
  std::atomic<int> served{0};
  std::thread server([&] {
    while (!done) {
      const int fd = open(data.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd < 0) {  // nobody reading yet
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      [[maybe_unused]] const ssize_t n = write(fd, "1", 1);
      close(fd);
      ++served;
      std::this_thread::sleep_for(std::chrono::milliseconds(8));
    }
  });
  const auto before = std::chrono::steady_clock::now();
  const Outcome run = run_sampler();
  const auto took = std::chrono::steady_clock::now() - before;
  done = true;
  server.join();

  // Every read sees either the '1' or the end of the FIFO; both count as 1.
  expect_complete_run(run, 2047);
  ASSERT_EQ(run.lines.size(), 63u);
  const auto m = adckit::test::match(run.lines[57], "DeltaT  ([0-9]+) nanosecs .*");
  ASSERT_TRUE(m) << run.lines[57];
  const long long dt = std::stoll((*m)[1]);
  EXPECT_GT(dt, 2147483647LL);
  EXPECT_LT(dt, std::chrono::duration_cast<std::chrono::nanoseconds>(took).count());
  EXPECT_GE(served.load(), 300);
}

// On the virtual board, which answers exports as the kernel does: an export
// of a pin that is still exported is refused with EBUSY.
class SamplerOnBoard : public testing::Test {
 protected:
  adckit::test::Outcome run(std::map<std::string, std::string> env) {
    env.emplace("VBOARD_BOARD", dir_ / "board");
    env.emplace("VBOARD_TRACE", dir_ / "trace");
    return adckit::test::run({.argv = {GPIOSAMPLER_PATH}, .env = env, .board = true});
  }
  // The trace lines of the accesses so far, then a fresh trace.
  std::vector<adckit::test::TraceEvent> take_trace() {
    auto trace = adckit::test::read_trace(dir_ / "trace");
    std::filesystem::remove(dir_ / "trace");
    return trace;
  }
  adckit::test::TempDir dir_{"sampler-board"};
};

TEST_F(SamplerOnBoard, AnAbortLeavesTheConverterPinsExportedAndTheNextRunCompletesOverTheRefusals) {
  auto failing = std::map<std::string, std::string>{
      {"VBOARD_CH0", "300"}, {"VBOARD_FAIL_OPEN", "/sys/class/gpio/gpio26/direction:EACCES"}};
  auto run = this->run(failing);
  EXPECT_EQ(run.status, 2) << run.err;
  std::string want;
  for (int i = 0; i < 5; ++i) want += "creating file /sys/class/gpio/export\n";
  want += "Unable to open /sys/class/gpio/gpio26/direction..\nAborting..\n";
  want += "creating file /sys/class/gpio/unexport\n";
  EXPECT_EQ(run.out, want);
  for (const auto &e : take_trace()) {
    EXPECT_NE(e.file, "/sys/class/gpio/gpio4/value") << "no conversion may start: " << e.op;
  }

  // Pins 4, 27, 5 and 17 are still exported: the board refuses their
  // exports, which the program does not take for an error.
  run = this->run({{"VBOARD_CH0", "300"}});
  EXPECT_EQ(run.status, 1) << run.err;
  const auto out = adckit::test::lines(run.out);
  EXPECT_EQ(std::count(out.begin(), out.end(), "value is 300"), 50) << run.out;
  int refused = 0;
  for (const auto &e : take_trace()) {
    if (e.op == "write" && e.file == "/sys/class/gpio/export" && e.err == "EBUSY") ++refused;
  }
  EXPECT_EQ(refused, 4);
}

}  // namespace
