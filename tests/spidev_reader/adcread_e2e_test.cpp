// adcread as a user runs it, on the virtual board.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace {

class AdcreadE2E : public ::testing::Test {
 protected:
  // Runs adcread with `args` on a board configured by `board` (VBOARD_*);
  // the test's own board settings and preloads are not passed on.
  static adckit::test::Outcome run(const std::vector<std::string> &args,
                                   const std::map<std::string, std::string> &board = {}) {
    std::vector<std::string> argv{ADCREAD_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    // A board of its own, so runs in parallel never share a chip, and held
    // to what the target does.
    std::map<std::string, std::string> env{{"VBOARD_BOARD", "private"}, {"VBOARD_STRICT", "1"}};
    for (const auto &[k, v] : board) env[k] = v;
    return adckit::test::run(
        {.argv = argv, .env = env, .unset = {"VBOARD_*", "LD_PRELOAD"}, .board = true});
  }

  static std::map<std::string, std::string> codes() {
    return {{"VBOARD_CH0", "0"},    {"VBOARD_CH1", "1023"}, {"VBOARD_CH2", "602"},
            {"VBOARD_CH3", "1"},    {"VBOARD_CH4", "512"},  {"VBOARD_CH5", "100"},
            {"VBOARD_CH6", "1000"}, {"VBOARD_CH7", "341"}};
  }
};

TEST_F(AdcreadE2E, PrintsOneTimestampedLinePerScan) {
  const auto r = run({"--scans", "2", "--interval", "5"}, codes());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string line =
      R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{9}Z  ch0=0  ch1=1023  ch2=602  ch3=1  ch4=512  ch5=100  ch6=1000  ch7=341\n)";
  EXPECT_TRUE(std::regex_match(r.out, std::regex("(" + line + "){2}"))) << r.out;
}

TEST_F(AdcreadE2E, CsvHasAHeaderAndOneRowPerScanOnAChosenDevice) {
  auto board = codes();
  board["VBOARD_SPIDEV_DEVICES"] = "/dev/spidev0.0,/dev/spidev1.0";
  const auto r = run(
      {"--device", "/dev/spidev1.0", "--channels", "3", "--scans", "3", "--interval", "0", "--csv"},
      board);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::regex_match(
      r.out, std::regex(R"(time,ch0,ch1,ch2,failed_exchanges\n(\d+\.\d{9},0,1023,602,0\n){3})")))
      << r.out;
}

TEST_F(AdcreadE2E, RetriedExchangesAreShownAndLostChannelsLeftEmpty) {
  auto board = codes();
  board["VBOARD_SPIDEV_FAIL_TRANSFERS"] = "6:-1:EIO";
  const auto r = run({"--channels", "2", "--csv"}, board);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(
      std::regex_match(r.out, std::regex(R"(time,ch0,ch1,failed_exchanges\n\d+\.\d{9},,1023,6\n)")))
      << r.out;
}

TEST_F(AdcreadE2E, MissingDeviceEndsWithAClearMessage) {
  auto board = codes();
  board["VBOARD_SPIDEV_MISSING"] = "/dev/spidev0.0";
  const auto r = run({}, board);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("adcread: cannot open /dev/spidev0.0: No such file or directory"),
            std::string::npos)
      << r.err;
}

TEST_F(AdcreadE2E, DeviceThatStopsAnsweringEndsTheRun) {
  auto board = codes();
  board["VBOARD_SPIDEV_VANISH_AFTER"] = "/dev/spidev0.0:8";
  const auto r = run({"--scans", "5", "--interval", "0", "--csv"}, board);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(std::regex_match(
      r.out,
      std::regex(
          R"(time(,ch\d)+,failed_exchanges\n\d+\.\d{9},0,1023,602,1,512,100,1000,341,0\n\d+\.\d{9},{8},40\n)")))
      << r.out;
  EXPECT_NE(r.err.find("adcread: /dev/spidev0.0 stopped answering"), std::string::npos) << r.err;
}

TEST_F(AdcreadE2E, BadArgumentsShowTheUsage) {
  for (const auto &args : std::vector<std::vector<std::string>>{{"--channels", "9"},
                                                                {"--scans"},
                                                                {"--interval", "-1"},
                                                                {"--bogus"},
                                                                {"--rate", "0"},
                                                                {"--rate", "fast"},
                                                                {"--rate", "5", "--interval", "9"},
                                                                {"--vref", "-3.3"},
                                                                {"--vref", "nan"},
                                                                {"--codes"}}) {
    const auto r = run(args);
    EXPECT_EQ(r.status, 2) << args[0] << ' ' << (args.size() > 1 ? args[1] : "");
    EXPECT_NE(r.err.find("Usage: adcread"), std::string::npos) << r.err;
  }
}

TEST_F(AdcreadE2E, VoltsReplaceOrJoinTheCodesInBothForms) {
  const auto plain = run({"--channels", "3", "--vref", "3.3"}, codes());
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_TRUE(std::regex_match(plain.out,
                               std::regex(R"(\S+Z  ch0=0\.0000V  ch1=3\.2968V  ch2=1\.9400V\n)")))
      << plain.out;

  const auto both = run({"--channels", "2", "--vref", "3.3", "--codes"}, codes());
  EXPECT_TRUE(std::regex_match(both.out,
                               std::regex(R"(\S+Z  ch0=0 \(0\.0000V\)  ch1=1023 \(3\.2968V\)\n)")))
      << both.out;

  // A small reference gets the decimals a tenth of its LSB needs.
  const auto csv = run({"--channels", "3", "--vref", "0.1", "--csv"}, codes());
  EXPECT_TRUE(std::regex_match(
      csv.out,
      std::regex(
          R"(time,ch0_V,ch1_V,ch2_V,failed_exchanges\n\d+\.\d{9},0\.000000,0\.099902,0\.058789,0\n)")))
      << csv.out;

  auto board = codes();
  board["VBOARD_SPIDEV_FAIL_TRANSFERS"] = "6:-1:EIO";
  const auto lost = run({"--channels", "2", "--vref", "3.3", "--codes", "--csv"}, board);
  EXPECT_TRUE(std::regex_match(
      lost.out,
      std::regex(R"(time,ch0,ch0_V,ch1,ch1_V,failed_exchanges\n\d+\.\d{9},,,1023,3\.2968,6\n)")))
      << lost.out;
}

