#include <linklib.hpp>
#include <mathlink.h>
#include <wire.hpp>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.hpp"

namespace fs = std::filesystem;
namespace ll = adckit::link;
using adckit::link::Expr;

namespace {

Expr sym(const char* s) { return Expr::makeSymbol(s); }
Expr num(std::int64_t n) { return Expr::makeInteger(n); }
Expr fn(const char* head, std::vector<Expr> args) { return Expr::makeFunction(head, std::move(args)); }

// A connected pair of links over a Unix socket: `program` listened, `kernel`
// connected.
class LinkPair : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = MLInitialize(nullptr);
    ASSERT_NE(env_, nullptr);
    path_ = dir_ + "/sock";
    int error = -1;
    program_ = ll::openLink(env_, {"prog", "-linkname", path_, "-linkmode", "listen"}, &error);
    ASSERT_NE(program_, nullptr) << MLErrorString(env_, error);
    kernel_ = ll::openLink(env_, {"-linkname", path_, "-linkmode", "connect", "-linkprotocol", "Unix"}, &error);
    ASSERT_NE(kernel_, nullptr) << MLErrorString(env_, error);
    ASSERT_TRUE(MLConnect(program_));
  }
  void TearDown() override {
    MLClose(program_);
    MLClose(kernel_);
    MLDeinitialize(env_);
  }
  void send(MLINK l, const Expr& e, bool end = true) {
    ASSERT_TRUE(ll::putExpr(l, e));
    if (end) ASSERT_TRUE(MLEndPacket(l));
    else ASSERT_TRUE(MLFlush(l));
  }

  adckit::test::TempDir tmp_{"linklib-test"};
  std::string dir_ = tmp_.path().string(), path_;
  MLENV env_ = nullptr;
  MLINK program_ = nullptr;
  MLINK kernel_ = nullptr;
};

}  // namespace

TEST_F(LinkPair, NestedExpressionsOfEveryKindArriveWhole) {
  Expr e = fn("f", {num(-5), num(INT64_MAX), Expr::makeString(std::string("\0q\"\n", 4)), Expr::makeString(""),
                    sym("$Failed"), fn("List", {fn("List", {num(1), num(2)}), fn("Abort", {})})});
  send(kernel_, e, false);
  Expr got;
  ASSERT_TRUE(ll::getExpr(program_, got));
  EXPECT_EQ(got, e);

  // The C calls write the same tokens a program reads back.
  ASSERT_TRUE(MLPutFunction(program_, "List", 4));
  ASSERT_TRUE(MLPutInteger(program_, INT32_MIN));
  ASSERT_TRUE(MLPutString(program_, "text"));
  ASSERT_TRUE(MLPutSymbol(program_, "End"));
  ASSERT_TRUE(MLPutFunction(program_, "g", 0));
  ASSERT_TRUE(MLFlush(program_));
  ASSERT_TRUE(ll::getExpr(kernel_, got));
  EXPECT_EQ(got, fn("List", {num(INT32_MIN), Expr::makeString("text"), sym("End"), fn("g", {})}));
}

TEST_F(LinkPair, NextPacketReportsCodesAndLeavesTheContentsUnread) {
  send(kernel_, fn("CallPacket", {num(0), fn("List", {num(5)})}));
  send(kernel_, fn("EvaluatePacket", {num(1)}));
  send(kernel_, fn("SuspendPacket", {sym("Null")}));
  send(kernel_, fn("ResumePacket", {sym("x")}));
  send(kernel_, fn("StrangePacket", {num(1)}));
  send(kernel_, fn("ReturnPacket", {num(9)}));
  send(kernel_, fn("List", {num(7)}));  // an answer without a packet head

  ASSERT_TRUE(MLWaitForLinkActivity(program_) == MLWAITSUCCESS);
  EXPECT_EQ(MLNextPacket(program_), CALLPKT);
  int n = -1, count = -1;
  ASSERT_TRUE(MLGetInteger(program_, &n));
  EXPECT_EQ(n, 0);
  ASSERT_TRUE(MLTestHead(program_, "List", &count));
  EXPECT_EQ(count, 1);
  // Half read: the next packet skips the rest.
  EXPECT_EQ(MLNextPacket(program_), EVALUATEPKT);
  ASSERT_TRUE(MLNewPacket(program_));
  EXPECT_TRUE(MLNewPacket(program_));  // nothing open: a no-op, not a wait
  EXPECT_EQ(MLNextPacket(program_), SUSPENDPKT);
  EXPECT_EQ(MLNextPacket(program_), RESUMEPKT);
  EXPECT_EQ(MLNextPacket(program_), UNKNOWNPKT);
  EXPECT_EQ(MLNextPacket(program_), RETURNPKT);
  ASSERT_TRUE(MLGetInteger(program_, &n));
  EXPECT_EQ(n, 9);
  EXPECT_EQ(MLNextPacket(program_), RETURNPKT);
  ASSERT_TRUE(MLTestHead(program_, "List", &count));
  ASSERT_TRUE(MLGetInteger(program_, &n));
  EXPECT_EQ(n, 7);
  EXPECT_EQ(MLError(program_), 0);
}

