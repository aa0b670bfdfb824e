// How the soak runs start a program on the virtual board: with the board
// preloaded, through the cross emulator when there is one; and what they
// read of a running process.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/process.hpp"

namespace soak {

// {emulator..., program} and the environment entries that put the program
// on the board (with fixed readings 100 n + 17 on channel n).
struct Command {
  std::vector<std::string> argv;
  std::vector<std::string> env;
};
Command onBoard(const std::string& program);
// Sets the command's environment in this process for the programs it
// starts, and takes it away again.
class BoardEnvironment {
 public:
  explicit BoardEnvironment(const Command& command);
  BoardEnvironment(const BoardEnvironment&) = delete;
  BoardEnvironment& operator=(const BoardEnvironment&) = delete;

 private:
  adckit::test::ScopedEnv env_;
};

// Resident memory in KiB and open descriptors of a process; -1 when they
// cannot be read.
long residentKiB(pid_t pid);
int openDescriptors(pid_t pid);

// A channel's fixed reading on the board the programs run on.
inline int reading(int channel) { return channel >= 0 && channel <= 7 ? 100 * channel + 17 : -1; }

// How many of something a run does: the default unless the variable names
// another number.
long scale(const char* variable, long fallback);

}  // namespace soak
