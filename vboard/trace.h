#pragma once
// The trace of accesses and their modelled cost (trace.cpp, timing.cpp):
// an access records its event under the lock and leaves its trace line
// and its time to spend for after the lock. Included by internal.h.
// See internal.h for where things live and the locking rule.
#include <cstddef>
#include <cstdint>
#include <string>

namespace vboard {

namespace config {
class reader;
}

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
// Whether an access left anything for after the lock. Lock held.
bool access_pending();

}  // namespace vboard
