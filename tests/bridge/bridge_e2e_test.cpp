// The bridge programs as real processes, served by the kernel's side of a
// link (the Peer class behind linkpeer, and the linkpeer program itself),
// with the virtual board preloaded for their spidev device.

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <peer.hpp>
#include <string>
#include <text.hpp>
#include <thread>
#include <utility>
#include <vector>

#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/trace.hpp"

namespace {

using adckit::link::Expr;
using adckit::linkpeer::Answer;
using adckit::linkpeer::parse;
using adckit::linkpeer::Peer;
using adckit::linkpeer::PeerOptions;
using adckit::linkpeer::print;

Expr expr(const std::string &text) {
  auto parsed = parse(text);
  EXPECT_TRUE(parsed.expr.has_value()) << text << ": " << parsed.error;
  return parsed.expr ? *parsed.expr : Expr::makeSymbol("Null");
}

std::string answer_text(const Answer &answer) {
  return answer.received ? print(answer.value) : std::string("no answer: ").append(answer.error);
}

class BridgeE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    // Fixed readings, distinct per channel.
    for (int ch = 0; ch < 8; ++ch)
      env_.set(std::string("VBOARD_CH").append(std::to_string(ch)), std::to_string(100 * ch + 17));
  }

  // Starts `program` on the board under the peer.  The peer starts it with
  // this process's environment, so the board's settings go there.
  Peer &start(const std::string &program) {
    const adckit::test::Command on_board =
        adckit::test::command({.argv = {program}, .board = true});
    for (const auto &[name, value] : on_board.env) {
      if (value) {
        env_.set(name, *value);
      } else {
        env_.unset(name);
      }
    }
    std::vector<std::string> command = on_board.argv;
    const std::string first = command.front();
    command.erase(command.begin());
    PeerOptions options;
    options.timeoutMs = 120000;  // emulated and sanitized builds start slowly
    peer_.emplace(Peer::launch(first, command, options));
    peer_->readDefinitions();
    return *peer_;
  }

  std::string call(const std::string &text) { return answer_text(peer_->call(expr(text))); }

  adckit::test::ScopedEnv env_;
  std::optional<Peer> peer_;
};

TEST_F(BridgeE2E, RfcommServerAnnouncesItsPatternAndAnswersReadings) {
  Peer &peer = start(RFCOMM_SERVER_PATH);
  ASSERT_EQ(peer.definitions().size(), 1U);
  EXPECT_EQ(peer.definitions()[0].pattern, "rfcomm[x_Integer]");
  EXPECT_EQ(peer.definitions()[0].arguments, "{ x }");
  EXPECT_EQ(peer.definitions()[0].index, 0);

  EXPECT_EQ(call("rfcomm[3]"), "317");
  EXPECT_EQ(call("rfcomm[0]"), "17");
  EXPECT_EQ(call("rfcomm[7]"), "717");
  EXPECT_EQ(call("rfcomm[8]"), "-1");
  EXPECT_EQ(call("rfcomm[-1]"), "-1");
  EXPECT_EQ(peer.finish(), 0);  // terminate: the entry point's result 0
}

TEST_F(BridgeE2E, CallsThatCannotBeServedAreAnsweredFailedAndServingGoesOn) {
  Peer &peer = start(RFCOMM_SERVER_PATH);
  EXPECT_EQ(answer_text(peer.callIndex(0, {})), "$Failed");
  EXPECT_EQ(answer_text(peer.callIndex(0, {Expr::makeInteger(1), Expr::makeInteger(2)})),
            "$Failed");
  EXPECT_EQ(answer_text(peer.callIndex(0, {Expr::makeString("3")})), "$Failed");
  EXPECT_EQ(answer_text(peer.callIndex(1, {Expr::makeInteger(3)})), "$Failed");
  EXPECT_EQ(answer_text(peer.sendPacket(expr("CallPacket[0, f[3]]"))), "$Failed");
  EXPECT_EQ(call("rfcomm[5]"), "517");
  EXPECT_EQ(peer.finish(), 0);
}

