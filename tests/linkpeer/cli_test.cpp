// linkpeer as a user runs it: options, lines, output and exit status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/process.hpp"

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
    EXPECT_NE(r.err.find("usage: linkpeer"), std::string::npos);
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
