#pragma once
// Running programs on the virtual board from a test, on top of the way
// every suite starts programs (process.hpp): a board of the test's own,
// programs that run while the test starts others, the long runs' fixed
// readings and what they read of a running process.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace adckit::test::board {

// Runs argv with the board preloaded (through the emulator in a cross
// build when `target_program` is set) and `env` added to the environment.
Outcome run_on_board(const std::vector<std::string> &argv,
                     const std::map<std::string, std::string> &env, bool target_program);

// A program started on the board that the test waits for later, so that
// several can run at once.
class Running {
 public:
  // With `preload` false the program starts without the board (the
  // launcher does that itself), through the emulator all the same.
  Running(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
          bool target_program, bool preload = true);
  ~Running();
  Running(const Running &) = delete;
  Running &operator=(const Running &) = delete;
  // Waits for the program and collects what it printed (once).
  Outcome wait();

 private:
  TempDir tmp_;
  pid_t pid_ = -1;
  std::string spawn_error_;
};

std::string read_file(const std::string &path);

// A test with a board of its own, named by a file in its own folder. Every
// program it starts is on that board, where a jumper wires line 22 to line
// 23, so one process's output is another's input.
class BoardTest : public ::testing::Test {
 protected:
  std::map<std::string, std::string> env(std::map<std::string, std::string> more = {}) const {
    more["VBOARD_BOARD"] = dir / "board";
    more.emplace("VBOARD_JUMPERS", "22:23");
    more.emplace("LC_ALL", "C");
    return more;
  }
  TempDir dir;
};

// The same for the distribution's programs, which are native: skipped
// where the board library is built for the target.
class HostBoardTest : public BoardTest {
 protected:
  void SetUp() override {
    if (!host_programs_on_board())
      GTEST_SKIP() << "the distribution's programs are native; this board library is built for "
                      "the target";
  }
  Outcome run(const std::vector<std::string> &argv,
              std::map<std::string, std::string> more = {}) const {
    return run_on_board(argv, env(std::move(more)), false);
  }
};

// ---------------------------------------------------------------------------
// Long runs

// {emulator..., program} and the environment entries that put the program
// on the board (with fixed readings 100 n + 17 on channel n).
struct BoardCommand {
  std::vector<std::string> argv;
  std::vector<std::string> env;
};
BoardCommand on_board(const std::string &program);
// Sets the command's environment in this process for the programs it
// starts, and takes it away again.
class BoardEnvironment {
 public:
  explicit BoardEnvironment(const BoardCommand &command);
  BoardEnvironment(const BoardEnvironment &) = delete;
  BoardEnvironment &operator=(const BoardEnvironment &) = delete;

 private:
  ScopedEnv env_;
};

// Resident memory in KiB and open descriptors of a process; -1 when they
// cannot be read.
long resident_kib(pid_t pid);
int open_descriptors(pid_t pid);

// A channel's fixed reading on the board the programs run on.
inline int reading(int channel) { return channel >= 0 && channel <= 7 ? 100 * channel + 17 : -1; }

// How many of something a run does: the default unless the variable names
// another number.
long scale(const char *variable, long fallback);

}  // namespace adckit::test::board
