// The access cost model: with VBOARD_ACCESS_NS=IO[:OPEN] every access to
// the sysfs GPIO tree takes at least IO nanoseconds (a read, write, seek or
// close) or OPEN nanoseconds (an open), as it would on the target's slower
// CPU, so that a program timing its accesses on the board reports a rate
// in the range the target gives. Off by default: accesses then cost what
// they cost on the PC.
//
// The time is spent on the CPU at the end of the access, after the board
// lock is released: a program that pays for its accesses never holds up
// another program's.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "internal.h"

namespace vboard {
namespace {

constexpr std::int64_t kMaxCostNs = 1000000000;  // one second per access at most

struct costs {
  std::int64_t io_ns = 0;
  std::int64_t open_ns = 0;
};

// Plain data, set up before any code runs: every access asks.
constinit costs model{};
costs &cost() { return model; }

bool parse_cost(std::string_view s, std::int64_t &out) {
  long n = 0;
  if (!config::parse_long(s, n) || n < 0 || n > kMaxCostNs) return false;
  out = n;
  return true;
}

void read_costs(config::reader &r, costs &c);

}  // namespace

void configure_timing(config::reader &r) {
  costs &c = cost();
  if (r.restore()) c = {};
  read_costs(r, c);
  refresh_trace_watch();
}

bool access_costs_time() {
  const costs &c = cost();
  return c.io_ns != 0 || c.open_ns != 0;
}

namespace {
void read_costs(config::reader &r, costs &c) {
  const char *v = r.get("VBOARD_ACCESS_NS");
  if (v == nullptr) return;
  const auto f = config::split(v, ':');
  costs parsed;
  bool ok = (f.size() == 1 || f.size() == 2) && parse_cost(f[0], parsed.io_ns);
  parsed.open_ns = parsed.io_ns;
  if (ok && f.size() == 2) ok = parse_cost(f[1], parsed.open_ns);
  if (!ok) {
    r.bad("VBOARD_ACCESS_NS", v,
          "IO or IO:OPEN, nanoseconds per access and per open, 0 to 1000000000");
    return;
  }
  c = parsed;
}
}  // namespace

std::int64_t access_cost(int op, const char *file) {
  const costs &c = cost();
  if (c.io_ns == 0 && c.open_ns == 0) return 0;
  if (op == VBOARD_OP_NOTE || file == nullptr || std::strncmp(file, "/sys/", 5) != 0) return 0;
  return op == VBOARD_OP_OPEN ? c.open_ns : c.io_ns;
}

void spend(std::int64_t ns) {
  if (ns <= 0) return;
  // Spun, not slept: a sleep overshoots by the timer slack (some 50 us),
  // more than a whole access costs on the target.
  const std::uint64_t until = monotonic_ns() + static_cast<std::uint64_t>(ns);
  while (monotonic_ns() < until) {
  }
}

}  // namespace vboard