TEST_F(BridgeE2E, ResumePacketIsRefusedAndServingGoesOn) {
  Peer &peer = start(RFCOMM_SERVER_PATH);
  const Answer refusal = peer.resume(expr("f[\"x\", 1]"));
  EXPECT_EQ(answer_text(refusal),
            "EvaluatePacket[Module[{Set[me, $ParentLink]}, CompoundExpression[Set[$ParentLink, "
            "f[\"x\", 1]], Message[MessageName[$ParentLink, \"notfe\"], me], me]]]");
  EXPECT_EQ(call("rfcomm[2]"), "217");
  EXPECT_EQ(answer_text(peer.resume(expr("Null"))).substr(0, 15), "EvaluatePacket[");
  EXPECT_EQ(call("rfcomm[1]"), "117");
  EXPECT_EQ(peer.finish(), 0);
}

// Waits up to `limit` for `test` to hold.
bool within(std::chrono::seconds limit, const std::function<bool()> &test) {
  for (const auto until = std::chrono::steady_clock::now() + limit; !test();
       std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
    if (std::chrono::steady_clock::now() > until) return false;
  }
  return true;
}

// A message that comes before the call is read is cleared with the call's
// start, so the test sends it only once the server says rfcomm is running.

TEST_F(BridgeE2E, AbortOrInterruptWhileRfcommRunsIsAnsweredAbort) {
  const adckit::test::TempDir dir("bridge-e2e");
  const std::filesystem::path ready = dir.path() / "ready";
  env_.set("BRIDGE_TEST_READY", ready.string());
  Peer &peer = start(BRIDGE_TEST_SERVER_PATH);
  for (int message : {3, 2}) {
    std::filesystem::remove(ready);
    std::string error;
    ASSERT_TRUE(peer.send(expr("rfcomm[500]"), error)) << error;
    ASSERT_TRUE(within(std::chrono::seconds(120), [&] { return std::filesystem::exists(ready); }));
    ASSERT_TRUE(peer.message(message));
    EXPECT_EQ(answer_text(peer.await()), "Abort[]") << "message " << message;
    // The flag is cleared before the next call.
    EXPECT_EQ(call("rfcomm[4]"), "9");
  }
  EXPECT_EQ(peer.finish(), 0);
}

TEST_F(BridgeE2E, NestedEvaluationIsServedInsideTheOuterCall) {
  Peer &peer = start(BRIDGE_TEST_SERVER_PATH);
  // rfcomm[1004] evaluates rfcomm[4]: the evaluation succeeded (1000) and
  // one call was served inside it.
  EXPECT_EQ(call("rfcomm[1004]"), "1001");
  ASSERT_EQ(peer.evaluations().size(), 1U);
  EXPECT_EQ(print(peer.evaluations()[0]), "EvaluatePacket[ToExpression[\"rfcomm[4]\"]]");
  // Two levels: rfcomm[2004] evaluates rfcomm[1004], which evaluates rfcomm[4].
  EXPECT_EQ(call("rfcomm[2004]"), "1002");
  EXPECT_EQ(peer.evaluations().size(), 3U);
  EXPECT_EQ(call("rfcomm[6]"), "13");
  EXPECT_EQ(peer.finish(), 0);
}

