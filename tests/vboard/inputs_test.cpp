// Inputs that look like real signals: a recording replayed, noise added to
// any input, and levels that would leave the chip nothing finite refused.
// The board is linked into the test (a private one); recordings come from
// adcread run on boards of their own.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/capture.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "vboard.h"

namespace {

using std::chrono::milliseconds;

class Inputs : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int ch = 0; ch < VBOARD_CHANNELS; ++ch) {
      char name[16];
      std::snprintf(name, sizeof name, "VBOARD_CH%d", ch);
      unsetenv(name);
    }
    unsetenv("VBOARD_VREF");
    vboard_reset();
  }

  // Sets the variables and powers the board on with them; what the board
  // said on standard error goes to `err`.
  static int reset_with(const std::map<std::string, std::string> &vars,
                        std::string *err = nullptr) {
    for (const auto &[k, v] : vars) setenv(k.c_str(), v.c_str(), 1);
    int rc = 0;
    const auto said = adckit::test::capture([&] { rc = vboard_reset(); });
    if (err != nullptr) *err = said.err;
    return rc;
  }

  // The codes `channel` reads over `span`, each change once.
  static std::vector<int> changes(int channel, milliseconds span) {
    std::vector<int> seen;
    const auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until) {
      const int code = vboard_channel_code(channel);
      if (seen.empty() || seen.back() != code) seen.push_back(code);
      std::this_thread::sleep_for(milliseconds(2));
    }
    return seen;
  }

  static std::string write(const adckit::test::TempDir &dir, const std::string &name,
                           const std::string &text) {
    const std::string path = dir / name;
    std::ofstream(path) << text;
    return path;
  }

  // adcread on a board of its own with `vars`, its CSV output.
  static std::string record(const std::vector<std::string> &args,
                            const std::map<std::string, std::string> &vars) {
    std::vector<std::string> argv{ADCREAD_PATH, "--csv"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = adckit::test::run(
        {.argv = argv, .env = vars, .unset = {"VBOARD_*", "LD_PRELOAD"}, .board = true});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }

  // A column of adcread's CSV, each change once.
  static std::vector<int> column_changes(const std::string &csv, std::size_t col, double vref) {
    std::vector<int> seen;
    const auto rows = adckit::test::lines(csv);
    for (std::size_t i = 1; i < rows.size(); ++i) {
      std::size_t at = 0;
      for (std::size_t c = 0; c < col; ++c) at = rows[i].find(',', at) + 1;
      const double x = std::stod(rows[i].substr(at));
      const int code =
          vref > 0 ? static_cast<int>(std::lround(x * 1024 / vref)) : static_cast<int>(x);
      if (seen.empty() || seen.back() != code) seen.push_back(code);
    }
    return seen;
  }
};

// A rising ramp and a sine recorded at 10 Hz, in codes and in volts, come
// back code for code when replayed: each recorded value holds for its
// 100 ms step, which the 2 ms polling cannot miss.
TEST_F(Inputs, ARecordingOfAdcreadReplaysAsTheSameCodes) {
  adckit::test::TempDir dir("inputs-replay");
  const std::map<std::string, std::string> signal{
      {"VBOARD_CH0", "ramp:from=20,to=1000,period=1.6"},
      {"VBOARD_CH1", "sine:amp=1.2V,offset=1.65V,freq=0.7"}};
  const std::string codes = record({"--channels", "2", "--rate", "10", "--scans", "12"}, signal);
  const std::string volts =
      record({"--channels", "2", "--rate", "10", "--scans", "12", "--vref", "3.3"}, signal);
  const auto ramp = column_changes(codes, 1, 0);
  const auto sine = column_changes(volts, 2, 3.3);
  ASSERT_GE(ramp.size(), 8U) << codes;  // the recording moves
  ASSERT_GE(sine.size(), 8U) << volts;

  ASSERT_EQ(
      reset_with({{"VBOARD_CH3", "replay:file=" + write(dir, "codes.csv", codes) + ",column=ch0"},
                  {"VBOARD_CH5", "replay:file=" + write(dir, "volts.csv", volts) + ",column=ch1"}}),
      0);
  // Both channels at once would halve the polling rate; the second replay
  // is read in a second pass after a fresh start.
  EXPECT_EQ(changes(3, milliseconds(1600)), ramp);
  ASSERT_EQ(reset_with({}), 0);
  EXPECT_EQ(changes(5, milliseconds(1600)), sine);
}