TEST_F(LinkPair, AnAnswerWithoutPacketHeadArrivesAsAReturnPacket) {
  ASSERT_TRUE(MLPutSymbol(program_, "$Failed"));
  ASSERT_TRUE(MLEndPacket(program_));
  ASSERT_TRUE(MLPutFunction(program_, "ReturnPacket", 1));
  ASSERT_TRUE(MLPutInteger(program_, 42));
  ASSERT_TRUE(MLEndPacket(program_));
  Expr p;
  ASSERT_TRUE(ll::getPacket(kernel_, p));
  EXPECT_EQ(p, fn("ReturnPacket", {sym("$Failed")}));
  ASSERT_TRUE(ll::getPacket(kernel_, p));
  EXPECT_EQ(p, fn("ReturnPacket", {num(42)}));
}

TEST_F(LinkPair, TransferCopiesTheNextExpressionOntoTheSameLink) {
  Expr contents = fn("LinkObject", {Expr::makeString("name"), num(3), fn("List", {num(1), sym("a")})});
  send(kernel_, fn("ResumePacket", {contents}));
  send(kernel_, fn("SuspendPacket", {}));
  ASSERT_EQ(MLNextPacket(program_), RESUMEPKT);
  ASSERT_TRUE(MLPutFunction(program_, "EvaluatePacket", 1));
  ASSERT_TRUE(MLPutFunction(program_, "Set", 2));
  ASSERT_TRUE(MLPutSymbol(program_, "$ParentLink"));
  ASSERT_TRUE(MLTransferExpression(program_, program_));
  ASSERT_TRUE(MLEndPacket(program_));
  Expr p;
  ASSERT_TRUE(ll::getPacket(kernel_, p));
  EXPECT_EQ(p, fn("EvaluatePacket", {fn("Set", {sym("$ParentLink"), contents})}));
  // The transfer consumed exactly the contents: the next packet is intact.
  EXPECT_EQ(MLNextPacket(program_), SUSPENDPKT);
}

TEST_F(LinkPair, ReadingTheWrongKindIsARecoverableError) {
  send(kernel_, fn("CallPacket", {Expr::makeString("x"), num(int64_t{1} << 40), fn("Seq", {num(1)})}));
  ASSERT_EQ(MLNextPacket(program_), CALLPKT);
  int n = 0;
  EXPECT_FALSE(MLGetInteger(program_, &n));
  EXPECT_EQ(MLError(program_), ll::Sequence);
  EXPECT_FALSE(MLPutSymbol(program_, "x")) << "writes fail while the error is set";
  EXPECT_NE(std::string(MLErrorString(env_, MLError(program_))), "");
  ASSERT_TRUE(MLClearError(program_));
  std::string s;
  ASSERT_TRUE(ll::getString(program_, s));  // the failed read consumed nothing
  EXPECT_EQ(s, "x");
  EXPECT_FALSE(MLGetInteger(program_, &n));
  EXPECT_EQ(MLError(program_), ll::Overflow);
  ASSERT_TRUE(MLClearError(program_));
  ASSERT_TRUE(MLNewPacket(program_));  // drops the big integer and Seq[1]

  // Bad names on the writing side never reach the wire.
  EXPECT_FALSE(MLPutSymbol(program_, "not a name"));
  EXPECT_EQ(MLError(program_), ll::BadName);
  ASSERT_TRUE(MLClearError(program_));
  EXPECT_FALSE(MLPutFunction(program_, "List", -1));
  ASSERT_TRUE(MLClearError(program_));
  EXPECT_FALSE(MLPutString(program_, nullptr));
  ASSERT_TRUE(MLClearError(program_));
  ASSERT_TRUE(MLPutInteger(program_, 1));
  ASSERT_TRUE(MLEndPacket(program_));
  Expr p;
  ASSERT_TRUE(ll::getPacket(kernel_, p));
  EXPECT_EQ(p, fn("ReturnPacket", {num(1)}));
}

