// Cost of the board's accesses against the kernel path they stand in for,
// in the same run:
//
//   open+write+close of a value file   board (shared, named) against the
//   lseek+read of a kept-open one      kernel's own: a tmpfs mounted at
//                                      /sys/class in a private mount
//                                      namespace, same paths, same code
//   a 3-byte spidev message            board against one real ioctl on
//                                      /dev/null (a bare system call)
//
// The board is chosen when a program starts, so the benchmark runs itself
// as a worker twice per round, once on the board and once on the kernel,
// alternating so that drift in the machine's load hits both alike, and
// keeps the median round of each. A message takes a tenth of a
// microsecond, less than the machine's own drift from one worker to the
// next, so the board's worker also times the C library's ioctl on
// /dev/null itself (the one the board stands in front of), in batches
// between the board's: the ratio is the median of its rounds' ratios, and
// the same ioctl in the kernel's worker is shown beside it. Prints board
// time / kernel time (lower is better; the targets are 0.5, 0.2 and 0.5),
// and, where strace is installed, the real system calls each board access
// makes.
//
//   vboard_sysfs_bench [CALLS] [ROUNDS]
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr char kPinDir[] = "/sys/class/gpio/gpio22";
constexpr char kValue[] = "/sys/class/gpio/gpio22/value";

// What one worker round measures, in nanoseconds per access.
struct Round {
  double write_ns = 0;  // open, write, close of a value file
  double read_ns = 0;   // lseek(0) and read on a kept-open value file
  double spi_ns = 0;    // a 3-byte message (board), an ioctl on /dev/null (kernel)
  double null_ns = 0;   // the board's worker: the C library's ioctl on /dev/null
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

bool fail(const char *what) {
  std::fprintf(stderr, "%s: %s\n", what, std::strerror(errno));
  return false;
}

// The kernel's path: value files on a tmpfs at /sys/class that only this
// process sees (as root, or in a user namespace of its own).
bool kernel_tree() {
  if (::unshare(CLONE_NEWNS) != 0) {
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return fail("unshare");
    char map[64];
    std::snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(uid));
    write_file("/proc/self/setgroups", "deny");
    if (!write_file("/proc/self/uid_map", map)) return fail("uid_map");
    std::snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(gid));
    if (!write_file("/proc/self/gid_map", map)) return fail("gid_map");
  }
  if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return fail("mount /");
  if (::mount("tmpfs", "/sys/class", "tmpfs", 0, "size=1m") != 0) return fail("mount tmpfs");
  if (::mkdir("/sys/class/gpio", 0755) != 0 || ::mkdir(kPinDir, 0755) != 0) return fail("mkdir");
  const int fd = ::open(kValue, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ::write(fd, "0\n", 2) != 2) return fail("value");
  return ::close(fd) == 0;
}

bool board_pin() {
  if (::access(kPinDir, F_OK) != 0 && !write_file("/sys/class/gpio/export", "22")) {
    return fail("export");
  }
  return write_file("/sys/class/gpio/gpio22/direction", "out") || fail("direction");
}

// The C library's own ioctl, which the board's stands in front of.
using ioctl_call = int (*)(int, unsigned long, ...);
ioctl_call libc_ioctl() {
  void *libc = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  return libc != nullptr ? reinterpret_cast<ioctl_call>(::dlsym(libc, "ioctl")) : nullptr;
}