TEST_F(Inputs, AReplayHoldsItsLastValueOrLoops) {
  adckit::test::TempDir dir("inputs-loop");
  const std::string file = write(dir, "steps.csv",
                                 "time,ch0,failed_exchanges\n"
                                 "10.0,100,0\n10.1,,1\n10.15,200,0\n10.3,300,0\n");
  ASSERT_EQ(reset_with({{"VBOARD_CH0", "replay:file=" + file + ",column=ch0"}}), 0);
  EXPECT_EQ(changes(0, milliseconds(700)), (std::vector<int>{100, 200, 300}));

  // The loop lasts the recording plus one mean step (0.3 s + 0.1 s).
  ASSERT_EQ(reset_with({{"VBOARD_CH0", "replay:file=" + file + ",column=ch0,loop"}}), 0);
  const auto seen = changes(0, milliseconds(1000));
  ASSERT_GE(seen.size(), 6U);
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], 100 * (1 + i % 3)) << i;

  // `vboard show` tells what the channel replays.
  ASSERT_EQ(reset_with({{"VBOARD_CH0", "replay:file=" + file + ",column=ch0,loop,noise=2"}}), 0);
  char text[4096];
  ASSERT_GT(vboard_describe(text, sizeof text), 0);
  EXPECT_NE(std::string(text).find("CH0 replay of ch0 in " + file + ", looping with noise 2 LSB"),
            std::string::npos)
      << text;
}

// Each process on the board loads the recording itself, from the absolute
// path the board keeps.
TEST_F(Inputs, AnotherProgramOnTheBoardReadsTheReplay) {
  adckit::test::TempDir dir("inputs-shared");
  const std::string file = write(dir, "one.csv", "time,ch0,ch1\n1.5,7,321\n");
  const std::map<std::string, std::string> on_board{{"VBOARD_BOARD", dir / "board"}};
  auto setter = on_board;
  setter["VBOARD_CH2"] = "replay:file=" + file + ",column=ch1";
  EXPECT_NE(record({"--channels", "3"}, setter).find(",0,0,321,0\n"), std::string::npos);
  EXPECT_NE(record({"--channels", "3"}, on_board).find(",0,0,321,0\n"), std::string::npos);
}

TEST_F(Inputs, WhatCannotBeReplayedIsRefusedNamingTheLine) {
  adckit::test::TempDir dir("inputs-bad");
  const struct {
    const char *name, *text, *why;
  } files[] = {{"missing", nullptr, "No such file or directory"},
               {"empty.csv", "", "line 1: the file is empty"},
               {"header.csv", "when,ch0\n1,2\n", "line 1: the header does not begin with 'time'"},
               {"nocolumn.csv", "time,ch1\n1,2\n", "line 1: no column ch0 or ch0_V"},
               {"number.csv", "time,ch0,ch1\n1,2,3\n2,5x,3\n", "line 3: '5x' is no code"},
               {"time.csv", "time,ch0\n1,2\n3,4\n2,5\n", "line 4: the time goes back"},
               {"short.csv", "time,ch0,ch1\n1,2\n", "line 2: 2 fields where the header has 3"},
               {"clock.csv", "time,ch0\nnoon,2\n", "line 2: 'noon' is no time in seconds"},
               {"none.csv", "time,ch0,ch1\n1,,3\n2,,3\n", "line 3: no reading in column ch0"}};
  for (const auto &f : files) {
    const std::string value =
        "replay:file=" + (f.text ? write(dir, f.name, f.text) : dir / f.name) + ",column=ch0";
    std::string err;
    EXPECT_EQ(reset_with({{"VBOARD_CH4", value}}, &err), -1) << f.name;
    EXPECT_NE(err.find("vboard: ignoring VBOARD_CH4=" + value), std::string::npos) << err;
    EXPECT_NE(err.find(f.why), std::string::npos) << err;
    EXPECT_EQ(vboard_channel_code(4), 0) << f.name;  // the default stays
  }
}

std::vector<int> conversions(int channel) {
  std::vector<int> v;
  for (int i = 0; i < 4000; ++i) v.push_back(vboard_channel_code(channel));
  return v;
}

// The readings centre on `mean` with a spread of `lsb`: a code stands for
// its step, and rounding down to a code adds 1/12 LSB^2 to the variance.
// Bounds are some six standard errors wide at 4000 conversions; with a
// seed the draws are the same every run anyway.
void expect_spread(const std::vector<int> &v, double mean, double lsb) {
  double sum = 0, squares = 0;
  for (int x : v) sum += x;
  const double m = sum / static_cast<double>(v.size());
  for (int x : v) squares += (x - m) * (x - m);
  EXPECT_NEAR(m, mean, 0.2);
  EXPECT_NEAR(std::sqrt(squares / static_cast<double>(v.size() - 1)),
              std::sqrt(lsb * lsb + 1.0 / 12), 0.2);
}