TEST_F(LinkPair, MessagesReachTheHandlerWhileTheProgramComputes) {
  static std::atomic<int> lastCode{0};
  static std::atomic<int> lastArg{0};
  static std::atomic<int> calls{0};
  static std::atomic<bool> onOtherThread{false};
  static std::thread::id mainThread;
  mainThread = std::this_thread::get_id();
  lastCode = 0;
  calls = 0;
  MLSetMessageHandler(program_, [](MLINK, int code, int arg) {
    lastCode = code;
    lastArg = arg;
    onOtherThread = std::this_thread::get_id() != mainThread;
    ++calls;
  });
  // Unread data ahead of the message does not hold it back.
  send(kernel_, fn("CallPacket", {num(0), fn("List", {})}));
  ASSERT_TRUE(ll::putMessage(kernel_, MLAbortMessage, 77));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (calls == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // "computing", not reading
  }
  ASSERT_EQ(calls, 1);
  EXPECT_EQ(lastCode, MLAbortMessage);
  EXPECT_EQ(lastArg, 77);
  EXPECT_TRUE(onOtherThread);
  for (int code : {MLTerminateMessage, MLInterruptMessage, 4, 12, 128, 255}) {
    ASSERT_TRUE(ll::putMessage(kernel_, code, 0));
  }
  while (calls < 7 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(calls, 7);
  EXPECT_EQ(lastCode, 255);
  EXPECT_EQ(MLNextPacket(program_), CALLPKT);  // the stream is untouched
}

TEST_F(LinkPair, MessagesReachTheHandlerWhenTheProgramComputesRightAfterReading) {
  // The program has just read a call and computes without touching the link:
  // the library's thread must take the socket back on its own.
  static std::atomic<int> calls{0};
  static std::atomic<bool> onOtherThread{false};
  static std::thread::id mainThread;
  mainThread = std::this_thread::get_id();
  calls = 0;
  MLSetMessageHandler(program_, [](MLINK, int, int) {
    onOtherThread = std::this_thread::get_id() != mainThread;
    ++calls;
  });
  for (int round = 1; round <= 3; ++round) {
    // The call comes while the program is already waiting, so its own
    // thread reads it.
    std::thread kernel([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      send(kernel_, fn("CallPacket", {num(round)}));
    });
    Expr p;
    bool got = ll::getPacket(program_, p);
    kernel.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(p, fn("CallPacket", {num(round)}));
    ASSERT_TRUE(ll::putMessage(kernel_, MLAbortMessage, round));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (calls < round && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));  // computing
    }
    ASSERT_EQ(calls, round);
    EXPECT_TRUE(onOtherThread);
  }
}

TEST_F(LinkPair, APeerThatVanishesGivesAnErrorNotAHang) {
  send(kernel_, fn("CallPacket", {num(0)}), false);  // no end mark
  MLClose(kernel_);
  kernel_ = nullptr;
  ASSERT_EQ(MLWaitForLinkActivity(program_), MLWAITSUCCESS);  // what came is still there
  ASSERT_EQ(MLNextPacket(program_), CALLPKT);
  int n = -1;
  ASSERT_TRUE(MLGetInteger(program_, &n));
  EXPECT_FALSE(MLNewPacket(program_));  // the end mark never comes
  EXPECT_EQ(MLError(program_), ll::Dead);
  EXPECT_FALSE(MLClearError(program_));
  EXPECT_EQ(MLWaitForLinkActivity(program_), 0);
  EXPECT_EQ(MLNextPacket(program_), 0);
  // Writing to a vanished peer fails rather than raising SIGPIPE.
  MLINK other = program_;
  EXPECT_FALSE(MLPutInteger(other, 1) && MLEndPacket(other));
}