// One kind of access `calls` times; false when one failed. Kind 'n' is
// 's' on the board with batches of the C library's ioctl on /dev/null
// between the messages' batches, timed into `null_ns`.
bool accesses(char kind, bool board, int calls, double &ns, double &null_ns) {
  bool failed = false;
  if (kind == 'w') {
    ns = ns_per_call(calls, [&](int i) { failed |= !write_file(kValue, (i & 1) != 0 ? "1" : "0"); });
  } else if (kind == 'r') {
    const int fd = ::open(kValue, O_RDONLY);
    if (fd < 0) return fail("value");
    char c[2];
    ns = ns_per_call(calls, [&](int) {
      failed |= ::lseek(fd, 0, SEEK_SET) != 0 || ::read(fd, c, sizeof c) != 2;
    });
    ::close(fd);
  } else {
    const int fd = ::open(board ? "/dev/spidev0.0" : "/dev/null", O_RDWR);
    if (fd < 0) return fail(board ? "/dev/spidev0.0" : "/dev/null");
    std::uint8_t tx[3] = {0x01, 0x80, 0}, rx[3] = {};
    spi_ioc_transfer x{};
    x.tx_buf = reinterpret_cast<std::uintptr_t>(tx);
    x.rx_buf = reinterpret_cast<std::uintptr_t>(rx);
    x.len = 3;
    // /dev/null has no ioctl: the kernel's answer is ENOTTY.
    if (!board || kind == 's') {
      ns = ns_per_call(calls, [&](int) {
        failed |= board ? ::ioctl(fd, SPI_IOC_MESSAGE(1), &x) != 3 : ::ioctl(fd, TCGETS, rx) != -1;
      });
      ::close(fd);
      if (failed) std::fprintf(stderr, "an access failed during the run\n");
      return !failed;
    }
    const int null_fd = ::open("/dev/null", O_RDWR);
    const ioctl_call real_ioctl = libc_ioctl();
    if (null_fd < 0 || real_ioctl == nullptr) return fail("the C library's ioctl on /dev/null");
    constexpr int kBatch = 500;
    double board_sum = 0, null_sum = 0;
    for (int done = 0; done < calls; done += kBatch) {
      const int batch = std::min(kBatch, calls - done);
      board_sum += batch * ns_per_call(batch, [&](int) {
        failed |= ::ioctl(fd, SPI_IOC_MESSAGE(1), &x) != 3;
      });
      null_sum += batch * ns_per_call(batch, [&](int) {
        failed |= real_ioctl(null_fd, TCGETS, rx) != -1;
      });
    }
    ns = board_sum / calls;
    null_ns = null_sum / calls;
    ::close(null_fd);
    ::close(fd);
  }
  if (failed) std::fprintf(stderr, "an access failed during the run\n");
  return !failed;
}

// Runs on the board ("board") or the kernel's tree ("kernel"); `kinds` is
// which accesses to make ("wrn" all three). Prints the times.
int worker(const std::string &where, const std::string &kinds, int calls) {
  const bool board = where == "board";
  if (!(board ? board_pin() : kernel_tree())) return 1;
  double ns[3] = {}, null_ns = 0;
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    if (!accesses(kinds[i], board, calls, ns[i], null_ns)) return 1;
  }
  std::printf("%.3f %.3f %.3f %.3f\n", ns[0], ns[1], ns[2], null_ns);
  return 0;
}

adckit::test::Outcome start(const std::vector<std::string> &argv, const std::string &board) {
  adckit::test::Program p{.argv = argv, .env = {}, .unset = {"VBOARD_*"}, .board = !board.empty()};
  if (!board.empty()) p.env["VBOARD_BOARD"] = board;
  return adckit::test::run(p);
}

bool run_worker(const char *self, const std::string &board, int calls, Round &out) {
  const adckit::test::Outcome o =
      start({self, "--worker", board.empty() ? "kernel" : "board", "wrn", std::to_string(calls)},
            board);
  if (o.status != 0 ||
      std::sscanf(o.out.c_str(), "%lf %lf %lf %lf", &out.write_ns, &out.read_ns, &out.spi_ns,
                  &out.null_ns) != 4) {
    std::fprintf(stderr, "the worker on %s failed: %s\n", board.empty() ? "the kernel" : "the board",
                 o.err.c_str());
    return false;
  }
  return true;
}

