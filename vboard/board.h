#pragma once
// The board itself: the object this process is on, its first use and
// configuration, its time, and the board lock (state.cpp, config.cpp,
// signals.cpp). Included by internal.h.
// See internal.h for where things live and the locking rule.
#include <sys/types.h>

#include <cstdint>

#include "layout.h"

namespace vboard {

// The board this process is on, and its name as vboard_board_name gives
// it. Lock held.
shared_board &board();
const char *board_name();
// True when the board is shared between processes (a named board).
bool board_is_shared();
// This process's id, kept from the board's attach and renewed in a child
// of fork: libc asks the kernel each time, and accesses ask often.
pid_t own_pid();

// A thread enters and leaves the board (signals.cpp): signals that arrive
// in between are held, and their handlers run when it leaves. Trivial, so
// every thread's starts zeroed with nothing to construct, and small: the
// launcher loads the library after start, into what static TLS is left.
struct held_signals {
  int depth;              // board_lock scopes this thread is in
  std::uint64_t pending;  // bit sig - 1: sig arrived meanwhile
};
// Initial-exec: reaching it from a handler must not allocate.
extern constinit thread_local held_signals signal_hold __attribute__((tls_model("initial-exec")));
// Runs the handlers of the signals held, the thread having left the board.
void run_held_signals();
inline void signals_enter() { ++signal_hold.depth; }
inline void signals_leave() {
  if (--signal_hold.depth > 0 || signal_hold.pending == 0) return;
  run_held_signals();
}

// Holds the board lock for its lifetime (the rule in internal.h): this
// process's lock word first, then the shared object's lock; at the end, runs
// the access's after_access with neither held.
class board_lock {
 public:
  board_lock();
  ~board_lock();
  board_lock(const board_lock &) = delete;
  board_lock &operator=(const board_lock &) = delete;
};

// Holds this process's part of the board lock alone: enough for what is
// the process's own (its descriptor table), and never waits on another
// process.
class process_lock {
 public:
  process_lock();
  ~process_lock();
  process_lock(const process_lock &) = delete;
  process_lock &operator=(const process_lock &) = delete;
};

// Attaches the board on first use, configures it and adopts inherited
// descriptors. Lock held.
extern bool board_settled;  // all of it done: what every access asks first
void settle_board();
inline void ensure_ready() {
  if (!board_settled) settle_board();
}
// True once the descriptors inherited through exec were taken up.
bool inherited_adopted();

// CLOCK_MONOTONIC in nanoseconds: the PC's own time, for spans.
std::uint64_t monotonic_ns();
// Board time in nanoseconds: CLOCK_MONOTONIC since the board powered on.
std::uint64_t now_ns();

// Core configuration (config.cpp): the parts' variables (configure_parts),
// then the board's own (trace, capture, timing, path faults, strict). With `restore`
// (vboard_reset) what a variable does not set goes back to its default;
// without (a program joining the board) only what is set is applied.
// Lock held.
bool configure_core(bool restore);

}  // namespace vboard
