// A recording fake of every link-library call, linked into the bridge
// tests in place of the library.  Each call appends one line to the log
// (name and arguments) and takes its result from a per-call script, or
// from the call's default once the script is used up.
#pragma once

#include <mathlink.h>

#include <functional>
#include <string>
#include <vector>

namespace fake {

struct Reply {
  int result = 1;                // the call's result (handles: nonzero = valid)
  int value = 0;                 // written to the out parameter, if any
  std::function<void()> before;  // runs inside the call, before it returns
};

inline Reply ok(int value = 0) { return {1, value, nullptr}; }
inline Reply fails(int value = 0) { return {0, value, nullptr}; }
// For calls whose result is itself the datum: packet, error and wait codes.
inline Reply code(int c) { return {c, 0, nullptr}; }

// Forgets the log, the scripts and the recorded open arguments, and puts
// every default back: reads fail (MLNextPacket 0, MLGetInteger and
// MLTestHead fail), MLError reports no error, everything else succeeds.
void reset();
// Appends replies to the script of one call (e.g. "MLNextPacket").
void script(const std::string &call, std::vector<Reply> replies);
void set_default(const std::string &call, int result);

const std::vector<std::string> &log();
// The log lines from `from` on.
std::vector<std::string> log_from(std::size_t from);
// How many log lines start with `prefix`.
int count(const std::string &prefix);

MLINK link();  // the handle the open calls give
MLENV env();   // the handle MLInitialize gives

struct OpenRecord {
  int argc = -1;
  char **argv = nullptr;
  std::vector<std::string> args;
};
const OpenRecord &last_open();
MLMessageHandlerObject installed_handler();
MLYieldFunctionObject installed_yielder();

}  // namespace fake