// Real system calls strace counts for a worker making `calls` accesses of
// `kind` on the board, or -1.
long counted(const char *self, const std::string &board, char kind, int calls,
             const std::string &out) {
  const adckit::test::Outcome o = start({"strace", "-f", "-c", "-o", out, self, "--worker", "board",
                                         std::string(1, kind), std::to_string(calls)},
                                        board);
  if (o.status != 0) return -1;
  std::ifstream in(out);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The last line: "100.00 SECONDS USECS/CALL CALLS [ERRORS] total".
  const auto total = text.rfind("total");
  const auto line = text.rfind('\n', total == std::string::npos ? 0 : total);
  double share = 0, secs = 0;
  long per_call = 0, n = -1;
  if (total == std::string::npos ||
      std::sscanf(text.c_str() + (line == std::string::npos ? 0 : line + 1), "%lf %lf %ld %ld",
                  &share, &secs, &per_call, &n) != 4)
    return -1;
  return n;
}

double median(std::vector<double> v) {
  const auto middle = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), middle, v.end());
  return *middle;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 5 && std::strcmp(argv[1], "--worker") == 0) {
    return worker(argv[2], argv[3], std::atoi(argv[4]));
  }
  const int calls = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 9;
  if (argc > 3 || calls <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: %s [calls per round] [rounds]\n", argv[0]);
    return 2;
  }
  const adckit::test::TempDir dir("vboard-bench");
  const std::string board = dir / "board";
  std::vector<double> board_t[3], kernel_t[3], apart_t;
  for (int r = 0; r < rounds; ++r) {
    Round b, k;
    if (!run_worker(argv[0], board, calls, b) || !run_worker(argv[0], "", calls, k)) return 1;
    // The message against the ioctl timed beside it; the kernel's worker's
    // own ioctl is kept to show the two agree.
    const double bt[3] = {b.write_ns, b.read_ns, b.spi_ns}, kt[3] = {k.write_ns, k.read_ns, b.null_ns};
    apart_t.push_back(k.spi_ns);
    for (int i = 0; i < 3; ++i) {
      board_t[i].push_back(bt[i]);
      kernel_t[i].push_back(kt[i]);
    }
  }
  std::printf("%d rounds of %d accesses each on the board and on the kernel, medians per access\n",
              rounds, calls);
  const char *const names[3] = {"open+write+close value", "lseek+read kept open",
                                "spidev 3-byte message"};
  const char *const against[3] = {"tmpfs", "tmpfs", "ioctl on /dev/null"};
  const double targets[3] = {0.5, 0.2, 0.5};
  const char kinds[3] = {'w', 'r', 's'};
  constexpr int kCounted = 1000;
  for (int i = 0; i < 3; ++i) {
    const double b = median(board_t[i]), k = median(kernel_t[i]);
    // The ratio of each round (its board run and the kernel run next to
    // it) shows how far one figure may be trusted on this machine; the
    // message's figure is the median of its rounds' ratios.
    std::vector<double> ratios;
    for (std::size_t r = 0; r < board_t[i].size(); ++r) ratios.push_back(board_t[i][r] / kernel_t[i][r]);
    const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
    std::printf("%-24s board %8.1f ns  kernel (%s) %8.1f ns  board/kernel %.3f (target %.1f; "
                "rounds %.2f to %.2f)\n",
                names[i], b, against[i], k, kinds[i] == 's' ? median(ratios) : b / k, targets[i],
                *low, *high);
  }
  std::printf("%-24s the same ioctl in a process without the board: %.1f ns\n", "",
              median(apart_t));
  // Real system calls per board access: a run with many accesses less one
  // with none, so what starting a program costs drops out.
  const std::string out = dir / "strace.txt";
  for (int i = 0; i < 3; ++i) {
    const long one = counted(argv[0], board, kinds[i], 1, out);
    const long many = counted(argv[0], board, kinds[i], kCounted + 1, out);
    if (one < 0 || many < 0) {
      std::printf("system calls per access: not counted (strace cannot run here)\n");
      return 0;
    }
    std::printf("%-24s %.2f real system calls per access on the board\n", names[i],
                static_cast<double>(many - one) / kCounted);
  }
  return 0;
}
