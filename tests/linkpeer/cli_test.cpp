// linkpeer as a user runs it: options, lines, output and exit status.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace {

using adckit::test::Outcome;

// Runs linkpeer with ARGS, feeding INPUT on its standard input.
Outcome linkpeer(const std::vector<std::string>& args, const std::string& input = "") {
  std::vector<std::string> argv{LINKPEER_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return adckit::test::run({.argv = argv}, input);
}

// ARGS, then the sample server as linkpeer is to start it.
std::vector<std::string> withSample(std::vector<std::string> args) {
  args.push_back("--");
  for (auto& w : adckit::test::command({.argv = {LINKPEER_SAMPLE_SERVER_PATH}}).argv) args.push_back(w);
  return args;
}

}  // namespace

TEST(LinkpeerCli, RunsLinesAndPrintsAnnouncementsAndAnswers) {
  Outcome r = linkpeer(withSample({"--timeout", "60", "-e", "add[2, 3]", "-e", "# a comment", "-e", "",
                               "-e", ":send slow[30000]", "-e", ":sleep 1000", "-e", ":abort", "-e", ":await", "-e", ":resume",
                               "-e", ":raw CallPacket[0, {1}]", "-e", "twice[2]", "-e", ":quit", "-e", "add[9, 9]"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "DefineExternal[\"add[a_Integer,b_Integer]\", \"{ a, b }\", 0]\n"
            "DefineExternal[\"slow[ms_Integer]\", \"{ ms }\", 1]\n"
            "DefineExternal[\"twice[n_Integer]\", \"{ n }\", 2]\n"
            "DefineExternal[\"say[n_Integer]\", \"{ n }\", 3]\n"
            "DefineExternal[\"rows[n_Integer]\", \"{ n }\", 4]\n"
            "End\n"
            "5\n"
            "Abort[]\n"
            "EvaluatePacket[Refused[Null]]\n"
            "$Failed\n"
            "# evaluate \"add[2,2]\" (served as a call)\n"
            "4\n"
            "served until terminated\n");
  EXPECT_EQ(r.err, "");
}

TEST(LinkpeerCli, ReadsStandardInputAndReportsMissingAnswers) {
  Outcome r = linkpeer(withSample({"-q"}), "rows[2]\nadd[1]\nadd[1, 2\n:bogus\n:message 1x\nadd[1, 2]\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "{{0, 0}, {1, 1}}\n3\nserved until terminated\n");
  EXPECT_NE(r.err.find("no announced pattern fits add[1]"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("cannot read add[1, 2: ',' or ']' expected at column 9"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("unknown command :bogus"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(":message needs a code"), std::string::npos) << r.err;
}

TEST(LinkpeerCli, UsageAndStartErrorsExitWithTwo) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"--frobnicate"}, {"-e"}, {"--timeout", "soon", "--", "x"}, {"--connect", "1@h", "--", "x"}}) {
    Outcome r = linkpeer(args);
    EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
    EXPECT_NE(r.err.find("Usage: linkpeer"), std::string::npos);
  }
  Outcome missing = linkpeer({"--", "no-such-program-for-linkpeer"});
  EXPECT_EQ(missing.status, 2);
  // Refused at once, or (under an emulator) by a child that exits with 127.
  EXPECT_TRUE(missing.err.find("cannot start no-such-program-for-linkpeer") != std::string::npos ||
              missing.err.find("not found") != std::string::npos)
      << missing.err;
  Outcome refused = linkpeer({"--connect", "/nonexistent-linkpeer-socket"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("nobody accepts connections"), std::string::npos) << refused.err;
  Outcome help = linkpeer({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find(":resume"), std::string::npos);
}

namespace {

// Waits up to a minute for `test` to hold.
bool within_a_minute(const std::function<bool()>& test) {
  for (auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1); !test();
       std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    if (std::chrono::steady_clock::now() > until) return false;
  }
  return true;
}

// Sends `sig` to `pid`: whether it then died of that signal, within a
// minute.
bool dies_of(pid_t pid, int sig) {
  int status = 0;
  return ::kill(pid, sig) == 0 &&
         within_a_minute([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }) &&
         WIFSIGNALED(status) && WTERMSIG(status) == sig;
}

}  // namespace

// Ended by a signal, linkpeer ends the program it started, reaps it, removes
// its temporary folder (or the socket it listens on) and dies of the same
// signal, as a shell expects.
TEST(LinkpeerCli, EndingSignalsEndTheProgramAndRemoveWhatLinkpeerMade) {
  // Orphans come to this process, so one that linkpeer left is seen here.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    adckit::test::TempDir tmp("adckit-linkpeer-signal");
    std::vector<std::string> argv{LINKPEER_PATH};
    for (auto& w : withSample({"-q", "-e", ":sleep 600000"})) argv.push_back(w);
    const pid_t peer =
        adckit::test::start({.argv = argv, .env = {{"TMPDIR", tmp.path().string()}}});
    ASSERT_GT(peer, 0);
    // Until the program runs (the kernel lists it) and the folder is made.
    const std::string task = "/proc/" + std::to_string(peer) + "/task/" + std::to_string(peer);
    pid_t server = -1;
    // Other files may come and go there (ThreadSanitizer's runtime makes
    // one in each program it starts): linkpeer's is the one looked for.
    std::filesystem::path made;
    ASSERT_TRUE(within_a_minute([&] {
      std::ifstream(task + "/children") >> server;
      for (const auto &entry : std::filesystem::directory_iterator(tmp.path())) {
        if (entry.path().filename().string().rfind("linkpeer-", 0) == 0) made = entry.path();
      }
      return server > 0 && !made.empty();
    })) << "linkpeer started nothing";

    EXPECT_TRUE(dies_of(peer, sig));
    EXPECT_FALSE(std::filesystem::exists(made)) << made;
    // Reaped by linkpeer: neither running nor left as a zombie.
    EXPECT_NE(::kill(server, 0), 0);
    if (::kill(server, 0) == 0) dies_of(server, SIGKILL);
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);

  adckit::test::TempDir tmp("adckit-linkpeer-listen");
  const std::string socket = tmp / "link";
  const pid_t peer = adckit::test::start({.argv = {LINKPEER_PATH, "--listen", socket}});
  ASSERT_GT(peer, 0);
  ASSERT_TRUE(within_a_minute([&] { return std::filesystem::exists(socket); }));
  EXPECT_TRUE(dies_of(peer, SIGTERM));
  EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST(LinkpeerCli, VersionNamesTheToolkit) {
  Outcome r = linkpeer({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("linkpeer (adckit) ", 0), 0U) << r.out;
}
