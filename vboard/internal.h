#pragma once
// What the parts of the virtual board share and callers must not see.
//
// Where things live:
//   interpose.cpp   the libc entry points and the real calls behind them
//   descriptors.cpp virtual descriptors: paths to devices, open files,
//                   stdio over them, descriptors inherited through exec
//   state.cpp       the board lock, the board's first use, power-off
//   config.cpp      one reader of VBOARD_* variables for every part
//   inputs.cpp      the chip's analogue inputs and waveforms
//   directories.cpp directory streams, symbolic links and realpath over the
//                   virtual tree
//   wait.cpp        poll, select and epoll on virtual descriptors
//   faults.cpp      faults on paths (open fails, node missing)
//   trace.cpp       the trace of accesses
//   capture.cpp     the lines as a Value Change Dump (capture.h)
//   strict.cpp      the strict profile: the target's limits, told as notes
//   show.cpp        the board described as `vboard show` prints it
//   gpio.cpp, spidev.cpp  the device handlers; chip.cpp the MCP3008
//   gpiochip.cpp    the GPIO character device beside the sysfs tree
//
// Each kind of virtual file lives in a device handler: a path prefix with
// open and stat routines and configure/reset hooks. A handler registers
// itself from a static initialiser:
//
//   namespace {
//   const bool registered = vboard::add_provider({"/dev/spidev", open_fn, stat_fn, ...});
//   }
//
// Registration may come before or after the board's first use; a late
// handler is configured when it registers and still gets the descriptors
// the process inherited through exec (virtual files are backed by memfds
// named after their path, so a new program image can recognise them).
//
// Locking, the one rule: every piece of board state, in this process or
// shared with others, is touched only while holding the board lock
// (board_lock below: this process's mutex, then the shared board's own
// lock, always in that order). The core takes it around every call into a
// handler or a file and every control call takes it, so handlers and files
// never lock anything themselves. Inside, do no I/O that may wait (trace
// lines and the modelled access time are left for after the lock, see
// after_access), never sleep, and never call the interposed libc routines
// (open, read, write, fopen ...): use the real_* entry points. A holder
// that stops or dies loses the shared lock (state.cpp), so a long wait
// inside would lose it too. The only other lock is a file lock held while
// a process attaches the board object, so that one process creates and
// checks it while the others wait. Routines marked "lock held" must only
// be called from inside it.
//
// Results inside the board follow the kernel's convention: >= 0 for success,
// -errno for failure; the core turns them into -1 and errno for the caller.
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

