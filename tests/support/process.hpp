// Starting programs of this build from a test, the way every suite needs
// them started: through the emulator of a cross build, with the virtual
// board preloaded (and the sanitizer option that preload needs), with a
// chosen environment, and with their output collected.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace adckit::test {

// The cross build's emulator command ({"qemu-arm", "-L", ...}); empty in a
// native build.
const std::vector<std::string> &emulator();
// libvboard.so of this build; empty when the build has no virtual board.
const std::string &board_library();
// Whether the build is instrumented with the named sanitizer ("address",
// "thread", "undefined").
bool sanitized_with(std::string_view sanitizer);
// Whether programs of this machine (sh, cat) can run with the board
// preloaded: only when the board is built for this machine.
bool host_programs_on_board();

// A program to start.
struct Program {
  std::vector<std::string> argv;            // the program, then its arguments
  std::map<std::string, std::string> env{}; // set for the program, over the test's own
  std::vector<std::string> unset{};         // taken out; "VBOARD_*" takes every name so begun
  bool board = false;                       // with the virtual board preloaded
  bool host = false;                        // built for this machine: never through the emulator
};

// The command line that starts a program, and the changes it needs to the
// test's environment (nullopt: the variable is removed).
struct Command {
  std::vector<std::string> argv;
  std::map<std::string, std::optional<std::string>> env;
};
Command command(const Program &program);

struct Outcome {
  int status = -1;  // exit status, 128 + signal, or -1 when it did not start
  std::string out;  // standard output
  std::string err;  // standard error, or why the program did not start or was stopped
};

// Runs `program` to its end with `input` on its standard input and its
// output collected.  A program still running after `limit` is killed and
// reported as such: a hung program fails its test instead of the test run.
Outcome run(const Program &program, std::string_view input = {},
            std::chrono::milliseconds limit = std::chrono::minutes(2));

// Starts `program` with the test's standard descriptors and returns its
// process id, or -1 (with the reason in `*error` when given).
pid_t start(const Program &program, std::string *error = nullptr);
// Waits for a started process: its exit status, or 128 + signal.
int wait_exit(pid_t pid);

// Changes to this process's own environment, undone at the end of the
// scope: for code that starts programs itself with the environment it
// inherits (the link peer's launch).
class ScopedEnv {
 public:
  ScopedEnv() = default;
  explicit ScopedEnv(const std::map<std::string, std::optional<std::string>> &changes);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

  void set(const std::string &name, const std::string &value);
  void unset(const std::string &name);

 private:
  void save(const std::string &name);
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Splits `text` into lines, without their newlines.
std::vector<std::string> lines(const std::string &text);

}  // namespace adckit::test
