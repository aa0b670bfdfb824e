// Cost of gpio_write and gpio_read against the bare system calls they are
// built from: open/write/close and open/read/close of the same sysfs files,
// in the same run, on a private tmpfs at the real paths.
//
// Prints each figure as floor time / our time: 1.00 means no overhead, and
// the target is at least 0.90.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "gpio.h"
#include "sysfs_sandbox.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int out_pin = 4;
constexpr int in_pin = 27;
constexpr const char *out_value = "/sys/class/gpio/gpio4/value";
constexpr const char *in_value = "/sys/class/gpio/gpio27/value";

volatile int sink;  // keeps the loops' results alive

void floor_write(int level) {
  const int fd = ::open(out_value, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  const char digit = level != 0 ? '1' : '0';
  if (::write(fd, &digit, 1) != 1) {
    std::abort();
  }
  ::close(fd);
}

int floor_read() {
  const int fd = ::open(in_value, O_RDONLY);
  char c = 0;
  const ssize_t n = ::read(fd, &c, 1);
  ::close(fd);
  return n == 1 ? c == '1' : -1;
}

// Nanoseconds per call of `body` over `calls` calls.
template <typename F>
double time_per_call(int calls, F body) {
  const auto start = clock_type::now();
  for (int i = 0; i < calls; ++i) {
    body(i);
  }
  const std::chrono::duration<double, std::nano> took = clock_type::now() - start;
  return took.count() / calls;
}

struct Figure {
  double floor_ns;
  double ours_ns;
};

// Alternates floor and measured rounds so drift in the machine's load hits
// both alike, and keeps the median round of each.
template <typename Floor, typename Ours>
Figure compare(int rounds, int calls, Floor floor_body, Ours our_body) {
  std::vector<double> floor_ns, ours_ns;
  for (int r = 0; r < rounds; ++r) {
    floor_ns.push_back(time_per_call(calls, floor_body));
    ours_ns.push_back(time_per_call(calls, our_body));
  }
  auto median = [](std::vector<double> v) {
    const auto middle = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), middle, v.end());
    return *middle;
  };
  return {median(floor_ns), median(ours_ns)};
}

void report(const char *name, const Figure &f) {
  std::printf("%-11s floor %8.1f ns/call  ours %8.1f ns/call  ratio %.3f\n", name, f.floor_ns,
              f.ours_ns, f.floor_ns / f.ours_ns);
}

}  // namespace

int main(int argc, char **argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
  if (calls <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: %s [calls per round] [rounds]\n", argv[0]);
    return 2;
  }
  sampler_test::SysfsSandbox sandbox;
  if (const std::string why = sandbox.mount(); !why.empty()) {
    std::fprintf(stderr, "cannot set up a private /sys/class (%s); run as root\n", why.c_str());
    return 1;
  }
  sampler_test::SysfsSandbox::make_pin(out_pin, "0");
  sampler_test::SysfsSandbox::make_pin(in_pin, "1\n");

  std::printf("%d rounds of %d calls, medians\n", rounds, calls);
  report("gpio_write", compare(
                           rounds, calls, [](int i) { floor_write(i & 1); },
                           [](int i) { gpio_write(out_pin, i & 1); }));
  report("gpio_read", compare(
                          rounds, calls, [](int) { sink = floor_read(); },
                          [](int) { sink = gpio_read(in_pin); }));
  return 0;
}
