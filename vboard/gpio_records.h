#pragma once
// The GPIO lines' records in the board object: a pin as the sysfs side
// keeps it, and the character device's line requests, their queued edge
// events and the line info changes watchers are told. Their slices are in
// gpio_sides.h. Included by gpio_sides.h.
// See internal.h for where things live and the locking rule.
#include <cstddef>
#include <cstdint>

namespace vboard {

constexpr int kMaxPins = 1024;
constexpr int kLineRequests = 64;  // line requests open at once on a board
constexpr int kRequestLines = 64;  // lines in one request
constexpr int kLineEvents = 64;    // room in a request's queue of edge events
constexpr int kInfoChanges = 64;   // line info changes the board keeps for watchers

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

static_assert(sizeof(shared_pin) == 12);
static_assert(sizeof(shared_line_event) == 24);
static_assert(offsetof(shared_line_request, flags) % 8 == 0);
static_assert(sizeof(shared_line_request) == 72 + 20 * kRequestLines + 8 + 24 * kLineEvents);

}  // namespace vboard
