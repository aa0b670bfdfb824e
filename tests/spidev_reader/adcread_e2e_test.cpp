// adcread as a user runs it, on the virtual board.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/process.hpp"

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
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"--channels", "9"}, {"--scans"}, {"--interval", "-1"}, {"--bogus"}}) {
    const auto r = run(args);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_NE(r.err.find("Usage: adcread"), std::string::npos) << r.err;
  }
}

}  // namespace