TEST_F(BridgeE2E, AdcServerWritesTimedRowsOfAllEightChannels) {
  Peer &peer = start(ADC_SERVER_PATH);
  ASSERT_EQ(peer.definitions().size(), 1U);
  EXPECT_EQ(peer.definitions()[0].pattern, "SPIDevMcp3008[nx_Integer,dt_Integer]");
  EXPECT_EQ(peer.definitions()[0].arguments, "{ nx, dt }");

  // The precise clock, as the server's: time() reads a coarse one that can
  // lag a tick behind, a second behind just after a second begins.
  const auto wall_seconds = [] {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
  };
  const std::time_t before = wall_seconds();
  const Answer answer = peer.call(expr("SPIDevMcp3008[3, 2000]"));
  const std::time_t after = wall_seconds();
  ASSERT_TRUE(answer.received) << answer.error;
  const Expr &rows = answer.value;
  ASSERT_TRUE(rows.isFunction("List")) << print(rows);
  ASSERT_EQ(rows.args.size(), 3U);
  std::int64_t last_ns = 0;
  for (const Expr &row : rows.args) {
    ASSERT_TRUE(row.isFunction("List")) << print(row);
    ASSERT_EQ(row.args.size(), 10U) << print(row);
    const std::int64_t sec = row.args[0].integer;
    const std::int64_t nsec = row.args[1].integer;
    EXPECT_GE(sec, before);
    EXPECT_LE(sec, after);
    EXPECT_GE(nsec, 0);
    EXPECT_LT(nsec, 1000000000);
    for (int ch = 0; ch < 8; ++ch) EXPECT_EQ(row.args[2 + ch].integer, 100 * ch + 17) << print(row);
    const std::int64_t at_ns = sec * 1000000000 + nsec;
    // Scans are dt apart at the least.
    if (last_ns != 0) {
      EXPECT_GE(at_ns - last_ns, 2000000) << print(rows);
    }
    last_ns = at_ns;
  }

  EXPECT_EQ(answer_text(peer.call(expr("SPIDevMcp3008[0, 0]"))), "{}");
  // Beyond the bounds: refused, the kernel told why, still serving.
  EXPECT_EQ(answer_text(peer.call(expr("SPIDevMcp3008[1048577, 0]"))), "$Failed");
  EXPECT_EQ(answer_text(peer.call(expr("SPIDevMcp3008[1, 10000001]"))), "$Failed");
  ASSERT_EQ(peer.evaluations().size(), 2U);
  EXPECT_EQ(print(peer.evaluations()[0]),
            "EvaluatePacket[ToExpression[\"Print[\\\"SPIDevMcp3008: nx is 1048577; at most 1048576 "
            "rows per call\\\"]\"]]");
  EXPECT_NE(print(peer.evaluations()[1]).find("dt is 10000001; at most 10000000 microseconds"),
            std::string::npos)
      << print(peer.evaluations()[1]);
  EXPECT_EQ(answer_text(peer.callIndex(0, {Expr::makeInteger(1)})), "$Failed");
  EXPECT_EQ(answer_text(peer.callIndex(
                0, {Expr::makeInteger(1), Expr::makeInteger(0), Expr::makeInteger(0)})),
            "$Failed");
  const Answer one = peer.call(expr("SPIDevMcp3008[1, 0]"));
  ASSERT_TRUE(one.received) << one.error;
  EXPECT_EQ(one.value.args.size(), 1U);
  EXPECT_EQ(peer.finish(), 0);
}

// linkpeer with `args`, then `server` on the board, as linkpeer starts it
// (with its own environment, which it passes on).
adckit::test::Program linkpeer_serving(std::vector<std::string> args, const char *server,
                                       std::map<std::string, std::string> env = {}) {
  const adckit::test::Command c = adckit::test::command({.argv = {server}, .board = true});
  args.insert(args.begin(), LINKPEER_PATH);
  args.push_back("--");
  args.insert(args.end(), c.argv.begin(), c.argv.end());
  for (const auto &[name, value] : c.env) {
    if (value) env[name] = *value;
  }
  return {.argv = args, .env = env};
}

