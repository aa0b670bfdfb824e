// rfcomm_server on the virtual board against a far side that misbehaves.
// The server waits for a silent peer as a link does (no time limit of its
// own), but once the peer has misbehaved or gone, the serving run must end
// with its documented result: the link in an error state, MLMain's 1 (no
// terminate message came) as the exit status, within the bound each case
// states, and nothing on its standard error it does not mean to print.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mathlink.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <wire.hpp>

#include "support/board.hpp"
#include "support/temp_dir.hpp"

extern char **environ;

namespace wire = adckit::link::wire;
using namespace std::chrono_literals;

namespace {

// The far side, by hand: a listening Unix socket in a private folder and
// the server started on the board to connect to it.
class RawPeer {
 public:
  RawPeer() {
    const std::string path = folder_ + "/link";
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::bind(listen_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listen_, 1) != 0) {
      throw std::runtime_error("cannot listen on " + path);
    }
    adckit::test::board::BoardCommand command = adckit::test::board::on_board(SOAK_RFCOMM_SERVER);
    adckit::test::board::BoardEnvironment board(command);
    for (const char *w :
         {"-linkname", path.c_str(), "-linkmode", "connect", "-linkprotocol", "Unix"}) {
      command.argv.emplace_back(w);
    }
    std::vector<char *> argv;
    for (auto &w : command.argv) argv.push_back(w.data());
    argv.push_back(nullptr);
    stderrPath_ = folder_ + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start the server");
    pollfd p{listen_, POLLIN, 0};
    if (::poll(&p, 1, 120000) != 1) throw std::runtime_error("the server did not connect");
    fd_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("accept");
  }

  ~RawPeer() {
    closeLink();
    if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(listen_);
  }

  // Reads until the server's announcement is complete (the symbol End).
  void readAnnouncement() {
    wire::Token token;
    wire::Message message;
    for (;;) {
      auto event = decoder_.next(token, message);
      if (event == wire::Decoder::Event::Token && token.kind == wire::Kind::Symbol &&
          token.text == "End")
        return;
      ASSERT_NE(event, wire::Decoder::Event::Error) << decoder_.error();
      if (event == wire::Decoder::Event::NeedMore) {
        ASSERT_TRUE(receive(10000)) << "no announcement";
      }
    }
  }

  // The next token the server sends, within timeoutMs.
  bool nextToken(wire::Token &token, int timeoutMs) {
    wire::Message message;
    for (;;) {
      auto event = decoder_.next(token, message);
      if (event == wire::Decoder::Event::Token) return true;
      if (event == wire::Decoder::Event::Error) return false;
      if (event == wire::Decoder::Event::NeedMore && !receive(timeoutMs)) return false;
    }
  }

  // Sends what it can; false once the server no longer takes data.
  bool send(const std::string &bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
      ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return false;
      at += static_cast<std::size_t>(n);
    }
    return true;
  }
  // Sends without waiting; false when the socket's buffer is full.
  bool sendNow(const std::string &bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
           static_cast<ssize_t>(bytes.size());
  }

  void closeLink() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool running() { return ::waitpid(pid_, &status_, WNOHANG) == 0; }

  // The server's exit status once it ends within `bound`; -1 if it is
  // still running then (it is killed), 128 + n for a signal.
  int exitWithin(std::chrono::milliseconds bound) {
    const auto give_up = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < give_up) {
      pid_t done = ::waitpid(pid_, &status_, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
      }
      std::this_thread::sleep_for(5ms);
    }
    return -1;
  }

  std::string serverStderr() const {
    std::ifstream in(stderrPath_);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

  pid_t pid() const { return pid_; }

 private:
  bool receive(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return false;
    char chunk[65536];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    decoder_.feed(chunk, static_cast<std::size_t>(n));
    return true;
  }

  adckit::test::TempDir dir_{"adckit-hostile"};
  std::string folder_ = dir_.path().string();
  std::string stderrPath_;
  int listen_ = -1;
  int fd_ = -1;
  pid_t pid_ = -1;
  int status_ = 0;
  wire::Decoder decoder_;
};

std::string greeting() {
  std::string s;
  wire::putGreeting(s);
  return s;
}

std::string call(int x) {
  std::string s;
  wire::putFunction(s, "CallPacket", 2);
  wire::putInteger(s, 0);
  wire::putFunction(s, "List", 1);
  wire::putInteger(s, x);
  wire::putEnd(s);
  return s;
}

// The answer to rfcomm[x]: ReturnPacket is not written by a bridge; it
// writes the integer, then the end mark.
void expectAnswer(RawPeer &peer, int value) {
  wire::Token token;
  ASSERT_TRUE(peer.nextToken(token, 10000)) << "no answer";
  ASSERT_EQ(token.kind, wire::Kind::Integer);
  EXPECT_EQ(token.integer, value);
  ASSERT_TRUE(peer.nextToken(token, 10000));
  EXPECT_EQ(token.kind, wire::Kind::End);
}

