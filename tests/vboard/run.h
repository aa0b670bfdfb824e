#pragma once
// Runs a program under the virtual board and collects what it printed.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.hpp"

namespace vboard_test {

struct outcome {
  int status = -1;  // exit status, or 128 + signal
  std::string out;  // standard output
  std::string err;  // standard error
};

// A fresh private directory, removed by the destructor.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  adckit::test::TempDir dir_;
  std::string path_;
};

// True when programs of the build's target can be started here with the
// board preloaded (always natively; under the emulator only those built
// for the target, so no host shell).
bool host_programs_usable();

// Runs argv with the board preloaded (through the emulator in a cross
// build when `target_program` is set) and `env` added to the environment.
outcome run_on_board(const std::vector<std::string> &argv,
                     const std::map<std::string, std::string> &env, bool target_program);

// A program started on the board that the test waits for later, so that
// several can run at once.
class running {
 public:
  // With `preload` false the program starts without the board (the
  // launcher does that itself), through the emulator all the same.
  running(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
          bool target_program, bool preload = true);
  ~running();
  running(const running &) = delete;
  running &operator=(const running &) = delete;
  // Waits for the program and collects what it printed (once).
  outcome wait();

 private:
  temp_dir tmp_;
  pid_t pid_ = -1;
  std::string spawn_error_;
};

// Runs a program of the build's target without the board preloaded.
outcome run_plain(const std::vector<std::string> &argv,
                  const std::map<std::string, std::string> &env);

std::string read_file(const std::string &path);

// A test with a board of its own, named by a file in its own folder. Every
// program it starts is on that board, where a jumper wires line 22 to line
// 23, so one process's output is another's input.
class board_test : public ::testing::Test {
 protected:
  std::map<std::string, std::string> env(std::map<std::string, std::string> more = {}) const {
    more["VBOARD_BOARD"] = dir / "board";
    more.emplace("VBOARD_JUMPERS", "22:23");
    more.emplace("LC_ALL", "C");
    return more;
  }
  temp_dir dir;
};

// The same for the distribution's programs, which are native: skipped
// where the board library is built for the target.
class host_board_test : public board_test {
 protected:
  void SetUp() override {
    if (!host_programs_usable())
      GTEST_SKIP() << "the distribution's programs are native; this board library is built for "
                      "the target";
  }
  outcome run(const std::vector<std::string> &argv,
              std::map<std::string, std::string> more = {}) const {
    return run_on_board(argv, env(std::move(more)), false);
  }
};

}  // namespace vboard_test