namespace vboard {

// ---------------------------------------------------------------------------
// Files and device handlers

// Extra facts a file gives the trace about an ioctl (e.g. the bytes of an
// SPI message). Left alone, the event shows only request and result.
struct trace_note {
  std::uint64_t bytes = 0;
  std::size_t data_len = 0;
  unsigned char data[VBOARD_TRACE_DATA] = {};
  void keep(const void *bytes_in, std::size_t n);  // copies up to VBOARD_TRACE_DATA
};

// One open virtual file. dup'ed descriptors share the object (and offset),
// as they share an open file description in the kernel; it is destroyed
// when the last of them is closed.
class file {
 public:
  virtual ~file() = default;
  // Reads at `offset` and advances it. Returns bytes read or -errno.
  virtual ssize_t read(void *buf, std::size_t n, off_t &offset);
  // Writes at `offset` and advances it. Returns bytes taken or -errno.
  virtual ssize_t write(const void *buf, std::size_t n, off_t &offset);
  // Returns the ioctl's result (>= 0) or -errno. Default: -ENOTTY.
  virtual int ioctl(unsigned long request, void *arg, trace_note &note);
  // What fstat reports. Default: a regular file of 4096 bytes, like sysfs.
  virtual void stat(struct stat &st) const;
  // What poll reports for the file now (POLLIN ...), as the kernel's poll
  // routine would. Default: readable and writable, as sysfs and devices
  // without a poll routine are. Lock held.
  virtual int poll_mask() const;
  // True for a file whose read on a blocking descriptor waits until
  // poll_mask() reports POLLIN (or POLLERR): the core waits for the edge
  // with the lock released, then reads. Default: false.
  virtual bool read_waits() const { return false; }
  // A file with no path (one a device's request handed out) that can live
  // on in the program exec starts writes a token for its device's adopter
  // (add_adopter) into `buf` and readies itself to survive the exec; it
  // returns the token's length, or 0 when it cannot survive (the program
  // then finds a descriptor that answers ENODEV). exec_failed undoes the
  // readying. No allocation: it may run in a child of vfork.
  virtual int exec_token(char * /*buf*/, std::size_t /*n*/) { return 0; }
  virtual void exec_failed() {}
};

// Takes up, in a program exec started, a file that exec_token wrote
// `token` for: 0 with `out` set, 1 when the token is not the adopter's,
// or -errno. Lock held.
using adopt_fn = int (*)(std::string_view token, std::unique_ptr<file> &out);
bool add_adopter(adopt_fn fn);

// One name in a virtual directory listing; `type` is a DT_* value.
struct dir_entry {
  std::string name;
  unsigned char type;
};

struct provider {
  const char *prefix;  // absolute path prefix, e.g. "/sys/class/gpio"
  // Opens `path` (normalised: no "//", "/./", ".." or trailing slash;
  // starting with prefix). Returns 0 and sets `out`, or -errno, or 1 to
  // decline a path that only shares the prefix (it then reaches the real
  // file system). `flags` are open's flags. Lock held.
  int (*open)(const char *path, int flags, std::unique_ptr<file> &out);
  // Fills `st` for `path` the way stat (`follow`) or lstat would. Returns
  // 0, -errno, or 1 to decline, as open. Lock held.
  int (*stat)(const char *path, struct stat &st, bool follow);
  // The target of the symbolic link `path`: 0, -EINVAL when `path` is no
  // link, -errno, or 1 to decline. May be null (no links). Lock held.
  int (*readlink)(const char *path, std::string &target);
  // Lists directory `path` (normalised; any absolute path, also outside the
  // prefix): 0 with `out` the whole listing of a virtual directory, 2 with
  // `out` names to add to the real directory `path` (the devices in /dev),
  // 1 when it has nothing there, or -errno. May be null. Lock held.
  int (*list)(const char *path, std::vector<dir_entry> &out);
  // Reads the handler's own VBOARD_* variables (through the readers
  // below); `restore` as for configure_core. Returns false when one was
  // malformed (it was reported and its default kept). Lock held.
  bool (*configure)(bool restore);
  // Back to power-on: what the handler's devices hold goes. Lock held.
  void (*reset)();
  // Removes the handler's injected faults. Lock held.
  void (*clear_faults)();
};

// Registers a handler; later prefixes are tried first. Returns true, or
// false (and says so on standard error) when the table is full.
bool add_provider(const provider &p);

// Fills a stat record for a virtual node: `mode` gives type and permission
// bits; the inode number is derived from the path so it is stable.
void fill_stat(struct stat &st, const char *path, mode_t mode, off_t size = 4096);

// Collapses "//", "/./" and "dir/.." and drops a trailing slash.
std::string normalise(const char *path);
// normalise as the kernel's path walk resolves: ".." after a board link
// is the parent of the link's target. Takes the lock when the path has
// a "..", so never call it with the lock held on such a path.
std::string walk_path(const char *path);

// ---------------------------------------------------------------------------
// The shared board object (state.cpp)
//
// Everything a kernel would hold for the board lives in one object that
// every process on the board maps: a POSIX shared-memory object named after
// the user and the board (VBOARD_BOARD=name), or a file (VBOARD_BOARD=path),
// or, with VBOARD_BOARD=private, memory of this process alone. Its fields
// have fixed sizes and places on 32- and 64-bit builds, so a native shell
// and an ARM program under qemu share one board. Per process stay: the
// descriptors, the faults, the trace and the spidev controller quirks.

constexpr std::uint32_t kBoardMagic = 0x56424f41;  // "VBOA"
// Raised whenever a field below changes place, size or meaning: a board
// object of another layout is refused, never read.
constexpr std::uint32_t kBoardLayout = 6;
constexpr int kMaxPins = 1024;
// A process's ticket t is the lock on byte kTicketBase + t of the board
// object (see state.cpp); past the object's end, so it covers no field.
constexpr long kTicketBase = 1L << 20;
constexpr int kSpidevSlots = 16;
constexpr int kLineRequests = 64;  // line requests open at once on a board
constexpr int kRequestLines = 64;  // lines in one request
constexpr int kLineEvents = 64;    // room in a request's queue of edge events
constexpr int kInfoChanges = 64;   // line info changes the board keeps for watchers

struct shared_level {
  double value;
  std::uint32_t volts;  // 1: value is in volts; 0: in LSB
  std::uint32_t reserved;
};

// A replayed recording is loaded by each process from its file; the board
// keeps where it is, bounded like the board's own path.
constexpr std::size_t kReplayPath = 256;
constexpr std::size_t kReplayColumn = 16;
constexpr std::uint32_t kInputLoops = 1;  // flags: a replay starts over at its end

struct shared_input {
  std::uint32_t kind;   // 0 fixed, 1 sine, 2 ramp, 3 replay
  std::uint32_t flags;  // kInputLoops
  shared_level fixed, amp, offset, from, to;
  double freq, phase_deg, period;
  shared_level noise;          // standard deviation of the added noise; 0: none
  std::uint64_t seed;          // of the noise
  std::uint64_t draws;         // noise values drawn since the input was set
  std::uint64_t start_ns;      // board time the input was set: a replay's time 0
  char column[kReplayColumn];  // replay: the column's name, NUL-terminated
  char path[kReplayPath];      // replay: the recording, absolute, NUL-terminated
};

enum edge_kind : std::uint8_t { edge_none = 0, edge_rising = 1, edge_falling = 2, edge_both = 3 };
// The names sysfs gives the kinds, as `edge` reads and takes them.
constexpr const char *kEdgeNames[] = {"none", "rising", "falling", "both"};
inline const char *edge_name(unsigned kind) { return kind <= edge_both ? kEdgeNames[kind] : "?"; }

struct shared_pin {
  std::uint8_t exported;
  std::uint8_t out;         // direction: 1 output
  std::uint8_t level;       // line level an output drives (physical, before active_low)
  std::uint8_t active_low;  // value reads and writes inverted
  std::uint8_t edge;        // edge_kind notified through poll
  std::uint8_t seen;        // line level when edges were last looked for
  std::int16_t jumper;      // pin wired to this one, -1 none
  std::uint32_t events;     // edges notified so far
};

// Settings of one spidev device as its driver keeps them across opens.
struct shared_spidev {
  char path[32];  // "/dev/spidevB.C", empty for a free slot
  std::uint32_t mode;
  std::uint32_t bits_per_word;
  std::uint32_t lsb_first;
  std::uint32_t max_speed_hz;  // the device's maximum (device tree)
  std::uint32_t speed_hz;      // current default rate
  std::int32_t open_count;
  std::uint32_t reserved[2];
};

// One edge event queued for a line request.
struct shared_line_event {
  std::uint64_t timestamp_ns;
  std::uint32_t id;      // 1 rising, 2 falling
  std::uint32_t offset;  // the line
  std::uint32_t seqno;   // of the request's events
  std::uint32_t line_seqno;
};

// A request for lines through the GPIO character device. The lines it
// holds name it in shared_board::line_request; whether its owner still
// holds it is told by a lock (see gpiochip.cpp), not by these fields.
struct shared_line_request {
  std::uint32_t kind;  // 0 free, 1 line handle, 2 line event, 3 line request
  std::uint32_t pid;   // the process that made it
  char consumer[32];
  std::uint32_t num_lines;
  std::uint32_t capacity;  // events the queue keeps
  std::uint32_t first;     // queue: oldest event
  std::uint32_t count;     // queue: events waiting
  std::uint32_t dropped;   // events lost to a full queue
  std::uint32_t serial;    // tells this request from a later one in the slot
  std::uint32_t seqno;     // events of the request so far
  std::uint32_t reserved;
  std::uint32_t offsets[kRequestLines];  // the lines, in the request's order
  std::uint32_t debounce_us[kRequestLines];
  std::uint32_t line_seqno[kRequestLines];
  std::uint64_t flags[kRequestLines];  // each line's GPIO_V2_LINE_FLAG_* as asked
  std::uint64_t seen;  // levels when edges were last looked for, a bit a line
  shared_line_event queue[kLineEvents];
};

// A change of a line's info (requested, released, configured), kept for
// the chip descriptors that watch the line.
struct shared_info_change {
  std::uint64_t timestamp_ns;  // CLOCK_MONOTONIC
  std::uint32_t seq;           // shared_board::info_seq when it was made
  std::uint32_t line;
  std::uint32_t type;  // GPIO_V2_LINE_CHANGED_*
  std::uint32_t reserved;
};

struct shared_board {
  std::uint32_t magic;
  std::uint32_t layout;
  std::uint32_t size;  // sizeof(shared_board)
  std::uint32_t ready;
  std::uint32_t lock;          // futex word: 0 free, else the holder's ticket (see state.cpp)
  std::uint32_t lock_pid;      // the holder's process id, for telling that it is stopped
  std::uint32_t edge_seq;      // futex word: bumped at every notified edge
  std::uint32_t edge_waiting;  // 1: a process may be asleep on `edge_seq`
  std::uint64_t epoch_ns;      // CLOCK_MONOTONIC at power-on: board time 0
  double reference;
  shared_input inputs[VBOARD_CHANNELS];
  std::int32_t wiring[4];  // clock, dout, din, cs
  std::int32_t dout_idle;
  std::int32_t ngpio;
  std::int32_t base;  // number of the first pin
  std::uint32_t reserved;
  mcp3008_lines chip;
  shared_pin pins[kMaxPins];
  shared_spidev spidev[kSpidevSlots];
  std::int16_t line_request[kMaxPins];  // 1 + the request holding the line, 0 none
  shared_line_request requests[kLineRequests];
  std::uint32_t info_seq;  // line info changes so far
  std::uint32_t reserved_info;
  shared_info_change info_changes[kInfoChanges];  // the last ones, by seq
  std::uint32_t ticket_seq;  // the last ticket handed out
  std::uint32_t reserved_end;
  shared_capture capture;  // capture.h
};

// Another process may write the shared object at any time (the lock keeps
// only the well-behaved ones out), so a field is never trusted as an index,
// size or loop bound: it is read once (shared_read, chip.h), and what is
// used is what was checked. A hostile writer then gets wrong answers at
// worst, never a fault or a hang.
// The pin count, 0 to kMaxPins, and the number of the first pin, 0 to
// 4096, as read now.
inline int pin_count(const shared_board &b) {
  const std::int32_t n = shared_read(b.ngpio);
  return n < 0 ? 0 : n > kMaxPins ? kMaxPins : n;
}
inline int pin_base(const shared_board &b) {
  const std::int32_t n = shared_read(b.base);
  return n < 0 ? 0 : n > 4096 ? 4096 : n;
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
// The board's own descriptors (those of board_object_fd) are kept out of
// the program's reach: keep_fd guards the one `owner` holds, close_kept
// closes it and sets `owner` to -1. kept_fd tells whether `fd` is one;
// make_way moves a kept `fd` to another number before the program puts a
// file there (false when it cannot); close_around_kept closes [first,
// last] with `real` (close_range) passing over kept descriptors.
void keep_fd(std::atomic<int> &owner);
// A close-on-exec copy of `fd` at the high end of the descriptor table, or -1.
int high_copy(int fd);
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
// Takes what is pending. Lock held.
after_access take_after_access();

// A thread enters and leaves the board (signals.cpp): signals that arrive
// in between are held, and their handlers run when it leaves.
void signals_enter();
void signals_leave();

// Holds the board lock for its lifetime (see the rule above): this
// process's mutex first, then the shared object's lock; at the end, runs
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
void ensure_ready();
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

// Default inputs of a board just powered on. Lock held.
void power_on_inputs(shared_board &b);
// Why an input record found on a board object cannot be run from, or null.
const char *input_damage(const shared_input &in);

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

// A spidev device's settings slot, taken on first use; null when every
// slot is taken. Lock held.
shared_spidev *spidev_slot(const char *path);

// Core configuration (config.cpp): the board's own variables (reference,
// inputs, wiring, DOUT idle level, trace, path faults). With `restore`
// (vboard_reset) what a variable does not set goes back to its default;
// without (a program joining the board) only what is set is applied.
// Lock held.
bool configure_core(bool restore);

// Per-handler hooks for every registered handler. Lock held.
bool configure_devices(bool restore);
void reset_devices();
void clear_device_faults();

// ---------------------------------------------------------------------------
// Reading variables: one parser for every part

// One line on standard error, formatted as printf does and cut to fit;
// straight to the descriptor, since stdio may not be ready yet. Every
// message of the board goes through here.
void tell(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

namespace config {

// The variable's value, or null when unset or empty.
const char *env(const char *name);
std::vector<std::string_view> split(std::string_view s, char sep);
bool parse_double(std::string_view s, double &out);
// A whole number in C notation (decimal, 0x hex, 0 octal), sign allowed.
bool parse_long(std::string_view s, long &out);
// As parse_long, no sign; takes the full unsigned range (request numbers
// have the top bit set, which a 32-bit long cannot hold).
bool parse_unsigned(std::string_view s, unsigned long &out);
// An errno value by number (1-4095) or by name ("EIO").
bool parse_errno(std::string_view s, int &err);

// Tells on standard error that a variable's value was malformed and is
// ignored.
// `why`, when given, says what would have been accepted.
void complain(const char *var, const char *value, const char *why = nullptr);

class reader;
// The strict profile (VBOARD_STRICT=1): the board models the target's
// limits instead of being lenient. Read by each part that has any.
bool strict(reader &r);

// Collects whether every variable read was well formed.
class reader {
 public:
  explicit reader(bool restore = true) : restore_(restore) {}
  // True when unset variables restore their defaults (see configure_core).
  bool restore() const { return restore_; }
  const char *get(const char *name) const { return env(name); }
  void bad(const char *name, const char *value, const char *why = nullptr) {
    complain(name, value, why);
    ok_ = false;
  }
  bool ok() const { return ok_; }

 private:
  bool restore_;
  bool ok_ = true;
};

}  // namespace config

// ---------------------------------------------------------------------------
// Faults on paths (faults.cpp); handlers add their own through these.

// Clears the path faults the core holds. Lock held.
void clear_path_faults();
// `path` fails to open with `err` (0 removes). Lock held.
void set_open_fault(std::string_view path, int err);
// `path` is missing (or present again). Lock held.
void set_missing(std::string_view path, bool missing);
// Reads a variable holding a "path:ERR[,...]" list of open faults, or a
// "path[,...]" list of missing nodes, into the core's faults; `form` is
// what a complaint says was expected. False when it was malformed (the
// rest of the list is then ignored). Lock held.
bool add_open_faults(config::reader &r, const char *name, const char *form);
bool add_missing(config::reader &r, const char *name, const char *form);
// Lookups on a normalised path. Lock held.
bool is_missing(const std::string &path);
int open_fault_for(const std::string &path);

// ---------------------------------------------------------------------------
// Trace (trace.cpp)

// Appends one event to the trace (memory and VBOARD_TRACE file). Lock held.
// The line goes to the VBOARD_TRACE file once the lock is released.
void trace(int op, const char *file, unsigned long request, std::uint64_t bytes, const void *data,
           std::size_t data_len, std::int64_t result, int err);
// Reads VBOARD_TRACE and VBOARD_TRACE_LIMIT. Lock held.
void configure_trace(config::reader &r);
// Opens a file the board writes for its user (the trace, the capture)
// with `flags` added (O_APPEND, O_TRUNC), never through another user's link
// or into another user's FIFO. The descriptor, or -errno with `why`
// saying what was found.
int open_output(const char *path, int flags, char (&why)[160]);
// The access cost model (timing.cpp): VBOARD_ACCESS_NS, and the time an
// access to the sysfs tree takes (0 for any other), which trace() adds to
// what is spent once the lock is released; spend() spins it away.
void configure_timing(config::reader &r);
std::int64_t access_cost(int op, const char *file);
void spend(std::int64_t ns);
// Empties the in-memory trace. Lock held.
void clear_trace();

// ---------------------------------------------------------------------------
// Inputs (inputs.cpp)

// Reads VBOARD_VREF and VBOARD_CH0..7 into the board. Lock held.
void configure_inputs(config::reader &r);

// ---------------------------------------------------------------------------
// The strict profile (strict.cpp)

// Reads VBOARD_STRICT and VBOARD_VDD and sets the chip's limits. Lock held.
void configure_strict(config::reader &r);
// True with VBOARD_STRICT=1. Lock held.
bool strict_profile();
// The chip's supply voltage (VBOARD_VDD). Lock held.
double supply_volts();
// What the target would get wrong, one bit each.
enum class strict_kind : unsigned {
  chip_clock_fast,
  chip_sample_droop,
  chip_spi_mode,
  controller_mode,
  controller_buffer,
};
// Tells it: a note event in the trace naming `file`, with `why` (at most
// 31 characters), and once per kind and process a line on standard error.
// Lock held.
void strict_note(strict_kind kind, const char *file, const char *why);

// ---------------------------------------------------------------------------
// The GPIO side (gpio.cpp), for the control calls.

// With `level` false, 1 when `pin` is exported, 0 when not; with `level`
// true, the level its value file reads, -1 when not exported. -1 for a
// number that is no pin. Lock held.
int gpio_pin_query(int pin, bool level);

// For the character device, the same lines as the sysfs tree drives:
// the level of `line` (physical, before active_low); an output driven to
// `level` (the chip sees it); the consumer of a line a kernel driver
// holds (null when none); the controller's label. Lock held.
bool gpio_line_level(int line);
void gpio_drive(int line, bool level);
const char *gpio_claimed_by(int line);
const char *gpio_chip_label();

// ---------------------------------------------------------------------------
// The GPIO character device (gpiochip.cpp), for the sysfs side.

// True when a request through the character device holds `line` (requests
// whose owners ended are let go first). Lock held.
bool chardev_line_requested(int line);
// True when `line` is held by a request as the shared board records it,
// without looking whether its owner lives (cheap). Lock held.
bool chardev_line_held(int line);
// After the lines changed: queues the edges line event requests watch.
// True when any was queued. Lock held.
bool chardev_pins_changed();
// What is wrong with the requests a board object holds, or null.
const char *chardev_damage(const shared_board &b);
// A line was exported (`requested` true) or unexported through sysfs:
// watchers of its info are told. Lock held.
void chardev_sysfs_changed(int line, bool requested);
// The requests as `vboard show` lists them. Lock held.
std::string chardev_describe();

// ---------------------------------------------------------------------------
// Real libc entry points (resolved with dlsym(RTLD_NEXT), safe to call
// before the library's constructors ran).
int real_open(const char *path, int flags, mode_t mode);
ssize_t real_read(int fd, void *buf, std::size_t n);
ssize_t real_write(int fd, const void *buf, std::size_t n);
ssize_t real_pread(int fd, void *buf, std::size_t n, off_t off);
int real_close(int fd);
void *real_mmap(void *addr, std::size_t len, int prot, int flags, int fd, off_t off);
int real_fstat(int fd, struct stat *st);

// Sets errno and returns -1.
int fail(int err);

// True for a pointer the kernel would answer with EFAULT whatever the
// process maps: null and the rest of the first page, which is never mapped.
inline bool bad_address(const void *p) { return reinterpret_cast<std::uintptr_t>(p) < 4096; }

// ---------------------------------------------------------------------------
// Directories, links and waiting (directories.cpp, wait.cpp), for the libc
// entry points; each takes the lock itself.

// The path a call names: `path` as given when absolute, or joined to the
// virtual directory `dirfd` is open on. False when it names nothing
// virtual (relative to the working directory or to a real directory).
bool virtual_path(int dirfd, const char *path, std::string &out);
// readlink on a virtual path: the length, -1 with errno, or -2 when real.
ssize_t v_readlink(int dirfd, const char *path, char *buf, std::size_t size);
// realpath resolving virtual links; `handled` false when nothing in the
// path is virtual.
char *v_realpath(const char *path, char *resolved, bool &handled);

// Directory streams: a DIR the board made, or a real one it passes on.
bool board_dirs_open();  // cheap: any stream of ours open at all?
bool is_board_dir(void *dir);
void *dir_open(const char *path, bool &handled);
void *dir_from_fd(int fd, bool &handled);
void *dir_read(void *dir, bool large);  // struct dirent * or dirent64 *
int dir_close(void *dir);
int dir_fd(void *dir);
void dir_rewind(void *dir);
long dir_tell(void *dir);
void dir_seek(void *dir, long pos);
// True when directory listings of `path` may involve the board.
bool dir_may_be_virtual(const char *path);

// poll over descriptors that may be virtual: the count, or -1 with errno;
// `handled` false when none is. timeout_ns < 0 waits without limit.
int v_poll(struct pollfd *fds, unsigned long n, std::int64_t timeout_ns, bool &handled);
// epoll registrations of virtual descriptors, kept by the board since the
// kernel's epoll cannot see them: 0, -1 with errno, or 1 when real.
int v_epoll_ctl(int epfd, int op, int fd, struct epoll_event *ev);
// epoll_wait over an epoll set with virtual registrations: the count, -1
// with errno, or -2 when the set has none.
int v_epoll_wait(int epfd, struct epoll_event *events, int max, std::int64_t timeout_ns);
// Takes the board's own wake-ups (an add to a set another thread waits
// on) out of `n` events the kernel reported; `woken` when there was one.
// The events left.
int epoll_drop_wakes(int epfd, struct epoll_event *events, int n, bool &woken);

}  // namespace vboard

// ---------------------------------------------------------------------------
// Descriptor routing (descriptors.cpp), for the libc entry points. Each
// takes the board lock itself; none is called with it held.
namespace vboard {

// Result of an operation on a descriptor that may be virtual.
struct routed {
  bool handled;    // false: the descriptor is real, call libc
  ssize_t result;  // the call's result (-1 with errno set on failure)
};

// True when `path` ends in a slash, "/." or "/..": the kernel's path walk
// then wants a directory there and follows a last link to one, for lstat,
// readlink and O_NOFOLLOW too (normalise drops what tells it).
bool names_directory(const char *path);
// The handler whose prefix `path` lies under, with the path normalised
// into `norm`; null when none (cheap, no lock needed).
const provider *provider_for(const char *path, std::string &norm);
// Every registered handler, for listings. Lock held.
std::size_t provider_count();
const provider &provider_at(std::size_t i);
// The virtual file open on `fd` and its path, or null. Lock held.
file *virtual_file(int fd, std::string *path = nullptr);

// A new descriptor for `f`, a file an ioctl made (a line request): a
// stand-in named after `path` like any other, close-on-exec with
// O_CLOEXEC in `flags`. The descriptor, or -errno. Lock held.
int add_descriptor(std::unique_ptr<file> f, const std::string &path, int flags);

// Cheap check without the lock: could `fd` be virtual at all?
bool maybe_virtual(int fd);
// Opens `path` when it is virtual: the descriptor, -1 with errno, or -2
// when the path is real. `dirfd` is openat's, AT_FDCWD for open.
int open_virtual(int dirfd, const char *path, int flags);
// `at` is the offset of a pread/pwrite, null for read/write.
routed v_read(int fd, void *buf, std::size_t n, const off_t *at);
routed v_write(int fd, const void *buf, std::size_t n, const off_t *at);
routed v_close(int fd);
routed v_seek(int fd, off_t off, int whence);
routed v_ioctl(int fd, unsigned long request, void *arg);
// Stat of a virtual path or descriptor: 0, -1 with errno, or 1 when real.
int v_stat_path(int dirfd, const char *path, struct stat &st, bool follow);
int v_stat_fd(int fd, struct stat &st);
// `effective`: as faccessat with AT_EACCESS, the effective user's rights.
int v_access(int dirfd, const char *path, int mode, bool effective = false);
// dup/dup2/dup3/F_DUPFD: runs `real` (which returns the new descriptor)
// under the lock, so the new descriptor shares the virtual file; keeps
// the standard streams in step when one of 0-2 changes.
using dup_fn = int (*)(int oldfd, int newfd, int flags);
int dup_virtual(int oldfd, int newfd, int flags, dup_fn real, bool onto);
// fcntl on a descriptor that may be virtual; `real` is libc's fcntl.
using fcntl_fn = int (*)(int, int, ...);
int fcntl_virtual(int fd, int cmd, void *arg, fcntl_fn real);
// The standard stream of descriptor 0-2 that closed stops going through
// the board.
void after_close(int fd);
// Before an exec, or a spawn whose child inherits descriptors (`all`:
// file actions may copy close-on-exec ones too): each board descriptor
// that the new program will hold gets a stand-in of its own that names
// its file, for the new program's board to adopt. after_exec undoes what
// it must when the exec failed or the spawn is done. No allocation.
void before_exec(bool all);
void after_exec();
// Descriptors closed in bulk stop being virtual.
void forget_range(unsigned int first, unsigned int last);
// True when `fd` is a virtual descriptor (takes the lock).
bool is_virtual(int fd);
// fopen of a virtual path: the stream, or null with errno; `handled` false
// when the path is real.
FILE *fopen_virtual(const char *path, const char *mode, bool &handled);
// A stream over a virtual descriptor that goes through the board.
FILE *stream_over(int fd, const char *mode);
// The board descriptor under a stream the board made, or -2 for any
// other stream (cheap while the board has made none).
int stream_fd(FILE *fp);

}  // namespace vboard
