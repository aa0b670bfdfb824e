// The shared runtime and the rfcomm installation, driven through the
// recording fake of the link library.

#include <bridge.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "fake_link.h"

using fake::code;
using fake::fails;
using fake::ok;
using fake::Reply;
using Log = std::vector<std::string>;

extern "C" int bridge_c_api_complete(void);
extern "C" std::size_t bridge_c_func_size(void);
extern "C" std::size_t bridge_c_func_name_offset(void);

namespace {

// Taken during static initialisation, before any test can run a serving run.
const bool kStateZeroAtStart = MLAbort == 0 && MLDone == 0 && MLSpecialCharacter == 0 &&
                               stdlink == nullptr && stdenv == nullptr && stdyielder == nullptr &&
                               stdhandler == nullptr;
const bool kCSawCompleteApi = bridge_c_api_complete() != 0;

std::vector<int> rfcomm_calls;
std::function<int(int)> rfcomm_body;

}  // namespace

extern "C" int rfcomm(int x) {
  rfcomm_calls.push_back(x);
  return rfcomm_body ? rfcomm_body(x) : 10 * x;
}

namespace {

Reply ok_then(int value, std::function<void()> before) { return {1, value, std::move(before)}; }

const Log kInstall = {"MLConnect",
                      "MLPutFunction(DefineExternal,3)",
                      "MLPutString(rfcomm[x_Integer])",
                      "MLPutString({ x })",
                      "MLPutInteger(0)",
                      "MLError",
                      "MLPutSymbol(End)",
                      "MLFlush"};

// The reads of one accepted call rfcomm[x] and the answer x * 10.
Log served(int x) {
  std::string answer = "MLPutInteger(";
  answer.append(std::to_string(10 * x)).append(")");
  return {"MLGetInteger", "MLTestHead(List)", "MLGetInteger", "MLNewPacket",
          answer,         "MLEndPacket",      "MLNewPacket"};
}

Log join(std::initializer_list<Log> parts) {
  Log all;
  for (const Log &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

const Log kNextPass = {"MLError", "MLWaitForLinkActivity", "MLNextPacket"};

void script_call(int x) {
  fake::script("MLNextPacket", {code(CALLPKT)});
  fake::script("MLGetInteger", {ok(0), ok(x)});
  fake::script("MLTestHead", {ok(1)});
}

class Bridge : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    MLAbort = 0;
    MLDone = 0;
    stdlink = nullptr;
    stdenv = nullptr;
    stdyielder = nullptr;
    stdhandler = nullptr;
    rfcomm_calls.clear();
    rfcomm_body = nullptr;
  }
  static MLINK link() { return fake::link(); }
};

// ---- Module state and the default message handler ----

TEST(BridgeState, EverythingIsZeroBeforeAnyRunAndVisibleFromC) {
  EXPECT_TRUE(kStateZeroAtStart);
  EXPECT_TRUE(kCSawCompleteApi);
  EXPECT_EQ(bridge_c_func_size(), sizeof(func));
  EXPECT_EQ(bridge_c_func_name_offset(), offsetof(func, f_name));
}

TEST_F(Bridge, DefaultHandlerTurnsOnlyTerminateInterruptAndAbortIntoFlags) {
  struct row {
    int message;
    int done;
    int abort;
  };
  std::vector<row> rows = {{1, 1, 1},  {2, 0, 1}, {3, 0, 1}, {0, 0, 0},
                           {-1, 0, 0}, {4, 0, 0}, {12, 0, 0}};
  for (int user = 128; user <= 255; ++user) rows.push_back({user, 0, 0});
  for (const row &r : rows) {
    MLAbort = 0;
    MLDone = 0;
    MLDefaultHandler(link(), r.message, 0);
    EXPECT_EQ(MLDone, r.done) << "message " << r.message;
    EXPECT_EQ(MLAbort, r.abort) << "message " << r.message;
  }
}

// ---- Installation ----

TEST_F(Bridge, InstallAnnouncesOneDefinitionWithIndexZeroThenEndAndFlushesOnce) {
  EXPECT_NE(MLInstall(link()), 0);
  EXPECT_EQ(fake::log(), kInstall);
}

TEST_F(Bridge, InstallStopsAtTheFirstFailingStep) {
  fake::script("MLConnect", {fails()});
  EXPECT_EQ(MLInstall(link()), 0);
  EXPECT_EQ(fake::log(), Log{"MLConnect"});

  fake::reset();
  fake::script("MLError", {code(7)});  // the definition left the link broken
  EXPECT_EQ(MLInstall(link()), 0);
  EXPECT_EQ(fake::log(), Log(kInstall.begin(), kInstall.begin() + 6));

  fake::reset();
  fake::script("MLPutSymbol", {fails()});
  EXPECT_EQ(MLInstall(link()), 0);
  EXPECT_EQ(fake::count("MLFlush"), 0);
}

// ---- Serving run and entry points ----

TEST_F(Bridge, MainServesOneCallFromOpenToRelease) {
  std::array<char *, 2> args{const_cast<char *>("server"), const_cast<char *>("-linkname")};
  script_call(5);
  EXPECT_EQ(MLMain(2, args.data()), 1);
  EXPECT_EQ(fake::log(), join({{"MLInitialize", "MLOpenArgcArgv(2)", "MLSetMessageHandler"},
                               kInstall,
                               kNextPass,
                               served(5),
                               kNextPass,
                               {"MLClose", "MLDeinitialize"}}));
  EXPECT_EQ(fake::last_open().argv, args.data());
  EXPECT_EQ(rfcomm_calls, (std::vector<int>{5}));
  EXPECT_EQ(stdlink, link());
  EXPECT_EQ(stdenv, nullptr);
  EXPECT_EQ(stdhandler, &MLDefaultHandler);  // stays for later runs
  EXPECT_EQ(fake::installed_handler(), &MLDefaultHandler);
  EXPECT_EQ(fake::count("MLSetYieldFunction"), 0);
}

TEST_F(Bridge, MainWithNoArgumentsOpensWithCountZeroAndNegativeCountIsRefused) {
  std::array<char *, 1> args{nullptr};
  EXPECT_EQ(MLMain(0, args.data()), 1);
  EXPECT_EQ(fake::last_open().argc, 0);
  EXPECT_EQ(fake::count("MLOpenString"), 0);

  fake::reset();
  EXPECT_EQ(MLMain(-1, args.data()), -1);
  EXPECT_TRUE(fake::log().empty());
}

TEST_F(Bridge, MainArgvCopiesThePointersAndOpensFromTheCopy) {
  std::array<char *, 3> args{const_cast<char *>("-linkmode"), const_cast<char *>("listen"),
                             const_cast<char *>("-linkname")};
  EXPECT_EQ(MLMainArgv(args.data(), args.data() + 3), 1);
  const fake::OpenRecord first = fake::last_open();
  EXPECT_EQ(first.argc, 3);
  EXPECT_NE(first.argv, args.data());
  EXPECT_EQ(first.args, (std::vector<std::string>{"-linkmode", "listen", "-linkname"}));
  EXPECT_EQ(fake::count("MLOpenString"), 0);

  // An empty range opens with a count of 0 and the start of the same copy.
  EXPECT_EQ(MLMainArgv(args.data(), args.data()), 1);
  EXPECT_EQ(fake::last_open().argc, 0);
  EXPECT_EQ(fake::last_open().argv, first.argv);
  // So does an end below the start.
  EXPECT_EQ(MLMainArgv(args.data() + 2, args.data()), 1);
  EXPECT_EQ(fake::last_open().argc, 0);
}

TEST_F(Bridge, MainArgvTakes128ArgumentsAndRefusesMoreWithoutOpening) {
  std::array<char *, 129> args{};
  std::vector<std::string> texts(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    texts[i] = std::to_string(i).insert(0, 1, 'a');
    args[i] = texts[i].data();
  }
  EXPECT_EQ(MLMainArgv(args.data(), args.data() + 128), 1);
  EXPECT_EQ(fake::last_open().argc, 128);
  EXPECT_EQ(fake::last_open().args.back(), "a127");

  fake::reset();
  stdhandler = nullptr;
  EXPECT_EQ(MLMainArgv(args.data(), args.data() + 129), -1);
  EXPECT_TRUE(fake::log().empty());
  EXPECT_EQ(stdhandler, nullptr);
  EXPECT_EQ(stdenv, nullptr);
}

TEST_F(Bridge, MainStringOpensFromTheCommandLineOnly) {
  char line[] = "-linkname 5000 -linkmode connect";
  EXPECT_EQ(MLMainString(line), 1);
  EXPECT_EQ(fake::count("MLOpenString(-linkname 5000 -linkmode connect)"), 1);
  EXPECT_EQ(fake::count("MLOpenArgcArgv"), 0);
  EXPECT_EQ(fake::last_open().argc, -1);
}

TEST_F(Bridge, FailedEnvironmentIsSilentAndFollowsTheDoneFlag) {
  char line[] = "-linkname x";
  fake::script("MLInitialize", {fails()});
  EXPECT_EQ(MLMainString(line), 1);
  EXPECT_EQ(fake::log(), Log{"MLInitialize"});
  EXPECT_EQ(stdhandler, nullptr);

  fake::reset();
  fake::script("MLInitialize", {fails()});
  MLDone = 1;
  EXPECT_EQ(MLMainString(line), 0);
}

TEST_F(Bridge, FailedOpenShowsOneAlertWithTheLibrarysTextAndReleases) {
  char line[] = "-linkname nowhere";
  fake::script("MLOpenString", {fails(42)});
  EXPECT_EQ(MLMainString(line), 1);
  EXPECT_EQ(fake::log(), (Log{"MLInitialize", "MLOpenString(-linkname nowhere)",
                              "MLErrorString(42)", "MLAlert(error text 42)", "MLDeinitialize"}));
  EXPECT_EQ(stdenv, nullptr);
}

void custom_handler(MLINK, int, int) {}
int custom_yielder(MLINK, MLYieldParameters) { return 0; }

TEST_F(Bridge, StoredEnvironmentHandlerAndYielderAreUsedAndOnlyTheEnvironmentCleared) {
  stdenv = fake::env();
  stdhandler = custom_handler;
  stdyielder = custom_yielder;
  char line[] = "-linkname x";
  EXPECT_EQ(MLMainString(line), 1);
  EXPECT_EQ(fake::count("MLInitialize"), 0);
  EXPECT_EQ(fake::installed_handler(), &custom_handler);
  EXPECT_EQ(fake::installed_yielder(), &custom_yielder);
  const Log installs = fake::log_from(1);
  for (const char *call : {"MLSetYieldFunction", "MLSetMessageHandler"})
    EXPECT_NE(std::find(installs.begin(), installs.end(), call), installs.end()) << call;
  EXPECT_EQ(fake::count("MLDeinitialize"), 1);
  EXPECT_EQ(stdenv, nullptr);
  EXPECT_EQ(stdhandler, &custom_handler);
  EXPECT_EQ(stdyielder, &custom_yielder);
}

TEST_F(Bridge, FailedInstallClosesWithoutAnswering) {
  char line[] = "-linkname x";
  fake::script("MLConnect", {fails()});
  EXPECT_EQ(MLMainString(line), 1);
  EXPECT_EQ(fake::log(), (Log{"MLInitialize", "MLOpenString(-linkname x)", "MLSetMessageHandler",
                              "MLConnect", "MLClose", "MLDeinitialize"}));
}

TEST_F(Bridge, EveryAnswerButResumeEndsTheRun) {
  char line[] = "-linkname x";
  for (int pkt : {RETURNPKT, SUSPENDPKT, 40, 63}) {
    fake::reset();
    fake::script("MLNextPacket", {code(pkt)});
    EXPECT_EQ(MLMainString(line), 1);
    EXPECT_EQ(fake::count("MLNextPacket"), 1) << pkt;
    EXPECT_EQ(fake::count("MLClose"), 1) << pkt;
    EXPECT_EQ(fake::count("MLPutFunction(EvaluatePacket"), 0) << pkt;
  }
}

const Log kRefusalWrites = {"MLPutFunction(EvaluatePacket,1)",
                            "MLPutFunction(Module,2)",
                            "MLPutFunction(List,1)",
                            "MLPutFunction(Set,2)",
                            "MLPutSymbol(me)",
                            "MLPutSymbol($ParentLink)",
                            "MLPutFunction(CompoundExpression,3)",
                            "MLPutFunction(Set,2)",
                            "MLPutSymbol($ParentLink)",
                            "MLTransferExpression(same)",
                            "MLPutFunction(Message,2)",
                            "MLPutFunction(MessageName,2)",
                            "MLPutSymbol($ParentLink)",
                            "MLPutString(notfe)",
                            "MLPutSymbol(me)",
                            "MLPutSymbol(me)",
                            "MLEndPacket"};

TEST_F(Bridge, ResumeIsRefusedWriteByWriteThenPacketsAreDroppedUpToTheSuspend) {
  char line[] = "-linkname x";
  // Two resumes, the first answered by two packets before its suspend.
  fake::script("MLNextPacket", {code(RESUMEPKT), code(RETURNPKT), code(40), code(SUSPENDPKT),
                                code(RESUMEPKT), code(SUSPENDPKT), code(0)});
  EXPECT_EQ(MLMainString(line), 1);
  const Log expected = join({{"MLInitialize", "MLOpenString(-linkname x)", "MLSetMessageHandler"},
                             kInstall,
                             kNextPass,
                             kRefusalWrites,
                             {"MLNextPacket", "MLNewPacket", "MLNextPacket", "MLNewPacket",
                              "MLNextPacket", "MLNewPacket", "MLError"},
                             kNextPass,
                             kRefusalWrites,
                             {"MLNextPacket", "MLNewPacket", "MLError"},
                             kNextPass,
                             {"MLClose", "MLDeinitialize"}});
  EXPECT_EQ(fake::log(), expected);
}

TEST_F(Bridge, RefusalIgnoresFailingWritesAndALinkErrorAfterItEndsTheRun) {
  char line[] = "-linkname x";
  fake::set_default("MLPutFunction", 0);
  fake::script("MLPutSymbol", {ok()});  // End, so the install succeeds
  fake::set_default("MLPutSymbol", 0);
  fake::script("MLNextPacket", {code(RESUMEPKT), code(0)});
  // Healthy through install and the first pass, broken after the refusal.
  fake::script("MLError", {code(0), code(0), code(1)});
  EXPECT_EQ(MLMainString(line), 1);
  EXPECT_EQ(fake::count("MLPutFunction"), 9);  // the definition and all 8 of the refusal
  EXPECT_EQ(fake::count("MLEndPacket"), 1);
  EXPECT_EQ(fake::count("MLWaitForLinkActivity"), 1);
  EXPECT_EQ(fake::log().back(), "MLDeinitialize");
}

TEST_F(Bridge, TerminateDuringACallEndsTheRunWithZeroAndDoneStaysForTheNextRun) {
  char line[] = "-linkname x";
  script_call(3);
  rfcomm_body = [](int x) {
    fake::installed_handler()(fake::link(), MLTerminateMessage, 0);
    return x;
  };
  EXPECT_EQ(MLMainString(line), 0);
  EXPECT_EQ(fake::count("MLPutFunction(Abort,0)"), 1);
  EXPECT_EQ(fake::count("MLPutInteger(3)"), 0);
  EXPECT_EQ(fake::count("MLWaitForLinkActivity"), 1);  // no pass after the call
  EXPECT_EQ(MLAbort, 0);
  EXPECT_EQ(MLDone, 1);

  // A later run still opens and installs, but answers nothing.
  fake::reset();
  EXPECT_EQ(MLMainString(line), 0);
  EXPECT_EQ(fake::log(), join({{"MLInitialize", "MLOpenString(-linkname x)", "MLSetMessageHandler"},
                               kInstall,
                               {"MLClose", "MLDeinitialize"}}));
}

// ---- Answering loop and dispatch ----

TEST_F(Bridge, AnswerServesCallsInARowAndReturnsTheFirstOtherPacketUnread) {
  script_call(1);
  script_call(2);
  fake::script("MLNextPacket", {code(SUSPENDPKT)});
  EXPECT_EQ(MLAnswer(link()), SUSPENDPKT);
  EXPECT_EQ(rfcomm_calls, (std::vector<int>{1, 2}));
  EXPECT_EQ(fake::log(), join({kNextPass, served(1), kNextPass, served(2), kNextPass}));
}

TEST_F(Bridge, AnswerResultTracksHowTheLoopEnded) {
  // Link error right after a served call: the call's code stays.
  script_call(1);
  fake::script("MLError", {code(0), code(1)});
  EXPECT_EQ(MLAnswer(link()), CALLPKT);

  // Waiting fails before any packet: 0, and nothing is read.
  fake::reset();
  fake::script("MLWaitForLinkActivity", {code(2)});
  EXPECT_EQ(MLAnswer(link()), 0);
  EXPECT_EQ(fake::count("MLNextPacket"), 0);

  // A read error: 0.
  fake::reset();
  EXPECT_EQ(MLAnswer(link()), 0);

  // Done set: returns at once and leaves the abort flag clear.
  fake::reset();
  MLDone = 1;
  MLAbort = 1;
  EXPECT_EQ(MLAnswer(link()), 0);
  EXPECT_TRUE(fake::log().empty());
  EXPECT_EQ(MLAbort, 0);
}

TEST_F(Bridge, CallsThatCannotBeServedAreAnsweredFailedAndTheLoopGoesOn) {
  struct bad_call {
    const char *what;
    std::vector<Reply> integers;
    std::vector<Reply> heads;
    Log reads;
  };
  const std::vector<bad_call> cases = {
      {"index -1", {ok(-1)}, {}, {"MLGetInteger"}},
      {"index past the table", {ok(1)}, {}, {"MLGetInteger"}},
      {"index unreadable", {fails()}, {}, {"MLGetInteger"}},
      {"head not List", {ok(0)}, {fails()}, {"MLGetInteger", "MLTestHead(List)"}},
      {"empty list", {ok(0)}, {ok(0)}, {"MLGetInteger", "MLTestHead(List)"}},
      {"two elements", {ok(0)}, {ok(2)}, {"MLGetInteger", "MLTestHead(List)"}},
      {"argument not an integer",
       {ok(0), fails()},
       {ok(1)},
       {"MLGetInteger", "MLTestHead(List)", "MLGetInteger"}},
  };
  for (const bad_call &c : cases) {
    fake::reset();
    rfcomm_calls.clear();
    fake::script("MLNextPacket", {code(CALLPKT)});
    fake::script("MLGetInteger", c.integers);
    fake::script("MLTestHead", c.heads);
    script_call(4);  // the next call is still served
    EXPECT_EQ(MLAnswer(link()), 0) << c.what;
    EXPECT_EQ(fake::log(),
              join({kNextPass,
                    c.reads,
                    {"MLClearError", "MLPutSymbol($Failed)", "MLEndPacket", "MLNewPacket"},
                    kNextPass,
                    served(4),
                    kNextPass}))
        << c.what;
    EXPECT_EQ(rfcomm_calls, (std::vector<int>{4})) << c.what;
  }
}

TEST_F(Bridge, FailingAnswerWriteIsClearedAndAnsweredFailed) {
  script_call(6);
  fake::script("MLPutInteger", {fails()});
  EXPECT_EQ(MLAnswer(link()), 0);
  EXPECT_EQ(fake::log_from(3),
            (Log{"MLGetInteger", "MLTestHead(List)", "MLGetInteger", "MLNewPacket",
                 "MLPutInteger(60)", "MLClearError", "MLPutSymbol($Failed)", "MLEndPacket",
                 "MLNewPacket", "MLError", "MLWaitForLinkActivity", "MLNextPacket"}));
}

TEST_F(Bridge, DroppingTheCallPacketFailsBeforeRfcommIsCalled) {
  script_call(6);
  fake::script("MLNewPacket", {fails()});
  EXPECT_EQ(MLAnswer(link()), 0);
  EXPECT_TRUE(rfcomm_calls.empty());
  EXPECT_EQ(fake::count("MLPutSymbol($Failed)"), 1);
}

TEST_F(Bridge, FailingClearErrorWritesNothingAndTheNextErrorTestEndsTheLoop) {
  fake::script("MLNextPacket", {code(CALLPKT)});
  fake::script("MLGetInteger", {ok(9)});
  fake::script("MLClearError", {fails()});
  fake::script("MLError", {code(0), code(1)});
  EXPECT_EQ(MLAnswer(link()), 0);
  EXPECT_EQ(fake::log(), join({kNextPass, {"MLGetInteger", "MLClearError", "MLError"}}));
}

TEST_F(Bridge, EndingOrDroppingTheAnswerPacketFailsTheCall) {
  script_call(1);
  fake::script("MLEndPacket", {fails()});
  EXPECT_EQ(MLDoCallPacket(link()), 0);
  EXPECT_EQ(fake::count("MLNewPacket"), 1);  // only the trampoline's

  fake::reset();
  fake::script("MLGetInteger", {ok(0), ok(1)});
  fake::script("MLTestHead", {ok(1)});
  fake::script("MLNewPacket", {ok(), fails()});
  EXPECT_EQ(MLDoCallPacket(link()), 0);
}

std::vector<int> table_calls;
int record_call(MLINK) {
  table_calls.push_back(1);
  return 1;
}

TEST_F(Bridge, TableEntriesDecideHowTheListIsChecked) {
  const func table[] = {
      {1, 1, record_call, "at_least_one"},
      {-1, 0, record_call, "any"},
      {0, 0, nullptr, "missing"},
  };
  table_calls.clear();
  fake::script("MLGetInteger", {ok(0)});
  fake::script("MLTestHead", {ok(3)});
  EXPECT_EQ(_MLDoCallPacket(link(), table, 3), 1);
  EXPECT_EQ(stdlink, link());

  fake::script("MLGetInteger", {ok(0)});
  fake::script("MLTestHead", {ok(0)});
  EXPECT_EQ(_MLDoCallPacket(link(), table, 3), 1);  // answered $Failed
  EXPECT_EQ(table_calls.size(), 1U);

  fake::reset();
  fake::script("MLGetInteger", {ok(1)});
  EXPECT_EQ(_MLDoCallPacket(link(), table, 3), 1);
  EXPECT_EQ(table_calls.size(), 2U);
  EXPECT_EQ(fake::count("MLTestHead"), 0);

  // An entry without a function is a call that cannot be served.
  fake::reset();
  fake::script("MLGetInteger", {ok(2)});
  fake::script("MLTestHead", {ok(0)});
  EXPECT_EQ(_MLDoCallPacket(link(), table, 3), 1);
  EXPECT_EQ(fake::count("MLPutSymbol($Failed)"), 1);
}

TEST_F(Bridge, AbortDuringRfcommAnswersAbortAndIsClearedForTheNextCall) {
  script_call(2);
  script_call(3);
  std::vector<int> abort_seen;
  rfcomm_body = [&abort_seen](int x) {
    abort_seen.push_back(MLAbort);
    if (x == 2) MLDefaultHandler(fake::link(), MLAbortMessage, 0);
    return 10 * x;
  };
  MLAbort = 1;  // left over from before: cleared before the first call
  EXPECT_EQ(MLAnswer(link()), 0);
  EXPECT_EQ(abort_seen, (std::vector<int>{0, 0}));
  EXPECT_EQ(fake::count("MLPutFunction(Abort,0)"), 1);
  EXPECT_EQ(fake::count("MLPutInteger(20)"), 0);
  EXPECT_EQ(fake::count("MLPutInteger(30)"), 1);
  EXPECT_EQ(MLAbort, 0);
}

TEST_F(Bridge, ServedCallFollowedByTerminateMakesAnswerReturnCall) {
  script_call(1);
  fake::script("MLEndPacket",
               {ok_then(1, [] { MLDefaultHandler(fake::link(), MLTerminateMessage, 0); })});
  EXPECT_EQ(MLAnswer(link()), CALLPKT);
  EXPECT_EQ(fake::count("MLPutInteger(10)"), 1);
  EXPECT_EQ(fake::count("MLWaitForLinkActivity"), 1);
  EXPECT_EQ(MLAbort, 0);
  EXPECT_EQ(MLDone, 1);
}

// ---- Evaluation requests ----

TEST_F(Bridge, EvaluateWritesOnePacketAndStopsAtTheFirstFailure) {
  char text[] = "1+1";
  EXPECT_EQ(MLEvaluate(link(), text), 1);
  EXPECT_EQ(fake::log(), (Log{"MLPutFunction(EvaluatePacket,1)", "MLPutFunction(ToExpression,1)",
                              "MLPutString(1+1)", "MLEndPacket"}));
  fake::reset();
  fake::script("MLPutString", {fails()});
  EXPECT_EQ(MLEvaluate(link(), text), 0);
  EXPECT_EQ(fake::count("MLEndPacket"), 0);
}

TEST_F(Bridge, EvaluationWritesNothingWhileAborted) {
  char text[] = "1+1";
  MLAbort = 1;
  EXPECT_EQ(MLEvaluate(link(), text), 0);
  EXPECT_EQ(MLEvaluateString(link(), text), 0);
  EXPECT_TRUE(fake::log().empty());
}

TEST_F(Bridge, EvaluateStringServesNestedCallsAndDropsEverythingUpToTheResult) {
  // rfcomm[1] evaluates rfcomm[2]; the kernel calls back before returning.
  fake::script("MLNextPacket", {code(CALLPKT), code(CALLPKT), code(40), code(RETURNPKT), code(0)});
  fake::script("MLGetInteger", {ok(0), ok(1), ok(0), ok(2)});
  fake::script("MLTestHead", {ok(1), ok(1)});
  std::size_t inner_from = 0;
  int inner_result = -1;
  rfcomm_body = [&](int x) {
    if (x == 1) {
      EXPECT_EQ(stdlink, fake::link());
      char text[] = "rfcomm[2]";
      inner_from = fake::log().size();
      inner_result = MLEvaluateString(stdlink, text);
    }
    return 10 * x;
  };
  EXPECT_EQ(MLAnswer(link()), 0);
  EXPECT_EQ(inner_result, 1);
  EXPECT_EQ(rfcomm_calls, (std::vector<int>{1, 2}));
  const Log inner = join({{"MLPutFunction(EvaluatePacket,1)", "MLPutFunction(ToExpression,1)",
                           "MLPutString(rfcomm[2])", "MLEndPacket"},
                          kNextPass,
                          served(2),
                          kNextPass,
                          {"MLNewPacket"},  // the packet of code 40
                          kNextPass,
                          {"MLNewPacket", "MLError"},  // the result itself
                          {"MLPutInteger(10)", "MLEndPacket", "MLNewPacket"},
                          kNextPass});
  EXPECT_EQ(fake::log_from(inner_from), inner);
}

TEST_F(Bridge, EvaluateStringReportsTheLinkStateEvenWhenTheRequestFails) {
  char text[] = "x";
  fake::script("MLPutFunction", {fails()});
  fake::script("MLError", {code(5)});
  EXPECT_EQ(MLEvaluateString(link(), text), 0);
  EXPECT_EQ(fake::log(), (Log{"MLPutFunction(EvaluatePacket,1)", "MLError"}));

  // A read error ends the wait; the (absent) result is still dropped.
  fake::reset();
  EXPECT_EQ(MLEvaluateString(link(), text), 1);
  EXPECT_EQ(fake::log_from(4), join({kNextPass, {"MLNewPacket", "MLError"}}));
}

}  // namespace
