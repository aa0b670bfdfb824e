// The real gpiosampler binary, run over prepared pin folders on a private
// tmpfs at the real sysfs paths.
//
// On tmpfs nothing answers an export, so every pin folder the run needs is
// made beforehand; the data line then reads whatever its value file holds.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sysfs_sandbox.h"

extern char **environ;

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

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// The program's command line: the cross emulator (its words separated by
// '|'), if any, then the binary.
std::vector<std::string> command() {
  std::vector<std::string> words;
  std::string emulator = SAMPLER_EMULATOR;
  for (std::size_t start = 0; start < emulator.size();) {
    const std::size_t end = std::min(emulator.find('|', start), emulator.size());
    if (end > start) {
      words.push_back(emulator.substr(start, end - start));
    }
    start = end + 1;
  }
  words.emplace_back(GPIOSAMPLER_PATH);
  return words;
}

Outcome run_sampler() {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  for (int fd : {out[0], out[1], err[0], err[1]}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }
  std::vector<std::string> words = command();
  std::vector<char *> argv;
  for (std::string &w : words) {
    argv.push_back(w.data());
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) {
    close(out[0]);
    close(err[0]);
    throw std::runtime_error(std::string("cannot start ") + argv[0] + ": " + std::strerror(spawned));
  }

  std::string text[2];
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  for (int open_fds = 2; open_fds > 0;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        text[i].append(buf, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  Outcome run;
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  run.lines = split_lines(text[0]);
  run.err = text[1];
  return run;
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
    const std::regex nanos("(start|finish) at [0-9]{1,9}");
    EXPECT_TRUE(std::regex_match(run.lines[5], nanos)) << run.lines[5];
    EXPECT_TRUE(std::regex_match(run.lines[56], nanos)) << run.lines[56];
    for (int i = 0; i < 50; ++i) {
      EXPECT_EQ(run.lines[6 + i], "value is " + std::to_string(value)) << "sample " << i;
    }

    // DeltaT is the true elapsed time, so its nanoseconds agree with the two
    // readings modulo one second even when they fall in different seconds,
    // and the frequency is 50 conversions over it.
    const long long start = number_after(run.lines[5], "start at ");
    const long long finish = number_after(run.lines[56], "finish at ");
    std::smatch m;
    const std::regex report("DeltaT  ([0-9]+) nanosecs at frequency ([0-9]+\\.[0-9]{6}) Hz");
    ASSERT_TRUE(std::regex_match(run.lines[57], m, report)) << run.lines[57];
    const long long dt = std::stoll(m[1]);
    EXPECT_GT(dt, 0);
    EXPECT_EQ(((finish - start) % 1000000000 + 1000000000) % 1000000000, dt % 1000000000);
    char frequency[64];
    static_cast<void>(std::snprintf(frequency, sizeof frequency, "%f", 50.0 * 1e9 / static_cast<double>(dt)));
    EXPECT_EQ(m[2].str(), frequency);
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
  // run take about three seconds: past what a 32-bit count of nanoseconds
  // holds, and always across a second boundary.
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
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
  std::smatch m;
  const std::regex report("DeltaT  ([0-9]+) nanosecs .*");
  ASSERT_TRUE(std::regex_match(run.lines[57], m, report));
  const long long dt = std::stoll(m[1]);
  EXPECT_GT(dt, 2147483647LL);
  EXPECT_LT(dt, std::chrono::duration_cast<std::chrono::nanoseconds>(took).count());
  EXPECT_GE(served.load(), 300);
}

}  // namespace
