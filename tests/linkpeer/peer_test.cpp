#include <peer.hpp>

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "launch.hpp"

extern char** environ;

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
  auto words = command(SAMPLE_SERVER);
  std::vector<std::string> args(words.begin() + 1, words.end());
  args.insert(args.end(), extra.begin(), extra.end());
  if (options.timeoutMs < 0) options.timeoutMs = 60000;  // a hung program fails the test, not the run
  return Peer::launch(words[0], args, options);
}

std::string printed(const Answer& a) { return a.received ? print(a.value) : "no answer: " + a.error; }

pid_t spawn(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

int waitExit(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

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
  static std::vector<std::string> words;
  words = command(SAMPLE_SERVER);
  static pid_t child = -1;
  PeerOptions options;
  options.timeoutMs = 60000;
  Peer peer = Peer::listen("0", "TCPIP", options, [](const std::string& name) {
    auto w = words;
    for (const char* a : {"-linkname", name.c_str(), "-linkmode", "connect", "-linkprotocol", "TCPIP"}) w.emplace_back(a);
    child = spawn(w);
  });
  ASSERT_GT(child, 0);
  peer.readDefinitions();
  EXPECT_EQ(printed(peer.call(text("add[20, 22]"))), "42");
  peer.finish();
  EXPECT_EQ(waitExit(child), 0);
}

TEST(PeerModes, ConnectsToAListeningProgram) {
  std::string dir = (std::filesystem::temp_directory_path() / "linkpeer-test-XXXXXX").string();
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  std::string path = dir + "/sock";
  auto w = command(SAMPLE_SERVER);
  for (const char* a : {"-linkname", path.c_str(), "-linkmode", "listen"}) w.emplace_back(a);
  pid_t child = spawn(w);
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
  EXPECT_EQ(waitExit(child), 0);
  std::filesystem::remove_all(dir);
}
