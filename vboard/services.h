#pragma once
// Faults on paths, the trace, the inputs and the strict profile.
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

#include "board.h"
#include "capture.h"
#include "chip.h"
#include "vboard.h"
#include "config.h"

namespace vboard {

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
void trace_event(int op, const char *file, unsigned long request, std::uint64_t bytes,
                 const void *data, std::size_t data_len, std::int64_t result, int err);
inline void trace(int op, const char *file, unsigned long request, std::uint64_t bytes,
                  const void *data, std::size_t data_len, std::int64_t result, int err) {
  if (watch.trace_quiet) {
    // Nobody will see the event: it only takes its number.
    ++watch.trace_seq;
    ++watch.trace_dropped;
    return;
  }
  trace_event(op, file, request, bytes, data, data_len, result, err);
}
// Works out watch.trace_quiet again after the trace, its limit or the
// access cost model changed. Lock held.
void refresh_trace_watch();
// Reads VBOARD_TRACE and VBOARD_TRACE_LIMIT. Lock held.
void configure_trace(config::reader &r);
// The path faults (faults.cpp). Lock held.
void configure_path_faults(config::reader &r);
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
// Whether any access costs modelled time. Lock held.
bool access_costs_time();
void spend(std::int64_t ns);
// Empties the in-memory trace. Lock held.
void clear_trace();

// ---------------------------------------------------------------------------
// The chip on the pins (adc.cpp) and its inputs (inputs.cpp): their slices
// of the board object, of board `b` or of the board this process is on.
// Lock held.

struct chip_slice {
  std::int32_t wiring[4];  // clock, dout, din, cs
  std::int32_t dout_idle;
  std::uint32_t reserved;
  mcp3008_lines chip;
};
chip_slice &chip_state(shared_board &b);
const chip_slice &chip_state(const shared_board &b);
chip_slice &chip_state();

struct inputs_slice {
  double reference;
  shared_input inputs[VBOARD_CHANNELS];
};
inputs_slice &inputs_state(shared_board &b);
const inputs_slice &inputs_state(const shared_board &b);
inputs_slice &inputs_state();

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

}  // namespace vboard