TEST_F(Inputs, NoiseWithASeedRepeatsAndHasTheAskedSpread) {
  ASSERT_EQ(reset_with({{"VBOARD_CH2", "512,noise=2,seed=7"}}), 0);
  const auto first = conversions(2);
  expect_spread(first, 512.0, 2);
  ASSERT_EQ(reset_with({}), 0);
  EXPECT_EQ(conversions(2), first);
  ASSERT_EQ(reset_with({{"VBOARD_CH2", "512,noise=2,seed=8"}}), 0);
  EXPECT_NE(conversions(2), first);

  // In volts, on a voltage: 5 mV at 3.3 V is 1.55 LSB; 1.65 V is the
  // bottom of code 512's step, so half the readings fall to 511.
  ASSERT_EQ(reset_with({{"VBOARD_CH6", "1.65V,noise=5mV,seed=3"}}), 0);
  expect_spread(conversions(6), 511.5, 0.005 * 1024 / 3.3);

  // Any form takes it; a replay of one steady value shows the noise alone.
  adckit::test::TempDir dir("inputs-noise");
  const std::string file = write(dir, "flat.csv", "time,ch0\n0,300\n");
  ASSERT_EQ(reset_with({{"VBOARD_CH1", "replay:file=" + file + ",column=ch0,noise=0.004V,seed=1"},
                        {"VBOARD_CH2", "ramp:from=0,to=1023,period=2,noise=3"},
                        {"VBOARD_CH6", "sine:amp=0.5V,offset=1V,freq=1,noise=1,seed=2"}}),
            0);
  expect_spread(conversions(1), 300.0, 0.004 * 1024 / 3.3);
}

// NaN and infinities are refused however they would arise, rather than
// read as 0 or 1023, and so is a replay without its file or column, or
// with a column too long to keep.
TEST_F(Inputs, LevelsWithoutAFiniteValueOrAReplayWithoutItsSourceAreRefused) {
  for (const char *bad :
       {"replay:column=ch0", "replay:file=/x.csv", "replay:file=/x.csv,column=",
        "replay:file=/x.csv,column=a_very_long_name", "replay:file=/x.csv,column=ch0,twice", "nan",
        "infV", "1e308V", "sine:amp=1e308,offset=1e308,freq=1", "sine:amp=1,offset=1,freq=1e308",
        "sine:amp=1V,freq=1,phase=1e300", "ramp:from=-1e308,to=1e308,period=1",
        "ramp:to=1,period=1e-320", "512,noise=1e300", "512,noise=-1", "512,noise=nan",
        "512,seed=-1", "512,noise"}) {
    std::string err;
    EXPECT_EQ(reset_with({{"VBOARD_CH0", bad}}, &err), -1) << bad;
    EXPECT_NE(err.find(std::string("vboard: ignoring VBOARD_CH0=") + bad + " (malformed;"),
              std::string::npos)
        << err;
    EXPECT_EQ(vboard_channel_code(0), 0) << bad;
  }
  unsetenv("VBOARD_CH0");
  std::string err;
  EXPECT_EQ(reset_with({{"VBOARD_VREF", "1e-300"}, {"VBOARD_CH1", "1V"}}, &err), -1);
  EXPECT_NE(err.find("ignoring VBOARD_VREF=1e-300"), std::string::npos) << err;
  EXPECT_EQ(vboard_channel_code(1), 310);  // against the default 3.3 V

  EXPECT_EQ(vboard_set_voltage(0, 1e300), -1);
  EXPECT_EQ(vboard_set_voltage(0, NAN), -1);
  EXPECT_EQ(vboard_set_sine(0, 1, 1, 1e300, 0), -1);
  EXPECT_EQ(vboard_set_ramp(0, -1e300, 1e300, 1), -1);
  EXPECT_EQ(vboard_set_reference(1e-300), -1);
  EXPECT_EQ(vboard_set_reference(INFINITY), -1);
  EXPECT_EQ(vboard_set_voltage(0, 1.65), 0);
  EXPECT_EQ(vboard_channel_code(0), 512);
}

// The parts read their variables in one fixed order, ahead of the board's
// own and whatever order the parts are listed in, so a reset that finds
// several malformed values tells them the same way every time; each is
// still refused alone, its default kept.
TEST_F(Inputs, MalformedValuesOfSeveralPartsAreToldInTheBoardsOrder) {
  std::string err;
  EXPECT_EQ(reset_with({{"VBOARD_TRACE_LIMIT", "many"},
                        {"VBOARD_PIN_CLK", "1024"},
                        {"VBOARD_CH0", "loud"},
                        {"VBOARD_CH1", "1V"}},
                       &err),
            -1);
  for (const char *var : {"VBOARD_TRACE_LIMIT", "VBOARD_PIN_CLK", "VBOARD_CH0"}) unsetenv(var);
  const auto ch0 = err.find("ignoring VBOARD_CH0=loud");
  const auto pin = err.find("ignoring VBOARD_PIN_CLK=1024");
  const auto limit = err.find("ignoring VBOARD_TRACE_LIMIT=many");
  ASSERT_NE(ch0, std::string::npos) << err;
  ASSERT_NE(pin, std::string::npos) << err;
  ASSERT_NE(limit, std::string::npos) << err;
  EXPECT_LT(ch0, pin) << err;
  EXPECT_LT(pin, limit) << err;
  EXPECT_EQ(vboard_channel_code(0), 0);
  EXPECT_EQ(vboard_channel_code(1), 310);
  unsetenv("VBOARD_CH1");
  EXPECT_EQ(reset_with({}), 0);
}

}  // namespace