// adcread started with its output on a pipe, read line by line while it
// runs.
class Streaming {
 public:
  pid_t pid() const { return pid_; }
  explicit Streaming(const adckit::test::Program &program) {
    const auto cmd = adckit::test::command(program);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    err_path_ = dir_ / "stderr";
    pid_ = fork();
    if (pid_ == 0) {
      for (const auto &[name, value] : cmd.env) {
        if (value) {
          setenv(name.c_str(), value->c_str(), 1);
        } else {
          unsetenv(name.c_str());
        }
      }
      const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (dup2(out[1], 1) < 0 || err < 0 || dup2(err, 2) < 0) _exit(127);
      std::vector<char *> argv;
      for (const auto &a : cmd.argv) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    fd_ = out[0];
  }
  ~Streaming() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      (void)waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }
  Streaming(const Streaming &) = delete;
  Streaming &operator=(const Streaming &) = delete;

  // The next line, or "" at the end of the output or after `limit`.
  std::string line(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (true) {
      if (const auto nl = buf_.find('\n'); nl != std::string::npos) {
        std::string l = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return l;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
      char chunk[4096];
      const ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n <= 0) return "";
      buf_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  // Interrupts it and collects its exit status and standard error.
  int interrupt(std::string &err) {
    kill(pid_, SIGINT);
    int status = 0;
    (void)waitpid(pid_, &status, 0);
    pid_ = -1;
    for (std::string l; !(l = line(std::chrono::seconds(5))).empty();) buf_rest_.push_back(l);
    err = slurp(err_path_);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  const std::vector<std::string> &rest() const { return buf_rest_; }

 private:
  static std::string slurp(const std::string &path) {
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char chunk[4096];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, n);
    close(fd);
    return text;
  }

  adckit::test::TempDir dir_{"adcread-stream"};
  std::string err_path_;
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string buf_;
  std::vector<std::string> buf_rest_;
};

std::int64_t row_time_ns(const std::string &row) {
  const auto dot = row.find('.');
  return std::stoll(row.substr(0, dot)) * 1000000000LL + std::stoll(row.substr(dot + 1, 9));
}

// adcread scanning at 20 Hz is stopped for a second (as a loaded machine
// or Ctrl-Z would): the scans it could not make are counted and skipped,
// and the scans after it are back on the grid set by the first scan, not
// shifted by the stall.
TEST_F(AdcreadE2E, RateKeepsItsGridAndCountsTheScansABusyBoardMadeLate) {
  adckit::test::TempDir dir("adcread-rate");
  const std::string board = dir / "board";
  Streaming reader(
      {.argv = {ADCREAD_PATH, "--channels", "2", "--rate", "20", "--scans", "0", "--csv"},
       .env = {{"VBOARD_BOARD", board}, {"VBOARD_CH1", "700"}},
       .unset = {"VBOARD_*", "LD_PRELOAD"},
       .board = true});
  ASSERT_EQ(reader.line(), "time,ch0,ch1,failed_exchanges");
  std::vector<std::string> rows;
  for (int i = 0; i < 4; ++i) rows.push_back(reader.line());

  ASSERT_EQ(kill(reader.pid(), SIGSTOP), 0);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ASSERT_EQ(kill(reader.pid(), SIGCONT), 0);
  for (int i = 0; i < 4; ++i) rows.push_back(reader.line());
  std::string err;
  const int status = reader.interrupt(err);
  for (const auto &r : reader.rest()) rows.push_back(r);
  EXPECT_EQ(status, 128 + SIGINT);

  for (const auto &r : rows)
    ASSERT_TRUE(std::regex_match(r, std::regex(R"(\d+\.\d{9},0,700,0)"))) << r;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      err, m, std::regex(R"(adcread: (\d+) scans at 20 Hz, (\d+) late \(skipped\)\n)")))
      << err;
  EXPECT_EQ(std::stoul(m[1]), rows.size());
  const long late = std::stol(m[2]);
  EXPECT_GE(late, 15) << "a one-second stall at 20 Hz";

  // Slots of 50 ms from the first scan: all scans but the one the stall
  // may have caught half-way end near one, and every slot from the first
  // to the last scan was either scanned or counted late.
  constexpr std::int64_t kPeriod = 50000000, kNear = 20000000;
  const std::int64_t t0 = row_time_ns(rows.front());
  int off = 0;
  std::int64_t last_slot = 0;
  for (const auto &r : rows) {
    const std::int64_t d = row_time_ns(r) - t0;
    const std::int64_t slot = (d + kPeriod / 2) / kPeriod;
    if (std::llabs(d - slot * kPeriod) > kNear) ++off;
    last_slot = slot;
  }
  EXPECT_LE(off, 1) << err;
  const long unscanned = static_cast<long>(last_slot + 1) - static_cast<long>(rows.size());
  EXPECT_GE(late, unscanned);
  EXPECT_LE(late, unscanned + 2);
}

}  // namespace
