// Calls per second through the kernel's side of a link and a bridge
// program, against the floor of the same exchange with a program that
// answers straight from the link library (no bridge runtime), measured in
// the same run.  Prints each figure and its ratio to the floor: 1.00 means
// the bridge adds nothing.
//
// usage: bridge_bench [CALLS]   (default 5000 per round, best of 3 rounds)

#include <peer.hpp>
#include <text.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace {

using adckit::linkpeer::parse;
using adckit::linkpeer::Peer;
using adckit::linkpeer::PeerOptions;

using clock_type = std::chrono::steady_clock;

// Best calls per second over `rounds` rounds of `calls` calls of `text`.
double calls_per_second(const std::string &program, const std::string &text, int calls, int rounds) {
  PeerOptions options;
  options.timeoutMs = 60000;
  Peer peer = Peer::launch(program, {}, options);
  peer.readDefinitions();
  const auto call = *parse(text).expr;
  auto run = [&](int n) {
    for (int i = 0; i < n; ++i) {
      if (!peer.call(call).received) throw std::runtime_error(program + ": a call went unanswered");
    }
  };
  run(std::max(1, calls / 10));  // warm-up: connection, caches, first device open
  double best = 0;
  for (int r = 0; r < rounds; ++r) {
    const auto start = clock_type::now();
    run(calls);
    const std::chrono::duration<double> took = clock_type::now() - start;
    best = std::max(best, calls / took.count());
  }
  peer.finish();
  return best;
}

}  // namespace

int main(int argc, char **argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 5000;
  if (calls <= 0) {
    std::fprintf(stderr, "usage: bridge_bench [CALLS]  (CALLS > 0)\n");
    return 2;
  }
  // The servers read the virtual board's spidev device.
  ::setenv("LD_PRELOAD", BRIDGE_BENCH_VBOARD, 1);
  ::setenv("VBOARD_CH0", "512", 1);
  try {
    const int rounds = 3;
    const double floor = calls_per_second(BRIDGE_BENCH_ECHO_SERVER, "echo[0]", calls, rounds);
    const double bare = calls_per_second(BRIDGE_BENCH_RFCOMM_SERVER, "rfcomm[9]", calls, rounds);
    const double read = calls_per_second(BRIDGE_BENCH_RFCOMM_SERVER, "rfcomm[0]", calls, rounds);
    std::printf("bridge calls per second, best of %d rounds of %d calls\n", rounds, calls);
    std::printf("  floor: link library alone (echo[0])       %10.0f /s  ratio 1.00\n", floor);
    std::printf("  rfcomm_server, no device access (rfcomm[9]) %8.0f /s  ratio %.2f\n", bare, bare / floor);
    std::printf("  rfcomm_server, one spidev read (rfcomm[0])  %8.0f /s  ratio %.2f\n", read, read / floor);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "bridge_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