// A kernel killed in the middle of a long scan list: the server notices
// within a row, stops scanning and ends, instead of scanning on unread.
TEST_F(BridgeE2E, AdcServerEndsSoonAfterItsKernelIsKilled) {
  adckit::test::TempDir dir("adckit-adc-orphan");
  const std::string trace = dir / "trace";
  // The orphaned server comes to this process, to be waited for here; an
  // emulator that does not pass the request on leaves only its state to see.
  const bool reaper = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
  const pid_t peer = adckit::test::start(linkpeer_serving(
      {"-q", "-e", "SPIDevMcp3008[100000, 1000000]"}, ADC_SERVER_PATH,
      // A peer killed outright leaves its folder: this test's, removed with it.
      {{"VBOARD_TRACE", trace}, {"TMPDIR", dir.path().string()}}));
  ASSERT_GT(peer, 0);

  // A second row scanned (eight transfers each, after a few settings) shows
  // the list under way; the trace names the server's process.  Rows a
  // second apart: a server that only learnt of the kernel's end once its
  // output buffer filled would scan on for minutes.
  pid_t scanner = -1;
  ASSERT_TRUE(within(std::chrono::seconds(120), [&] {
    int transfers = 0;
    for (const auto &e : adckit::test::read_trace(trace)) {
      if (e.op == "ioctl" && e.file == "/dev/spidev0.0" && ++transfers >= 24) {
        scanner = static_cast<pid_t>(e.pid);
      }
    }
    return scanner > 0;
  })) << "the scan list never got under way";

  ASSERT_EQ(::kill(peer, SIGKILL), 0);
  ASSERT_EQ(adckit::test::wait_exit(peer), 128 + SIGKILL);
  // Far less than the day the list would take; bounded, not timed.
  int status = 0;
  const bool ended = within(std::chrono::seconds(60), [&] {
    if (reaper) return ::waitpid(scanner, &status, WNOHANG) == scanner;
    std::ifstream stat("/proc/" + std::to_string(scanner) + "/stat");
    std::string pid, name, state;
    return !(stat >> pid >> name >> state) || state == "Z";  // gone, or dead and not yet reaped
  });
  if (!ended) ::kill(scanner, SIGKILL);
  if (reaper) {
    if (!ended) ::waitpid(scanner, &status, 0);
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  }
  ASSERT_TRUE(ended) << "the server still scanned a minute after its kernel was killed";
  // The serving run ended on the broken link.
  if (reaper) {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "wait status " << status;
  }
}

TEST_F(BridgeE2E, MissingDeviceIsReportedByBothServers) {
  env_.set("VBOARD_SPIDEV_MISSING", "/dev/spidev0.0");
  start(ADC_SERVER_PATH);
  EXPECT_EQ(call("SPIDevMcp3008[2, 0]"), "$Failed");
  EXPECT_EQ(peer_->finish(), 0);

  start(RFCOMM_SERVER_PATH);
  EXPECT_EQ(call("rfcomm[3]"), "-1");
  EXPECT_EQ(peer_->finish(), 0);
}

// The linkpeer program itself, as a user would run it.
TEST_F(BridgeE2E, LinkpeerProgramServesATypedSession) {
  std::vector<std::string> args{"--timeout", "120"};
  for (const char *line :
       {"rfcomm[3]", "rfcomm[1, 2]", ":raw CallPacket[0, {1, 2}]", "rfcomm[6]"}) {
    args.insert(args.end(), {"-e", line});
  }
  const adckit::test::Outcome run = adckit::test::run(linkpeer_serving(args, RFCOMM_SERVER_PATH));
  const std::string text = run.out + run.err;
  // rfcomm[1, 2] fits no pattern, so linkpeer reports it and exits 1; the
  // same list sent raw reaches the program and is answered $Failed.
  EXPECT_EQ(run.status, 1) << text;
  EXPECT_NE(run.out.find("DefineExternal[\"rfcomm[x_Integer]\", \"{ x }\", 0]\nEnd\n317\n"),
            std::string::npos)
      << text;
  EXPECT_NE(run.out.find("$Failed\n617\n"), std::string::npos) << text;
}

}  // namespace
