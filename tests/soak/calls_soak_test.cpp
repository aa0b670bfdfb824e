// A long session of rfcomm calls through the link peer and a bridge program
// on the virtual board, with an abort or interrupt message every few
// hundred calls (sent while that call runs) and a nested evaluation every
// few thousand.  Every call must get exactly one answer: Abort[] for the
// call a message was sent during, the channel's reading for every other;
// the server's resident memory and open descriptors must stay flat.  Throughput is printed per
// tenth of the run, as a ratio to the first tenth, and never asserted.
//
// ADCKIT_SOAK_CALLS sets the number of calls (default 20000; scripts/soak
// runs a million), ADCKIT_SOAK_SECONDS the bound on the whole run (default
// 1800), past which the run stops and fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <peer.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/board.hpp"
#include "support/temp_dir.hpp"

using adckit::link::Expr;
using adckit::linkpeer::Answer;
using adckit::linkpeer::Peer;
using adckit::linkpeer::PeerOptions;
using adckit::linkpeer::print;

namespace {

constexpr long kMessageEvery = 300;
constexpr long kNestEvery = 3000;
// Memory the server may gain over the run: far below what one leaked
// allocation per call would cost over a long run, far above what the
// allocator's own slack moves.
constexpr long kMaxGrowthKiB = 4096;

Expr rfcommCall(int x) { return Expr::makeFunction("rfcomm", {Expr::makeInteger(x)}); }

std::string text(const Answer &a) { return a.received ? print(a.value) : "no answer: " + a.error; }

// Waits (bounded) until the server says the call runs, and takes the sign
// away for the next one.
bool waitUntilRunning(const std::string &ready) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  struct stat st {};
  while (::stat(ready.c_str(), &st) != 0) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return ::unlink(ready.c_str()) == 0;
}

}  // namespace

TEST(CallsSoak, EveryCallGetsOneAnswerAndTheServerStaysFlat) {
  const long calls = adckit::test::board::scale("ADCKIT_SOAK_CALLS", 20000);
  const long seconds = adckit::test::board::scale("ADCKIT_SOAK_SECONDS", 1800);
  const adckit::test::TempDir dir("adckit-soak");
  const std::string folder = dir.path().string();
  const std::string ready = folder + "/ready";
  adckit::test::board::BoardCommand command = adckit::test::board::on_board(SOAK_SERVER);
  command.env.push_back("SOAK_READY=" + ready);
  adckit::test::board::BoardEnvironment board(command);
  const std::string first = command.argv.front();
  std::vector<std::string> rest(command.argv.begin() + 1, command.argv.end());
  PeerOptions options;
  options.timeoutMs = 120000;  // emulated and sanitized builds start slowly
  Peer peer = Peer::launch(first, rest, options);
  ASSERT_EQ(peer.readDefinitions().size(), 1U);

  const auto started = std::chrono::steady_clock::now();
  const auto deadline = started + std::chrono::seconds(seconds);
  const long warmup = std::min<long>(1000, calls / 10);
  long rssStart = -1, rssEnd = -1;
  int fdsStart = -1, fdsEnd = -1;
  long aborted = 0, messages = 0, nested = 0;
  std::vector<double> tenths;
  auto tenthStarted = started;
  const long tenth = std::max<long>(1, calls / 10);

  for (long i = 0; i < calls; ++i) {
    if (i == warmup) {
      rssStart = adckit::test::board::resident_kib(peer.pid());
      fdsStart = adckit::test::board::open_descriptors(peer.pid());
    }
    const int channel = static_cast<int>(i % 8);
    const bool nest = i % kNestEvery == kNestEvery - 1;
    const bool withMessage = i % kMessageEvery == kMessageEvery / 2;
    std::string error;
    const int x = nest ? 1000 + channel : withMessage ? 2000 + channel : channel;
    ASSERT_TRUE(peer.send(rfcommCall(x), error)) << "call " << i << ": " << error;
    if (withMessage) {
      ASSERT_TRUE(waitUntilRunning(ready)) << "call " << i << " did not start";
      ASSERT_TRUE(peer.message(i % (2 * kMessageEvery) < kMessageEvery ? MLAbortMessage
                                                                       : MLInterruptMessage))
          << "call " << i;
      ++messages;
    }
    Answer a = peer.await();
    ASSERT_TRUE(a.received) << "call " << i << ": " << a.error;
    ASSERT_EQ(peer.pending(), 0) << "call " << i << " got more than one answer";
    if (withMessage) {
      ASSERT_EQ(text(a), "Abort[]") << "call " << i;
      ++aborted;
    } else {
      ASSERT_EQ(text(a), std::to_string(adckit::test::board::reading(channel)))
          << "call " << i << (nest ? " (nested)" : "");
    }
    if (nest) ++nested;
    if ((i + 1) % tenth == 0) {
      auto now = std::chrono::steady_clock::now();
      tenths.push_back(static_cast<double>(tenth) /
                       std::chrono::duration<double>(now - tenthStarted).count());
      tenthStarted = now;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline)
        << "only " << i + 1 << " calls within " << seconds << " s";
  }
  rssEnd = adckit::test::board::resident_kib(peer.pid());
  fdsEnd = adckit::test::board::open_descriptors(peer.pid());
  const double total =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::printf(
      "soak: %ld calls in %.1f s (%.0f calls/s), %ld messages (%ld calls answered Abort[]), %ld "
      "nested\n",
      calls, total, static_cast<double>(calls) / total, messages, aborted, nested);
  std::printf("soak: server resident memory %ld KiB after %ld calls, %ld KiB at the end\n",
              rssStart, warmup, rssEnd);
  std::printf("soak: server open descriptors %d after %ld calls, %d at the end\n", fdsStart, warmup,
              fdsEnd);
  std::printf("soak: calls/s per tenth of the run, as a ratio to the first tenth:");
  for (double t : tenths) std::printf(" %.2f", t / tenths.front());
  std::printf("\n");

  // The evaluation requests the server sent are the nested calls.
  EXPECT_EQ(static_cast<long>(peer.evaluations().size()), nested);
  ASSERT_GT(rssStart, 0);
  ASSERT_GT(rssEnd, 0);
  // AddressSanitizer holds freed memory in quarantine, so its resident
  // size grows by design; leaks are its own report there.
  if (!adckit::test::sanitized_with("address")) {
    EXPECT_LE(rssEnd - rssStart, kMaxGrowthKiB);
  }
  EXPECT_EQ(fdsStart, fdsEnd);
  EXPECT_EQ(peer.finish(), 0);  // terminated: the entry point's result 0
}
