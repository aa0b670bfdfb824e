#pragma once
// The shared board object's layout: what every process on a board maps.
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
#include "device.h"

namespace vboard {

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
//
// The object is a header (shared_board) and after it the slice of each
// device that keeps state there, asked for by its part (device.h) and laid
// out by parts.cpp in the parts' order; the records below are what the
// devices' slices hold. The slices' fingerprint in the header makes an
// object of another build's slices be refused as another layout.

constexpr std::uint32_t kBoardMagic = 0x56424f41;  // "VBOA"
// Raised whenever a field below changes place, size or meaning: a board
// object of another layout is refused, never read.
constexpr std::uint32_t kBoardLayout = 8;
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
// holds name it in chardev_slice::line_request; whether its owner still
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
  std::uint32_t seq;           // chardev_slice::info_seq when it was made
  std::uint32_t line;
  std::uint32_t type;  // GPIO_V2_LINE_CHANGED_*
  std::uint32_t reserved;
};

// The header every board object starts with; the devices' slices follow
// it (parts.cpp), each a record of the device's own.
struct shared_board {
  std::uint32_t magic;
  std::uint32_t layout;
  std::uint32_t size;  // the header and every slice after it
  std::uint32_t ready;
  std::uint32_t lock;          // futex word: 0 free, else the holder's ticket (see state.cpp)
  std::uint32_t lock_pid;      // the holder's process id, for telling that it is stopped
  std::uint32_t edge_seq;      // futex word: bumped at every notified edge
  std::uint32_t edge_waiting;  // 1: a process may be asleep on `edge_seq`
  std::uint32_t fingerprint;   // of the slices (parts.cpp)
  std::uint32_t ticket_seq;    // the last ticket handed out
  std::uint64_t epoch_ns;      // CLOCK_MONOTONIC at power-on: board time 0
};

// The layout is the same for every build that shares a board (32- and
// 64-bit alike).
static_assert(sizeof(shared_board) == 48);
static_assert(sizeof(shared_level) == 16);
static_assert(sizeof(shared_input) == 424);
static_assert(sizeof(shared_pin) == 12);
static_assert(sizeof(shared_spidev) == 64);
static_assert(sizeof(shared_line_event) == 24);
static_assert(offsetof(shared_line_request, flags) % 8 == 0);
static_assert(sizeof(shared_line_request) == 72 + 20 * kRequestLines + 8 + 24 * kLineEvents);
static_assert(sizeof(shared_capture) == 48 + kCaptureLevels + 16 * kCaptureRing);
static_assert(std::atomic_ref<std::uint32_t>::required_alignment <= alignof(std::uint32_t));

}  // namespace vboard
