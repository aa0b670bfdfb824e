// The vboard launcher: runs programs on a named board without the user
// spelling out the preload, shows the board and powers it off, and finds
// the board library in an installed tree.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "run.h"

namespace {

namespace fs = std::filesystem;
using vboard_test::outcome;
using vboard_test::run_plain;
using vboard_test::temp_dir;

class Launcher : public ::testing::Test {
 protected:
  outcome vboard(std::vector<std::string> args, const std::string &launcher = VBOARD_LAUNCHER) {
    args.insert(args.begin(), launcher);
    return run_plain(args, {});
  }
  std::string board() const { return dir / "board"; }
  temp_dir dir;
};

TEST_F(Launcher, RunsAProgramOnANamedBoardThatShowAndResetThenSee) {
  outcome o = vboard({"run", "--board", board(), "VBOARD_CH3=700", "--", BOARD_WORKER_PATH, "spi",
                      "5", "3", "700"});
  EXPECT_EQ(o.status, 0) << o.err;
  // The worker leaves pin 12 exported as an output.
  o = vboard({"run", "--board=" + board(), "--", BOARD_WORKER_PATH, "pin", "3", "12"});
  EXPECT_EQ(o.status, 0) << o.err;
  o = vboard({"run", "--board", board(), "--", BOARD_WORKER_PATH, "export", "12"});
  EXPECT_EQ(o.status, 0) << o.err;

  o = vboard({"show", "--board", board()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("board " + board()), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("  12     out       1     0          none\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("CH3 700 LSB: code 700 now"), std::string::npos) << o.out;

  o = vboard({"reset", "--board", board()});
  ASSERT_EQ(o.status, 0) << o.err;
  o = vboard({"show", "--board", board()});
  EXPECT_NE(o.out.find("no pin exported"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("CH3 0 LSB: code 0 now"), std::string::npos) << o.out;
}

TEST_F(Launcher, SaysWhatIsWrongWithItsArguments) {
  outcome o = vboard({"run", "--board", board(), "--", "no-such-program-here"});
  EXPECT_EQ(o.status, 127);
  EXPECT_NE(o.err.find("no-such-program-here: program not found"), std::string::npos) << o.err;
  o = vboard({"run", "--board", board(), BOARD_WORKER_PATH});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("the program goes after --"), std::string::npos) << o.err;
  o = vboard({"run", "--board"});
  EXPECT_EQ(o.status, 2);
  o = vboard({"frobnicate"});
  EXPECT_EQ(o.status, 2);
  EXPECT_NE(o.err.find("unknown command: frobnicate"), std::string::npos) << o.err;
  o = vboard({"--help"});
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.out.find("vboard run"), std::string::npos);
}

TEST_F(Launcher, FindsTheLibraryOfAnInstalledTreeFirst) {
  fs::create_directories(dir / "tree/bin");
  fs::create_directories(dir / "tree/lib/adckit");
  fs::copy_file(VBOARD_LAUNCHER, dir / "tree/bin/vboard");
  fs::copy_file(VBOARD_LIBRARY, dir / "tree/lib/adckit/libvboard.so");
  const outcome o = vboard({"show", "--board", board()}, dir / "tree/bin/vboard");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out.rfind("library " + (dir / "tree/bin/../lib/adckit/libvboard.so") + "\n", 0), 0U)
      << o.out;
}

}  // namespace
