// adcread as a user runs it, on the virtual board.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/pattern.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/trace.hpp"

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
  EXPECT_TRUE(adckit::test::matches(r.out, "(" + line + "){2}")) << r.out;
}

TEST_F(AdcreadE2E, CsvHasAHeaderAndOneRowPerScanOnAChosenDevice) {
  auto board = codes();
  board["VBOARD_SPIDEV_DEVICES"] = "/dev/spidev0.0,/dev/spidev1.0";
  const auto r = run(
      {"--device", "/dev/spidev1.0", "--channels", "3", "--scans", "3", "--interval", "0", "--csv"},
      board);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(adckit::test::matches(
      r.out, R"(time,ch0,ch1,ch2,failed_exchanges\n(\d+\.\d{9},0,1023,602,0\n){3})"))
      << r.out;
}

TEST_F(AdcreadE2E, RetriedExchangesAreShownAndLostChannelsLeftEmpty) {
  auto board = codes();
  board["VBOARD_SPIDEV_FAIL_TRANSFERS"] = "6:-1:EIO";
  const auto r = run({"--channels", "2", "--csv"}, board);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(
      adckit::test::matches(r.out, R"(time,ch0,ch1,failed_exchanges\n\d+\.\d{9},,1023,6\n)"))
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
  EXPECT_TRUE(adckit::test::matches(
      r.out,
      R"(time(,ch\d)+,failed_exchanges\n\d+\.\d{9},0,1023,602,1,512,100,1000,341,0\n\d+\.\d{9},{8},40\n)"))
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
  auto failing = codes();
  failing["VBOARD_SPIDEV_FAIL_TRANSFERS"] = "6:-1:EIO";
  const struct {
    std::vector<std::string> args;
    std::map<std::string, std::string> board;
    const char *out;
  } cases[] = {
      {{"--channels", "3", "--vref", "3.3"},
       codes(),
       R"(\S+Z  ch0=0\.0000V  ch1=3\.2968V  ch2=1\.9400V\n)"},
      {{"--channels", "2", "--vref", "3.3", "--codes"},
       codes(),
       R"(\S+Z  ch0=0 \(0\.0000V\)  ch1=1023 \(3\.2968V\)\n)"},
      // A small reference gets the decimals a tenth of its LSB needs.
      {{"--channels", "3", "--vref", "0.1", "--csv"},
       codes(),
       R"(time,ch0_V,ch1_V,ch2_V,failed_exchanges\n\d+\.\d{9},0\.000000,0\.099902,0\.058789,0\n)"},
      // A lost reading leaves both its columns empty.
      {{"--channels", "2", "--vref", "3.3", "--codes", "--csv"},
       failing,
       R"(time,ch0,ch0_V,ch1,ch1_V,failed_exchanges\n\d+\.\d{9},,,1023,3\.2968,6\n)"}};
  for (const auto &c : cases) {
    const auto r = run(c.args, c.board);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(adckit::test::matches(r.out, c.out)) << r.out;
  }
}

std::int64_t row_time_ns(const std::string &row) {
  const auto dot = row.find('.');
  return std::stoll(row.substr(0, dot)) * 1000000000LL + std::stoll(row.substr(dot + 1, 9));
}

// adcread scanning at 20 Hz is stopped for a second (as a loaded machine
// or Ctrl-Z would), then interrupted: the scans it could not make are
// counted and skipped, and the scans after it are back on the grid set by
// the first scan, not shifted by the stall. Its trace tells the test how
// far it got, and its process.
TEST_F(AdcreadE2E, RateKeepsItsGridAndCountsTheScansABusyBoardMadeLate) {
  adckit::test::TempDir dir("adcread-rate");
  const std::string trace = dir / "trace";
  auto adcread = std::async(std::launch::async, [&] {
    return adckit::test::run(
        {.argv = {ADCREAD_PATH, "--channels", "2", "--rate", "20", "--scans", "0", "--csv"},
         .env = {{"VBOARD_BOARD", dir / "board"}, {"VBOARD_CH1", "700"}, {"VBOARD_TRACE", trace}},
         .unset = {"VBOARD_*", "LD_PRELOAD"},
         .board = true},
        {}, std::chrono::minutes(2));
  });
  pid_t pid = -1;
  const auto transfers = [&](std::size_t at_least) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (std::size_t seen = 0; std::chrono::steady_clock::now() < until; seen = 0) {
      for (const auto &e : adckit::test::read_trace(trace)) {
        if (e.op != "ioctl") continue;
        pid = static_cast<pid_t>(e.pid);
        ++seen;
      }
      if (seen >= at_least) return seen;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::size_t{0};
  };
  // Some four scans of two channels each after the device's settings.
  const std::size_t before = transfers(16);
  ASSERT_GT(before, 0U) << "adcread never got scanning";
  ASSERT_EQ(kill(pid, SIGSTOP), 0);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ASSERT_EQ(kill(pid, SIGCONT), 0);
  EXPECT_GT(transfers(before + 8), 0U);
  ASSERT_EQ(kill(pid, SIGINT), 0);
  const auto r = adcread.get();
  EXPECT_EQ(r.status, 128 + SIGINT) << r.err;

  auto rows = adckit::test::lines(r.out);
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.front(), "time,ch0,ch1,failed_exchanges");
  rows.erase(rows.begin());
  for (const auto &row : rows) {
    ASSERT_TRUE(adckit::test::matches(row, R"(\d+\.\d{9},0,700,0)")) << row;
  }
  const auto m =
      adckit::test::search(r.err, R"(adcread: (\d+) scans at 20 Hz, (\d+) late \(skipped\)\n)");
  ASSERT_TRUE(m) << r.err;
  EXPECT_EQ(std::stoul((*m)[1]), rows.size());
  const long late = std::stol((*m)[2]);
  EXPECT_GE(late, 15) << "a one-second stall at 20 Hz";

  // Slots of 50 ms from the first scan: the scans end near one (all but the
  // one the stall may have caught half-way, and those a busy machine woke
  // late: under an emulator beside a build, a third of some ten; a program
  // catching up on the stall's slots would put a burst of some fifteen off
  // the grid), and every slot from the first to the last scan was either
  // scanned or counted late.
  constexpr std::int64_t kPeriod = 50000000, kNear = 20000000;
  const std::int64_t t0 = row_time_ns(rows.front());
  int off = 0;
  std::int64_t last_slot = 0;
  for (const auto &row : rows) {
    const std::int64_t d = row_time_ns(row) - t0;
    last_slot = (d + kPeriod / 2) / kPeriod;
    if (std::llabs(d - last_slot * kPeriod) > kNear) ++off;
  }
  EXPECT_LE(off, 2 + static_cast<int>(rows.size()) / 4) << r.err;
  const long unscanned = static_cast<long>(last_slot + 1) - static_cast<long>(rows.size());
  EXPECT_GE(late, unscanned);
  EXPECT_LE(late, unscanned + 2);
}

}  // namespace
