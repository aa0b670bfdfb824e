// Calls per second through the kernel's side of a link and a bridge
// program, against the floor of the same exchange with a program that
// answers straight from the link library (no bridge runtime), measured in
// the same run.  Prints each figure and its ratio to the floor: 1.00 means
// the bridge adds nothing.
//
// usage: bridge_bench [CALLS]   (default 2000 per round, best of 15 interleaved rounds)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <peer.hpp>
#include <string>
#include <text.hpp>
#include <vector>

namespace {

using adckit::linkpeer::parse;
using adckit::linkpeer::Peer;
using adckit::linkpeer::PeerOptions;

using clock_type = std::chrono::steady_clock;

// One program under the peer, and the call the benchmark repeats.
struct Subject {
  Peer peer;
  adckit::link::Expr call;
  double best = 0;  // calls per second, best round so far
};

Subject start(const std::string &program, const std::string &text) {
  PeerOptions options;
  options.timeoutMs = 60000;
  Subject s{Peer::launch(program, {}, options), *parse(text).expr};
  s.peer.readDefinitions();
  return s;
}

void run(Subject &s, int calls) {
  for (int i = 0; i < calls; ++i) {
    if (!s.peer.call(s.call).received) throw std::runtime_error("a call went unanswered");
  }
}

}  // namespace

int main(int argc, char **argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (calls <= 0) {
    std::fprintf(stderr, "usage: bridge_bench [CALLS]  (CALLS > 0)\n");
    return 2;
  }
  // The servers read the virtual board's spidev device.
  ::setenv("LD_PRELOAD", BRIDGE_BENCH_VBOARD, 1);
  ::setenv("VBOARD_CH0", "512", 1);
  ::setenv("VBOARD_BOARD", "private", 0);  // leaves the user's board alone
  try {
    const int rounds = 15;
    std::vector<Subject> subjects;
    subjects.push_back(start(BRIDGE_BENCH_ECHO_SERVER, "echo[0]"));
    subjects.push_back(start(BRIDGE_BENCH_RFCOMM_SERVER, "rfcomm[9]"));
    subjects.push_back(start(BRIDGE_BENCH_RFCOMM_SERVER, "rfcomm[0]"));
    for (Subject &s : subjects) run(s, std::max(1, calls / 10));  // warm-up, first device open
    // Rounds take turns, so a busy machine slows floor and bridge alike.
    for (int r = 0; r < rounds; ++r) {
      for (Subject &s : subjects) {
        const auto begin = clock_type::now();
        run(s, calls);
        const std::chrono::duration<double> took = clock_type::now() - begin;
        s.best = std::max(s.best, calls / took.count());
      }
    }
    for (Subject &s : subjects) s.peer.finish();
    const double floor = subjects[0].best;
    std::printf("bridge calls per second, best of %d interleaved rounds of %d calls\n", rounds,
                calls);
    std::printf("  floor: link library alone, echo[0]          %8.0f /s  ratio 1.00\n", floor);
    std::printf("  rfcomm_server, no device access, rfcomm[9]  %8.0f /s  ratio %.2f\n",
                subjects[1].best, subjects[1].best / floor);
    std::printf("  rfcomm_server, one spidev read, rfcomm[0]   %8.0f /s  ratio %.2f\n",
                subjects[2].best, subjects[2].best / floor);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "bridge_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
