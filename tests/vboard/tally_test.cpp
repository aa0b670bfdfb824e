// A device that touches no file of the board's own (tally_device.cpp)
// keeps its count in a slice of the shared board object, shows it in
// `vboard show`, and makes a board that a build without it refuses, as it
// refuses one of theirs: the slices' fingerprint tells the builds apart.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/board.hpp"

namespace {

using adckit::test::Outcome;
using adckit::test::board::run_on_board;
using adckit::test::TempDir;

class TallyDevice : public ::testing::Test {
 protected:
  std::map<std::string, std::string> on(const std::string &board) {
    return {{"VBOARD_BOARD", dir / board}};
  }
  // The program with the tally device linked in (no board preloaded: it
  // carries its own).
  Outcome tally(const std::string &board) {
    return adckit::test::run({.argv = {TALLY_DEVICE_PATH}, .env = on(board)});
  }
  // A program on the board library without it.
  Outcome worker(const std::string &board) {
    return run_on_board({BOARD_WORKER_PATH, "pin", "1", "6"}, on(board), true);
  }
  TempDir dir;
};

TEST_F(TallyDevice, ItsSliceLivesInTheSharedBoardAndItsLineIsShownLast) {
  const Outcome first = tally("board");
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out.rfind("count 1\n", 0), 0U) << first.out;
  const Outcome second = tally("board");
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.out.rfind("count 2\n", 0), 0U) << second.out;
  // After every built-in part's lines, in its order.
  const std::size_t spidev = second.out.find("\nspidev:\n");
  const std::size_t line = second.out.find("\ntally: 2 writes\n");
  ASSERT_NE(line, std::string::npos) << second.out;
  EXPECT_TRUE(spidev == std::string::npos || spidev < line) << second.out;
  EXPECT_EQ(second.err, "");
}

TEST_F(TallyDevice, ABoardOfOtherSlicesIsRefusedEitherWay) {
  const std::string another = "made by another version of the board";
  ASSERT_EQ(tally("with").status, 0);
  const Outcome without = worker("with");
  EXPECT_EQ(without.status, 0) << without.err;
  EXPECT_NE(without.err.find("refusing the board"), std::string::npos) << without.err;
  EXPECT_NE(without.err.find(another), std::string::npos) << without.err;

  ASSERT_EQ(worker("plain").status, 0);
  const Outcome with = tally("plain");
  EXPECT_EQ(with.status, 0) << with.err;
  EXPECT_NE(with.err.find("slices are of another build"), std::string::npos) << with.err;
  // It ran on a private board of its own instead: a fresh count.
  EXPECT_EQ(with.out.rfind("count 1\n", 0), 0U) << with.out;
}

}  // namespace
