// One board shared by every process on it, as a kernel is: pins, the chip
// and its inputs live in one object that separate programs map; named
// boards keep tests apart; a board of another layout or a damaged one is
// refused with a message, never read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "capture.h"
#include "support/board.hpp"

namespace {

using adckit::test::Outcome;
using adckit::test::board::run_on_board;
using adckit::test::board::Running;
using adckit::test::TempDir;

class SharedBoard : public ::testing::Test {
 protected:
  std::map<std::string, std::string> on(const std::string &board) {
    return {{"VBOARD_BOARD", dir / board}};
  }
  Outcome worker(const std::vector<std::string> &args, const std::string &board) {
    std::vector<std::string> argv{BOARD_WORKER_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_on_board(argv, on(board), true);
  }
  TempDir dir;
};

TEST_F(SharedBoard, TwoProcessesDrivingTheBoardAtOnceDoNotCorruptIt) {
  auto env = on("board");
  env["VBOARD_CH2"] = "333";
  env["VBOARD_CH5"] = "1000";
  // Each conversion is a message of three bytes clocked through the one
  // chip; without one lock for both processes their clocks would mix and
  // the codes come out wrong. Two more processes export, drive and
  // unexport pins beside them.
  std::vector<std::unique_ptr<Running>> all;
  const std::vector<std::vector<std::string>> jobs = {{"spi", "3000", "2", "333"},
                                                      {"spi", "3000", "5", "1000"},
                                                      {"pin", "3000", "22"},
                                                      {"pin", "3000", "23"}};
  for (const auto &job : jobs) {
    std::vector<std::string> argv{BOARD_WORKER_PATH};
    argv.insert(argv.end(), job.begin(), job.end());
    all.push_back(std::make_unique<Running>(argv, env, true));
  }
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Outcome o = all[i]->wait();
    EXPECT_EQ(o.status, 0) << jobs[i][0] << " " << jobs[i][2] << ": " << o.err;
  }
  // What they left is a board, not debris: the pins are free again.
  EXPECT_EQ(worker({"pin", "2", "22"}, "board").status, 0);
}

TEST_F(SharedBoard, NamedBoardsAreSeparateAndKeepTheirPinsBetweenPrograms) {
  ASSERT_EQ(worker({"pin", "0", "6"}, "a").status, 0);  // exports, then unexports
  if (!adckit::test::host_programs_on_board()) GTEST_SKIP() << "no host shell under the emulator";
  auto sh = [&](const std::string &board, const std::string &script) {
    return run_on_board({"sh", "-c", script}, on(board), false);
  };
  ASSERT_EQ(sh("a", "echo 6 > /sys/class/gpio/export").status, 0);
  EXPECT_EQ(sh("a", "test -d /sys/class/gpio/gpio6").status, 0);
  EXPECT_NE(sh("b", "test -d /sys/class/gpio/gpio6").status, 0);
  // The older spelling names a board file too.
  EXPECT_EQ(run_on_board({"sh", "-c", "test -d /sys/class/gpio/gpio6"},
                         {{"VBOARD_STATE", dir / "a"}, {"VBOARD_BOARD", ""}}, false)
                .status,
            0);
}

TEST_F(SharedBoard, AScriptClocksTheChipWhileOtherProcessesReadDout) {
  if (!adckit::test::host_programs_on_board()) GTEST_SKIP() << "no host shell under the emulator";
  // The shell's own echo drives CS, DIN and CLK; each DOUT bit is read by
  // a separate cat, which must see the same chip mid-conversion.
  const std::string script = R"(
    G=/sys/class/gpio
    for p in 4 5 17 27; do echo $p > $G/export; done
    echo low > $G/gpio4/direction; echo low > $G/gpio5/direction
    echo high > $G/gpio17/direction; echo in > $G/gpio27/direction
    tick() { echo 1 > $G/gpio4/value; echo 0 > $G/gpio4/value; }
    echo 0 > $G/gpio17/value
    for b in 1 1 0 1 1; do echo $b > $G/gpio5/value; tick; done   # start, single, 3
    tick                                                          # sample clock
    code=0
    for i in 1 2 3 4 5 6 7 8 9 10; do
      tick; code=$((code * 2 + $(cat $G/gpio27/value)))
    done
    echo 1 > $G/gpio17/value
    echo $code
  )";
  auto env = on("board");
  env["VBOARD_CH3"] = "612";
  const Outcome o = run_on_board({"sh", "-c", script}, env, false);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "612\n");
}

// Writes `bytes` as the board object at `path`.
void write_object(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

TEST_F(SharedBoard, ABoardOfAnotherLayoutOrDamagedIsRefusedWithAMessage) {
  // A first program makes the object; its size is that of this layout.
  ASSERT_EQ(worker({"pin", "0", "6"}, "board").status, 0);
  std::string good = adckit::test::board::read_file(dir / "board");
  ASSERT_GT(good.size(), 64U);

  struct damaged {
    const char *what;
    std::string bytes;
    std::string message;
  };
  std::string other_layout = good;
  other_layout[4] = static_cast<char>(other_layout[4] + 1);  // the layout number
  std::string wrong_size = good;
  wrong_size[8] = static_cast<char>(wrong_size[8] ^ 8);  // the size field, layout unchanged
  // The line requests and info changes before the capture, and the
  // capture's ring at the end, hold bytes no board writes.
  std::string bad_pin = good, bad_capture = good;
  const std::size_t capture_at = good.size() - sizeof(vboard::shared_capture);
  for (std::size_t i = capture_at - 2000; i < capture_at; ++i) bad_pin[i] = 7;
  for (std::size_t i = good.size() - 2000; i < good.size(); ++i) bad_capture[i] = 7;
  const std::vector<damaged> cases = {
      {"short", good.substr(0, 100), "bytes, this board library uses"},
      {"not a board", std::string(good.size(), 'x'), "it is not a board"},
      {"other layout", other_layout, "made by another version of the board"},
      {"wrong size field", wrong_size,
       "it says it is " + std::to_string(good.size() ^ 8) + " bytes, where a board of layout"},
      {"damaged", bad_pin, "invalid"},
      {"damaged capture", bad_capture, "the capture is invalid"},
  };
  for (const auto &c : cases) {
    write_object(dir / "board", c.bytes);
    // The program still runs (on a board of its own) and says why.
    const Outcome o = worker({"spi", "3", "0", "0"}, "board");
    EXPECT_EQ(o.status, 0) << c.what << ": " << o.err;
    EXPECT_NE(o.err.find("refusing the board"), std::string::npos) << c.what << ": " << o.err;
    EXPECT_NE(o.err.find(c.message), std::string::npos) << c.what << ": " << o.err;
    EXPECT_NE(o.err.find("vboard reset"), std::string::npos) << c.what << ": " << o.err;
    // And the object is left as it was for the user to look at.
    EXPECT_TRUE(adckit::test::board::read_file(dir / "board") == c.bytes) << c.what;
  }
}

}  // namespace
