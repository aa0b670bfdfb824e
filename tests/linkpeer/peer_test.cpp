#include <peer.hpp>

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "support/process.hpp"
#include "support/temp_dir.hpp"

using adckit::link::Expr;
using adckit::linkpeer::Answer;
using adckit::linkpeer::parse;
using adckit::linkpeer::Peer;
using adckit::linkpeer::PeerError;
using adckit::linkpeer::PeerOptions;
using adckit::linkpeer::print;

namespace {

Expr text(const char* t) { return *parse(t).expr; }

Peer launchSample(PeerOptions options = {}, std::vector<std::string> extra = {}) {
  auto words = adckit::test::command({.argv = {LINKPEER_SAMPLE_SERVER_PATH}}).argv;
  std::vector<std::string> args(words.begin() + 1, words.end());
  args.insert(args.end(), extra.begin(), extra.end());
  if (options.timeoutMs < 0) options.timeoutMs = 60000;  // a hung program fails the test, not the run
  return Peer::launch(words[0], args, options);
}

std::string printed(const Answer& a) { return a.received ? print(a.value) : "no answer: " + a.error; }

}  // namespace

TEST(PeerSession, ReadsAnnouncementsAndAnswersCalls) {
  Peer peer = launchSample();
  const auto& defs = peer.readDefinitions();
  ASSERT_EQ(defs.size(), 5u);
  EXPECT_EQ(defs[0].pattern, "add[a_Integer,b_Integer]");
  EXPECT_EQ(defs[0].arguments, "{ a, b }");
  EXPECT_EQ(defs[4].index, 4);

  EXPECT_EQ(printed(peer.call(text("add[2, 40]"))), "42");
  EXPECT_EQ(printed(peer.call(text("rows[3]"))), "{{0, 0}, {1, 1}, {2, 4}}");
  EXPECT_EQ(printed(peer.callIndex(9, {Expr::makeInteger(1)})), "$Failed");
  EXPECT_EQ(printed(peer.sendPacket(text("CallPacket[0, {1}]"))), "$Failed");
  Answer none = peer.call(text("add[1]"));
  EXPECT_FALSE(none.received);
  EXPECT_NE(none.error.find("no announced pattern fits add[1]"), std::string::npos);
  EXPECT_EQ(printed(peer.call(text("add[-1, 1]"))), "0") << "the session goes on after refusals";
  EXPECT_EQ(peer.finish(), 0) << "the program saw the terminate message";
}

TEST(PeerSession, ServesTheProgramsEvaluationRequestsInsideACall) {
  std::ostringstream events;
  PeerOptions options;
  options.events = &events;
  Peer peer = launchSample(options);
  peer.readDefinitions();
  EXPECT_EQ(printed(peer.call(text("twice[21]"))), "42");
  EXPECT_EQ(printed(peer.call(text("say[7]"))), "7");
  ASSERT_EQ(peer.evaluations().size(), 2u);
  EXPECT_EQ(print(peer.evaluations()[0]), "EvaluatePacket[ToExpression[\"add[21,21]\"]]");
  EXPECT_EQ(events.str(),
            "# evaluate \"add[21,21]\" (served as a call)\n"
            "# evaluate \"Print[\\\"hello\\\"]\"\n");
}

TEST(PeerSession, MessagesReachTheProgramWhileItComputes) {
  Peer peer = launchSample();
  peer.readDefinitions();
  std::string error;
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(peer.send(text("slow[30000]"), error)) << error;
  // The program clears its abort flag as it takes the call, so keep
  // aborting until the answer shows up.
  do {
    ASSERT_TRUE(peer.message(MLAbortMessage));
  } while (!adckit::link::waitForInput(peer.link(), 50) && MLError(peer.link()) == 0);
  EXPECT_EQ(printed(peer.await()), "Abort[]");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(printed(peer.call(text("slow[1]"))), "1") << "the abort applied to one call only";
}

TEST(PeerSession, AResumeIsRefusedAndTheSessionGoesOn) {
  Peer peer = launchSample();
  peer.readDefinitions();
  Answer refusal = peer.resume(text("LinkObject[\"x\", 1, 2]"));
  EXPECT_EQ(printed(refusal), "EvaluatePacket[Refused[LinkObject[\"x\", 1, 2]]]");
  EXPECT_EQ(printed(peer.call(text("add[1, 1]"))), "2");
}

TEST(PeerSession, AProgramThatDiesLeavesAnErrorNotAHang) {
  Peer peer = launchSample();
  peer.readDefinitions();
  std::string error;
  ASSERT_TRUE(peer.send(text("slow[30000]"), error));
  ASSERT_EQ(::kill(peer.pid(), SIGKILL), 0);
  Answer a = peer.await();
  EXPECT_FALSE(a.received);
  EXPECT_NE(a.error.find("went away"), std::string::npos) << a.error;
  EXPECT_EQ(peer.finish(), 128 + SIGKILL);
}

TEST(PeerLaunch, ReportsProgramsThatCannotStartOrConnect) {
  EXPECT_THROW(Peer::launch("no-such-program-for-linkpeer", {}), PeerError);
  try {
    launchSample({}, {"-linkmode", "sideways"});  // the program refuses its options and ends
    FAIL() << "no error";
  } catch (const PeerError& e) {
    EXPECT_NE(std::string(e.what()).find("before it opened the link"), std::string::npos) << e.what();
  }
}

TEST(PeerModes, ListensForAProgramOverTcp) {
  static pid_t child = -1;
  PeerOptions options;
  options.timeoutMs = 60000;
  Peer peer = Peer::listen("0", "TCPIP", options, [](const std::string& name) {
    child = adckit::test::start({.argv = {LINKPEER_SAMPLE_SERVER_PATH, "-linkname", name, "-linkmode",
                                          "connect", "-linkprotocol", "TCPIP"}});
  });
  ASSERT_GT(child, 0);
  peer.readDefinitions();
  EXPECT_EQ(printed(peer.call(text("add[20, 22]"))), "42");
  peer.finish();
  EXPECT_EQ(adckit::test::wait_exit(child), 0);
}

TEST(PeerModes, ConnectsToAListeningProgram) {
  adckit::test::TempDir dir("linkpeer-test");
  const std::string path = dir / "sock";
  pid_t child = adckit::test::start({.argv = {LINKPEER_SAMPLE_SERVER_PATH, "-linkname", path, "-linkmode", "listen"}});
  ASSERT_GT(child, 0);
  std::optional<Peer> peer;
  for (int tries = 0; !peer && tries < 3000; ++tries) {
    try {
      peer.emplace(Peer::connect(path, "Unix", PeerOptions{60000, nullptr}));
    } catch (const PeerError&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));  // not listening yet
    }
  }
  ASSERT_TRUE(peer);
  peer->readDefinitions();
  EXPECT_EQ(printed(peer->call(text("rows[1]"))), "{{0, 0}}");
  peer->finish();
  EXPECT_EQ(adckit::test::wait_exit(child), 0);
}