TEST_F(LinkPair, TimedWaitsReturnWithoutData) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ll::waitForInput(program_, 50));
  EXPECT_EQ(MLError(program_), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
}

namespace {

// A raw socket in place of a well-behaved peer.
class RawPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = MLInitialize(nullptr);
    std::string path = dir_ + "/sock";
    int error = 0;
    program_ = ll::openLink(env_, {"-linkname", path, "-linkmode", "listen"}, &error);
    ASSERT_NE(program_, nullptr);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, path.c_str());
    ASSERT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_TRUE(MLConnect(program_));
  }
  void TearDown() override {
    if (fd_ >= 0) ::close(fd_);
    MLClose(program_);
    MLDeinitialize(env_);
  }
  void write(const std::string& bytes) { ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())); }
  std::string greeting() {
    std::string s;
    adckit::link::wire::putGreeting(s);
    return s;
  }
  adckit::test::TempDir tmp_{"linklib-test"};
  std::string dir_ = tmp_.path().string();
  MLENV env_ = nullptr;
  MLINK program_ = nullptr;
  int fd_ = -1;
};

}  // namespace

TEST_F(RawPeer, GarbageBreaksTheLinkWithAnError) {
  write("GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(MLWaitForLinkActivity(program_), 0);
  EXPECT_EQ(MLError(program_), ll::Malformed);
  EXPECT_FALSE(MLClearError(program_));
}

TEST_F(RawPeer, AHostileLengthBreaksTheLinkAtOnce) {
  std::string bytes = greeting();
  adckit::link::wire::putFunction(bytes, "CallPacket", 1);
  bytes += "s\xff\xff\xff\x7f";  // a 2 GiB string, never sent
  write(bytes);
  EXPECT_EQ(MLNextPacket(program_), CALLPKT);
  int n = 0;
  EXPECT_FALSE(MLGetInteger(program_, &n));
  EXPECT_EQ(MLError(program_), ll::Malformed);
}

TEST_F(RawPeer, ATruncatedRecordEndsAsAVanishedPeer) {
  std::string bytes = greeting();
  adckit::link::wire::putString(bytes, "a longer string");
  bytes.resize(bytes.size() - 4);
  write(bytes);
  ::shutdown(fd_, SHUT_WR);
  EXPECT_EQ(MLNextPacket(program_), 0);
  EXPECT_EQ(MLError(program_), ll::Dead);
}

TEST_F(RawPeer, AFloodOfMessagesBehindASlowHandlerIsNotReadIntoMemory) {
  static std::atomic<bool> release{false};
  static std::atomic<long> handled{0};
  release = false;
  handled = 0;
  MLSetMessageHandler(program_, [](MLINK, int, int) {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++handled;
  });
  std::atomic<int> waited{-1};
  std::thread program([&] { waited = MLWaitForLinkActivity(program_); });
  // Let the program's thread be the one reading when the flood comes.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  write(greeting());
  std::string messages;
  for (int i = 0; i < 4096; ++i) adckit::link::wire::putMessage(messages, MLAbortMessage, i);
  // With the handler stuck, the program's side must stop taking messages off
  // the socket once a bounded backlog waits, so the sender stalls.
  const std::size_t offered = std::size_t{64} << 20;
  std::size_t accepted = 0;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::size_t at = 0;
  while (accepted < offered && std::chrono::steady_clock::now() < give_up) {
    ssize_t n = ::send(fd_, messages.data() + at, messages.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      accepted += static_cast<std::size_t>(n);
      at = (at + static_cast<std::size_t>(n)) % messages.size();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  EXPECT_LT(accepted, std::size_t{16} << 20) << "the backlog of messages grew with what the peer sent";

  // Released, the handler gets through every message and the data arrives.
  release = true;
  std::string rest(messages, at);
  adckit::link::wire::putInteger(rest, 5);
  adckit::link::wire::putEnd(rest);
  write(rest);
  program.join();
  EXPECT_EQ(waited, MLWAITSUCCESS);
  EXPECT_EQ(static_cast<std::size_t>(handled), (accepted + messages.size() - at) / 9);
}

TEST(LinkOpen, BadOptionsFailWithTextsThatSayWhatToDo) {
  MLENV env = MLInitialize(nullptr);
  adckit::test::TempDir tmp("linklib-test");
  const std::string dir = tmp.path().string();
  struct Case {
    std::vector<std::string> args;
    int error;
  };
  const Case cases[] = {
      {{"prog"}, ll::NoName},
      {{"-linkmode", "listen"}, ll::NoName},
      {{"-linkname"}, ll::BadOption},
      {{"-linkname", "x", "-linkmode"}, ll::BadOption},
      {{"-linkname", "x", "-linkmode", "launch"}, ll::BadMode},
      {{"-linkname", "x", "-linkprotocol", "SharedMemory"}, ll::BadProtocol},
      {{"-linkname", "x", "-linkfoo", "y"}, ll::BadOption},
      {{"-linkname", "70000", "-linkprotocol", "TCPIP"}, ll::BadLinkName},
      {{"-linkname", "12ab", "-linkprotocol", "TCPIP"}, ll::BadLinkName},
      {{"-linkname", "5000@", "-linkprotocol", "TCPIP"}, ll::BadLinkName},
      {{"-linkname", "5000@no-such-host.invalid", "-linkprotocol", "TCPIP"}, ll::NoHost},
      {{"-linkname", dir + "/" + std::string(120, 'x'), "-linkprotocol", "Unix"}, ll::BadLinkName},
      {{"-linkname", dir + "/nobody", "-linkmode", "connect"}, ll::Refused},
  };
  std::set<std::string> texts;
  for (const auto& c : cases) {
    int error = 0;
    MLINK l = ll::openLink(env, c.args, &error);
    EXPECT_EQ(l, nullptr) << c.args.back();
    EXPECT_EQ(error, c.error) << c.args.back() << ": " << MLErrorString(env, error);
    texts.insert(MLErrorString(env, error));
  }
  EXPECT_EQ(texts.size(), 7u) << "each kind of failure has its own text";
  EXPECT_STREQ(MLErrorString(env, 9999), "unknown link error code");

  int error = 0;
  EXPECT_EQ(MLOpenString(env, "-linkname 'unfinished", &error), nullptr);
  EXPECT_EQ(error, ll::Quote);
  EXPECT_EQ(MLOpenArgcArgv(nullptr, 0, nullptr, &error), nullptr);
  EXPECT_EQ(error, ll::NullArgument);
  MLDeinitialize(env);
}

TEST(LinkOpen, ANameInUseIsRefusedAndAStaleSocketReplaced) {
  MLENV env = MLInitialize(nullptr);
  adckit::test::TempDir tmp("linklib-test");
  const std::string dir = tmp.path().string();
  std::string path = dir + "/in use";
  int error = 0;
  std::string line = "-linkname '" + path + "' -linkmode listen";
  MLINK first = MLOpenString(env, line.c_str(), &error);
  ASSERT_NE(first, nullptr) << MLErrorString(env, error);
  EXPECT_EQ(MLOpenString(env, line.c_str(), &error), nullptr);
  EXPECT_EQ(error, ll::InUse);

  // A socket file whose listener died is taken over.
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::string stale = dir + "/stale";
  std::strcpy(a.sun_path, stale.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ::close(fd);
  MLINK second = ll::openLink(env, {"-linkname", stale, "-linkmode", "listen"}, &error);
  EXPECT_NE(second, nullptr) << MLErrorString(env, error);
  MLClose(second);
  MLClose(first);
  EXPECT_FALSE(fs::exists(path)) << "closing removes the socket it made";
  MLDeinitialize(env);
}

TEST(LinkOpen, TcpListensOnLoopbackAndReportsThePortBound) {
  MLENV env = MLInitialize(nullptr);
  int error = 0;
  MLINK listener = MLOpenString(env, "prog -LinkName 0 -LinkMode Listen -LinkProtocol tcpip", &error);
  ASSERT_NE(listener, nullptr) << MLErrorString(env, error);
  std::string name = ll::linkName(listener);
  ASSERT_EQ(name.substr(name.find('@')), "@127.0.0.1");
  EXPECT_EQ(ll::openLink(env, {"-linkname", name, "-linkmode", "listen"}, &error), nullptr);
  EXPECT_EQ(error, ll::InUse);
  MLINK client = ll::openLink(env, {"-linkname", name, "-linkmode", "connect", "-linkprotocol", "TCPIP"}, &error);
  ASSERT_NE(client, nullptr) << MLErrorString(env, error);
  ASSERT_TRUE(ll::connectWithin(listener, 5000));
  ASSERT_TRUE(ll::putPacket(client, fn("CallPacket", {num(0), fn("List", {num(5)})})));
  ASSERT_EQ(MLNextPacket(listener), CALLPKT);
  int n = -1;
  ASSERT_TRUE(MLGetInteger(listener, &n));
  EXPECT_EQ(n, 0);
  MLClose(client);
  MLClose(listener);

  // Nobody on the port: the open fails.
  EXPECT_EQ(ll::openLink(env, {"-linkname", name, "-linkmode", "connect"}, &error), nullptr);
  EXPECT_EQ(error, ll::Refused);
  MLDeinitialize(env);
}

// Over TCP a send to a peer that has gone still succeeds once; a program
// that only writes learns of the end from MLFlush, buffered data or not.
TEST(LinkOpen, FlushFailsOnceTheTcpPeerHasGone) {
  MLENV env = MLInitialize(nullptr);
  int error = 0;
  MLINK listener = ll::openLink(env, {"-linkname", "0", "-linkmode", "listen", "-linkprotocol", "TCPIP"}, &error);
  ASSERT_NE(listener, nullptr) << MLErrorString(env, error);
  MLINK client = ll::openLink(env, {"-linkname", ll::linkName(listener), "-linkmode", "connect"}, &error);
  ASSERT_NE(client, nullptr) << MLErrorString(env, error);
  ASSERT_TRUE(ll::connectWithin(listener, 5000));
  ASSERT_TRUE(MLPutInteger(listener, 1) && MLFlush(listener));
  MLClose(client);
  // The library's own thread sees the end while the program computes.
  bool failed = false;
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
       !failed && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    failed = MLFlush(listener) == 0;
  }
  EXPECT_TRUE(failed);
  EXPECT_EQ(MLError(listener), ll::Dead);
  MLClose(listener);
  MLDeinitialize(env);
}

TEST(LinkOpen, CommandLinesSplitLikeAShell) {
  std::vector<std::string> w;
  ASSERT_TRUE(ll::splitCommandLine(R"(  a 'b c'  "d \"e\" \n" f\ g '' )", w));
  EXPECT_EQ(w, (std::vector<std::string>{"a", "b c", "d \"e\" \\n", "f g", ""}));
  EXPECT_FALSE(ll::splitCommandLine("\"open", w));
  EXPECT_FALSE(ll::splitCommandLine("trailing\\", w));
}

TEST_F(LinkPair, MessagesAheadOfDataOrTheEndAreHandledFirst) {
  static std::atomic<int> calls{0};
  static std::thread::id handlerThread;
  calls = 0;
  MLSetMessageHandler(program_, [](MLINK, int, int) {
    handlerThread = std::this_thread::get_id();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a slow handler must still finish first
    ++calls;
  });
  // The program is already waiting (and reading) when message and data come.
  std::thread kernel([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ll::putMessage(kernel_, MLInterruptMessage, 0);
    ll::putPacket(kernel_, fn("CallPacket", {num(1)}));
    ll::putMessage(kernel_, MLTerminateMessage, 0);
    MLClose(kernel_);
  });
  ASSERT_EQ(MLWaitForLinkActivity(program_), MLWAITSUCCESS);
  EXPECT_GE(calls, 1);  // both, when all came in one read
  EXPECT_NE(handlerThread, std::this_thread::get_id()) << "handlers run on the library's thread";
  EXPECT_EQ(MLNextPacket(program_), CALLPKT);
  ASSERT_TRUE(MLNewPacket(program_));
  EXPECT_EQ(MLWaitForLinkActivity(program_), 0);
  EXPECT_EQ(calls, 2) << "the terminate message is handled before the end shows";
  kernel.join();
  kernel_ = nullptr;
}

TEST_F(LinkPair, AHalfWrittenPacketIsNeverEndedNorNestedTooDeep) {
  ASSERT_TRUE(MLPutFunction(program_, "List", 2));
  ASSERT_TRUE(MLPutInteger(program_, 1));
  EXPECT_FALSE(MLEndPacket(program_));
  EXPECT_EQ(MLError(program_), ll::Unfinished);
  ASSERT_TRUE(MLClearError(program_));
  ASSERT_TRUE(MLPutFunction(program_, "f", 1));  // finishing it makes the end possible
  ASSERT_TRUE(MLPutString(program_, "x"));
  ASSERT_TRUE(MLEndPacket(program_));
  Expr p;
  ASSERT_TRUE(ll::getPacket(kernel_, p));
  EXPECT_EQ(p, fn("ReturnPacket", {fn("List", {num(1), fn("f", {Expr::makeString("x")})})}));

  // Nesting stops where the receiving side's limit is.
  for (std::size_t i = 0; i < adckit::link::wire::kMaxDepth; ++i) ASSERT_TRUE(MLPutFunction(program_, "g", 1));
  EXPECT_FALSE(MLPutFunction(program_, "g", 1));
  EXPECT_EQ(MLError(program_), ll::Overflow);
  ASSERT_TRUE(MLClearError(program_));
  EXPECT_TRUE(MLPutFunction(program_, "h", 0)) << "no arguments, no deeper";
  ASSERT_TRUE(MLEndPacket(program_));
  ASSERT_TRUE(ll::getPacket(kernel_, p));
  EXPECT_EQ(MLError(kernel_), 0) << "the peer accepted the deepest packet";
}

// A caller that releases the environment before closing its links must not
// leave them pointing at freed memory (ASan builds catch it if they do).
TEST(LinkOpen, AnEnvironmentReleasedFirstLivesUntilItsLastLinkCloses) {
  MLENV env = MLInitialize(nullptr);
  ASSERT_NE(env, nullptr);
  adckit::test::TempDir tmp("linklib-test");
  const std::string dir = tmp.path().string();
  int error = 0;
  MLINK link = ll::openLink(env, {"-linkname", dir + "/early", "-linkmode", "listen"}, &error);
  ASSERT_NE(link, nullptr) << MLErrorString(env, error);
  MLDeinitialize(env);
  EXPECT_EQ(MLError(link), MLEOK);
  MLClose(link);
}

TEST_F(RawPeer, DataPastTheQueueLimitWaitsAndFlowsAgainOnceTheProgramTakesSome) {
  static std::atomic<int> handled{0};
  handled = 0;
  MLSetMessageHandler(program_, [](MLINK, int, int) { ++handled; });
  // More strings than the library queues while the program computes, then a
  // message behind them.
  constexpr int kStrings = 40;
  const std::string text(adckit::link::wire::kMaxString, 'x');
  std::atomic<bool> written{false};
  std::thread peer([&] {
    std::string bytes = greeting();
    for (int i = 0; i < kStrings; ++i) adckit::link::wire::putString(bytes, text);
    adckit::link::wire::putMessage(bytes, MLAbortMessage, 1);
    write(bytes);
    written = true;
  });
  struct Joiner {
    std::thread& t;
    int fd;
    ~Joiner() {
      if (!t.joinable()) return;
      ::shutdown(fd, SHUT_RDWR);  // a failed check must not leave the writer stuck
      t.join();
    }
  } joiner{peer, fd_};
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(written) << "the library read without bound while the program was not reading";
  EXPECT_EQ(handled, 0);

  // Taking some makes room: the rest is read and the message handled,
  // though the program does not read again.
  std::string got;
  for (int i = 0; i < kStrings / 2; ++i) {
    ASSERT_TRUE(ll::getString(program_, got));
    ASSERT_EQ(got.size(), text.size());
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while ((handled == 0 || !written) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(handled, 1);
  EXPECT_TRUE(written);
  for (int i = kStrings / 2; i < kStrings; ++i) {
    ASSERT_TRUE(ll::getString(program_, got)) << i;
    ASSERT_EQ(got, text);
  }
  peer.join();
}
