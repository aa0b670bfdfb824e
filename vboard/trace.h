#pragma once
// The trace of accesses and their modelled cost (trace.cpp, timing.cpp):
// an access records its event under the lock and leaves its trace line
// and its time to spend for after the lock; the flags that spare an
// access all of it when nobody looks (access_watch). Included by internal.h.
// See internal.h for where things live and the locking rule.
#include <cstddef>
#include <cstdint>
#include <string>

namespace vboard {

namespace config {
class reader;
}

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

}  // namespace vboard
