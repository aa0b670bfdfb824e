// linkpeer as a user runs it: options, lines, output and exit status.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
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

// The processes `pid` started, as the kernel lists them.
std::vector<pid_t> children(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  std::vector<pid_t> out;
  for (pid_t child = 0; file >> child;) out.push_back(child);
  return out;
}

// The entries of a folder.
std::vector<std::filesystem::path> entries(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path());
  return out;
}

// Waits for `pid` to end, up to `limit`; its raw wait status, or -1.
int waitFor(pid_t pid, std::chrono::seconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

// Orphans of the programs a test starts come to this process, so one that
// linkpeer left behind is seen (and ended) here rather than lost.
class Subreaper {
 public:
  Subreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
  ~Subreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
};

}  // namespace

// Ended by a signal, linkpeer ends the program it started, reaps it, removes
// its temporary folder and dies of the same signal, as a shell expects.
TEST(LinkpeerCli, EndingSignalsEndTheProgramAndRemoveTheTemporaryFolder) {
  Subreaper subreaper;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    adckit::test::TempDir tmp("adckit-linkpeer-signal");
    std::vector<std::string> argv{LINKPEER_PATH};
    for (auto& w : withSample({"-q", "-e", ":sleep 600000"})) argv.push_back(w);
    std::string error;
    pid_t peer = adckit::test::start({.argv = argv, .env = {{"TMPDIR", tmp.path().string()}}}, &error);
    ASSERT_GT(peer, 0) << error;
    // Until the program runs and the folder is made.
    pid_t server = -1;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
      auto started = children(peer);
      if (!started.empty() && !entries(tmp.path()).empty()) {
        server = started.front();
        break;
      }
    }
    ASSERT_GT(server, 0) << "linkpeer started nothing";
    ASSERT_EQ(entries(tmp.path()).front().filename().string().rfind("linkpeer-", 0), 0U);

    ASSERT_EQ(::kill(peer, sig), 0);
    int status = waitFor(peer, std::chrono::seconds(60));
    ASSERT_NE(status, -1) << "linkpeer still runs";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "wait status " << status;
    EXPECT_TRUE(entries(tmp.path()).empty()) << entries(tmp.path()).front();
    // Reaped by linkpeer: neither running nor left as a zombie.
    EXPECT_EQ(::kill(server, 0), -1);
    if (::kill(server, 0) == 0) {
      ::kill(server, SIGKILL);
      waitFor(server, std::chrono::seconds(60));
    }
  }
}

// A peer listening on a Unix socket removes it when a signal ends the wait.
TEST(LinkpeerCli, EndingSignalRemovesTheSocketItListensOn) {
  adckit::test::TempDir tmp("adckit-linkpeer-listen");
  const std::string socket = tmp / "link";
  std::string error;
  pid_t peer = adckit::test::start({.argv = {LINKPEER_PATH, "--listen", socket}}, &error);
  ASSERT_GT(peer, 0) << error;
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
       !std::filesystem::exists(socket) && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(std::filesystem::exists(socket));
  ASSERT_EQ(::kill(peer, SIGTERM), 0);
  int status = waitFor(peer, std::chrono::seconds(60));
  ASSERT_NE(status, -1) << "linkpeer still runs";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "wait status " << status;
  EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST(LinkpeerCli, VersionNamesTheToolkit) {
  Outcome r = linkpeer({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("linkpeer (adckit) ", 0), 0U) << r.out;
}
