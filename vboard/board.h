#pragma once
// The board itself: its lock, its first use, its own descriptors.
// Part of internal.h: see there for where things live and the locking rule.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "capture.h"
#include "chip.h"
#include "vboard.h"
#include "layout.h"

namespace vboard {

namespace config {
class reader;
}

// The board this process is on, and its name as vboard_board_name gives
// it. Lock held.
shared_board &board();
const char *board_name();

// A new descriptor (close-on-exec) on the shared board's object, for locks
// the kernel drops when a process ends; -1 on the private board. Lock held.
int board_object_fd();
// True when the board is shared between processes (a named board).
bool board_is_shared();
// A descriptor of the board object that holds no lock, to look at others'
// locks with; -1 on the private board. Lock held.
int looking_fd();
// True when `fd` is open on the shared board's object. Lock held.
bool is_board_object(int fd);
// This process's id, kept from the board's attach and renewed in a child
// of fork: libc asks the kernel each time, and accesses ask often.
pid_t own_pid();
// The board's own descriptors (those of board_object_fd, the stand-ins'
// memfd, epoll wakers, the capture) are kept out of the program's reach:
// keep_fd moves the one `owner` holds to the top of the descriptor table
// and guards it, close_kept
// closes it and sets `owner` to -1. kept_fd tells whether `fd` is one;
// make_way moves a kept `fd` to another number before the program puts a
// file there (false when it cannot); close_around_kept closes [first,
// last] with `real` (close_range) passing over kept descriptors.
void keep_fd(std::atomic<int> &owner);
// fcntl straight to the kernel: fcntl itself goes through the board.
long raw_fcntl(int fd, int cmd, long arg);
void close_kept(std::atomic<int> &owner);
bool kept_fd(int fd);
bool make_way(int fd);
using close_range_fn = int (*)(unsigned int, unsigned int, int);
int close_around_kept(unsigned int first, unsigned int last, int flags, close_range_fn real);
// An open-file-description lock on the byte at `at` of `fd`: `cmd` is
// F_OFD_SETLK (returns 0 or -1) or F_OFD_GETLK (returns the type that
// would conflict, F_UNLCK for none, or -1). Straight to the kernel: fcntl
// itself goes through the board.
int ofd_lock_byte(int fd, off_t at, short type, int cmd);

// What an access leaves for after the board lock is released: its trace
// lines to write and the time the access cost model makes it take.
struct after_access {
  std::string lines;
  int fd = -1;
  std::int64_t spend_ns = 0;
  void run();
};
// Takes what is pending (watch.pending tells whether there is any). Lock held.
after_access take_after_access();

// What every access asks besides its device's own work, kept as plain
// flags set where what they stand for is set up (the trace, the access
// cost model, a capture file of this process's, an access leaving work
// for after the lock) rather than worked out at each access. A flag is
// changed with the lock held and read with it held; being process-wide,
// a change is seen by the next access on any descriptor, whenever it was
// opened.
struct access_watch {
  // No event of this process's can be seen (no trace file, the in-memory
  // trace full or kept by nobody) and accesses cost no modelled time: an
  // event only takes its number.
  bool trace_quiet = false;
  // Trace lines or modelled time wait for the lock's release.
  bool pending = false;
  // This process writes a capture file: it drains the ring after each access.
  bool capture_file = false;
  std::uint64_t trace_seq = 0;      // the next event's number
  std::uint64_t trace_dropped = 0;  // events neither kept nor written
};
extern constinit access_watch watch;

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

// Holds the board lock for its lifetime (see the rule above): this
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

// The chip model, working on the shared board's chip lines. Lock held.
mcp3008_model &chip();

// CLOCK_MONOTONIC in nanoseconds: the PC's own time, for spans.
std::uint64_t monotonic_ns();
// Board time in nanoseconds: CLOCK_MONOTONIC since the board powered on.
std::uint64_t now_ns();

// Wiring of the chip's lines to GPIO pins.
struct pin_wiring {
  int clock = 4;
  int dout = 27;
  int din = 5;
  int cs = 17;
};
// Current wiring. Lock held.
pin_wiring wiring();

// Analogue level of a channel in LSB at board time now. Lock held.
double channel_lsb(int channel);

// After the chip's lines or a pin changed: looks for edges on the pins
// that notify them and wakes their pollers. Lock held.
void pins_changed();

// Tells every process waiting in poll that an edge was notified. Lock held.
void notify_edges();
// Sleeps until an edge is notified after `seen` (a value of edge_seq) or
// `timeout_ns` passes (negative: no limit), with the lock released.
// Returns 0, or -1 with errno EINTR when a signal came. Called without the
// lock.
int wait_for_edges(std::uint32_t seen, std::int64_t timeout_ns);
// The current edge_seq. Lock held.
std::uint32_t edge_sequence();

// Core configuration (config.cpp): the parts' variables (configure_parts),
// then the board's own (trace, capture, timing, path faults, strict). With `restore`
// (vboard_reset) what a variable does not set goes back to its default;
// without (a program joining the board) only what is set is applied.
// Lock held.
bool configure_core(bool restore);

// The parts' hooks (device.h, parts.cpp), each part in its order: power-on
// of a zeroed board, the first reason a found object cannot be run from
// (or null), the lines of `vboard show`, the board attached, a power cycle
// done. Lock held.
void power_on_parts(shared_board &b);
// The board object's size with every part's slice, and the fingerprint of
// the slices a board of this build records (parts.cpp).
std::size_t board_bytes();
std::uint32_t parts_fingerprint();
const char *part_damage(const shared_board &b);
void show_parts(const shared_board &b, std::string &out);
void attach_parts(shared_board &b);
void parts_powered();
// Each part's configure hook, by configure_place, on one reader.
void configure_parts(config::reader &r);

// Per-handler hooks for every registered handler. Lock held.
bool configure_devices(bool restore);
void reset_devices();
void clear_device_faults();
// Registers a handler in the table add_provider fills (descriptors.cpp).
bool register_provider(const provider &p);
// Takes over the board descriptors this process inherited through exec;
// adoption_done ends the slow path that first descriptor calls take
// until then. Lock held.
void adopt_inherited();
void adoption_done();

}  // namespace vboard