// Long enough for the slowest build (sanitized, or emulated) to notice
// the end of a link and close down.
constexpr auto kBound = 30000ms;

class HostilePeer : public ::testing::Test {
 protected:
  void SetUp() override {
    peer_ = std::make_unique<RawPeer>();
    peer_->readAnnouncement();
  }
  // The serving run ended as a link error ends it, with nothing printed.
  void expectErrorEnd() {
    EXPECT_EQ(peer_->exitWithin(kBound), 1) << "stderr: " << peer_->serverStderr();
    EXPECT_EQ(peer_->serverStderr(), "");
  }
  std::unique_ptr<RawPeer> peer_;
};

}  // namespace

TEST_F(HostilePeer, GarbageAfterTheGreetingEndsTheServingRun) {
  ASSERT_TRUE(peer_->send(greeting() + call(3)));
  expectAnswer(*peer_, adckit::test::board::reading(3));
  peer_->send("\xff\xfe not a record at all");
  expectErrorEnd();
}

TEST_F(HostilePeer, PacketCutOffMidwayEndsTheServingRunWhenThePeerLeaves) {
  std::string cut = call(2);
  cut.resize(cut.size() - 6);  // inside the argument's integer
  ASSERT_TRUE(peer_->send(greeting() + cut));
  // Half a packet is no error yet: the rest may still come.
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(peer_->running());
  peer_->closeLink();
  expectErrorEnd();
}

TEST_F(HostilePeer, PeerThatStopsReadingLeavesTheServerWaitingUntilItGoes) {
  ASSERT_TRUE(peer_->send(greeting()));
  // Calls without reading a single answer, until neither side's buffers
  // take more: the server then waits to send, as a link does.
  long sent = 0;
  const auto give_up = std::chrono::steady_clock::now() + 60s;
  for (int idle = 0; idle < 50 && std::chrono::steady_clock::now() < give_up;) {
    if (peer_->sendNow(call(1))) {
      ++sent;
      idle = 0;
    } else {
      ++idle;
      std::this_thread::sleep_for(2ms);
    }
  }
  ASSERT_GT(sent, 1000);
  EXPECT_TRUE(peer_->running());
  peer_->closeLink();
  expectErrorEnd();
}

TEST_F(HostilePeer, StringBeyondTheLinksLimitEndsTheServingRun) {
  // A 32 MiB string where the integer belongs; the link takes strings of
  // at most 1 MiB and refuses the rest as soon as it reads the length.
  std::string s = greeting();
  wire::putFunction(s, "CallPacket", 2);
  wire::putInteger(s, 0);
  wire::putFunction(s, "List", 1);
  s.push_back('s');
  const std::uint32_t length = 32u << 20;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((length >> (8 * i)) & 0xff));
  ASSERT_TRUE(peer_->send(s));
  const std::string chunk(1 << 20, 'x');
  for (int i = 0; i < 32 && peer_->send(chunk); ++i) {
  }
  expectErrorEnd();
}

TEST_F(HostilePeer, FloodOfMessagesIsTakenAndTheNextCallAnswered) {
  ASSERT_TRUE(peer_->send(greeting()));
  std::string flood;
  for (int i = 0; i < 10000; ++i) wire::putMessage(flood, MLAbortMessage, i);
  const long rounds = adckit::test::board::scale("ADCKIT_SOAK_FLOOD", 20);  // 10000 messages each
  const long before = adckit::test::board::resident_kib(peer_->pid());
  for (long r = 0; r < rounds; ++r) ASSERT_TRUE(peer_->send(flood)) << "round " << r;
  ASSERT_TRUE(peer_->send(call(5)));
  expectAnswer(*peer_, adckit::test::board::reading(5));
  const long after = adckit::test::board::resident_kib(peer_->pid());
  std::printf(
      "soak: %ld messages in a flood; server resident memory %ld KiB before, %ld KiB after\n",
      rounds * 10000, before, after);
  // The messages are handled as they come; none piles up in the server.
  // (Under AddressSanitizer freed memory stays in quarantine, so the
  // resident size says nothing there.)
  if (!adckit::test::sanitized_with("address")) {
    EXPECT_LE(after - before, 4096);
  }
  peer_->closeLink();
  expectErrorEnd();
}

TEST(HostilePeerSilent, PeerThatConnectsNeverSpeaksAndLeavesEndsTheServingRun) {
  RawPeer peer;
  // Not even the greeting.  The server waits as a link does...
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(peer.running());
  // ...and ends once the peer has gone.
  peer.closeLink();
  EXPECT_EQ(peer.exitWithin(kBound), 1) << "stderr: " << peer.serverStderr();
  EXPECT_EQ(peer.serverStderr(), "");
}
