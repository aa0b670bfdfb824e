// Cost of one sysfs access on the virtual board with the board shared
// between processes (a named board object, its lock taken on every access)
// against the same access with the board private to the process, in the
// same run.
//
// The board is chosen when a program starts, so the benchmark runs itself
// as a worker under the board twice per round, once on each, alternating
// so that drift in the machine's load hits both alike, and keeps the median
// round of each. Prints floor time / shared time per access: 1.00 means
// sharing costs nothing, and the target is at least 0.80.
//
//   vboard_sysfs_bench [CALLS] [ROUNDS]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int kPin = 22;

// What one worker round measures, in nanoseconds per access.
struct Round {
  double write_ns = 0;  // open, write, close of a value file
  double read_ns = 0;   // lseek(0) and read on a kept-open value file
};

bool write_file(const char *path, const char *text) {
  const int fd = ::open(path, O_WRONLY);
  if (fd < 0) return false;
  const auto n = static_cast<ssize_t>(std::strlen(text));
  const bool ok = ::write(fd, text, static_cast<std::size_t>(n)) == n;
  return ::close(fd) == 0 && ok;
}

template <typename F>
double ns_per_call(int calls, F body) {
  const auto start = clock_type::now();
  for (int i = 0; i < calls; ++i) body(i);
  const std::chrono::duration<double, std::nano> took = clock_type::now() - start;
  return took.count() / calls;
}

// Runs on the board: exports the pin, times both accesses, prints them.
int worker(int calls) {
  char pin_dir[64];
  std::snprintf(pin_dir, sizeof pin_dir, "/sys/class/gpio/gpio%d", kPin);
  char text[16];
  std::snprintf(text, sizeof text, "%d", kPin);
  if (::access(pin_dir, F_OK) != 0 && !write_file("/sys/class/gpio/export", text)) {
    std::perror("export");
    return 1;
  }
  const std::string direction = std::string(pin_dir) + "/direction";
  const std::string value = std::string(pin_dir) + "/value";
  if (!write_file(direction.c_str(), "out")) {
    std::perror("direction");
    return 1;
  }
  bool failed = false;
  Round r;
  r.write_ns = ns_per_call(calls, [&](int i) {
    failed |= !write_file(value.c_str(), (i & 1) != 0 ? "1" : "0");
  });
  const int fd = ::open(value.c_str(), O_RDONLY);
  if (fd < 0) {
    std::perror("value");
    return 1;
  }
  char c[2];
  r.read_ns = ns_per_call(calls, [&](int) {
    failed |= ::lseek(fd, 0, SEEK_SET) != 0 || ::read(fd, c, sizeof c) != 2;
  });
  ::close(fd);
  write_file("/sys/class/gpio/unexport", text);
  if (failed) {
    std::fprintf(stderr, "an access failed during the run\n");
    return 1;
  }
  std::printf("%.3f %.3f\n", r.write_ns, r.read_ns);
  return 0;
}

// Runs this program as a worker on `board`, through the test support that
// starts every program on the board; false after saying why.
bool run_worker(const char *self, const std::string &board, int calls, Round &out) {
  const adckit::test::Outcome o = adckit::test::run({.argv = {self, "--worker", std::to_string(calls)},
                                                     .env = {{"VBOARD_BOARD", board}},
                                                     .unset = {"VBOARD_*"},
                                                     .board = true});
  if (o.status != 0 || std::sscanf(o.out.c_str(), "%lf %lf", &out.write_ns, &out.read_ns) != 2) {
    std::fprintf(stderr, "the worker on board %s failed: %s\n", board.c_str(), o.err.c_str());
    return false;
  }
  return true;
}

double median(std::vector<double> v) {
  const auto middle = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), middle, v.end());
  return *middle;
}

void report(const char *name, const std::vector<double> &floor, const std::vector<double> &shared) {
  const double f = median(floor), s = median(shared);
  std::printf("%-26s private %8.1f ns  shared %8.1f ns  ratio %.3f\n", name, f, s, f / s);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], "--worker") == 0) return worker(std::atoi(argv[2]));
  const int calls = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 9;
  if (argc > 3 || calls <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: %s [calls per round] [rounds]\n", argv[0]);
    return 2;
  }
  const adckit::test::TempDir dir("vboard-bench");
  const std::string shared = dir / "board";
  std::vector<double> floor_write, floor_read, shared_write, shared_read;
  bool ok = true;
  for (int r = 0; r < rounds && ok; ++r) {
    Round p, s;
    ok = run_worker(argv[0], "private", calls, p) && run_worker(argv[0], shared, calls, s);
    floor_write.push_back(p.write_ns);
    floor_read.push_back(p.read_ns);
    shared_write.push_back(s.write_ns);
    shared_read.push_back(s.read_ns);
  }
  if (!ok) return 1;
  std::printf("%d rounds of %d accesses on each board, medians per access\n", rounds, calls);
  report("open+write+close value", floor_write, shared_write);
  report("lseek+read kept open", floor_read, shared_read);
  return 0;
}
