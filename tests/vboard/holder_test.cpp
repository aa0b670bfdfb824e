// No program holds up another's access: a holder of the board lock that is
// stopped, or gone, loses it within a bound, and what a program does after
// its access (its trace, the modelled access time) is done with no lock
// held, and a signal handler may use the board as it may use write(2).
// Every case is bounded: a board that hangs fails here by its limit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"
#include "support/board.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace std::chrono_literals;
using adckit::test::Outcome;
using adckit::test::Program;

constexpr auto kBound = 5s;  // far above the tens of milliseconds a takeover takes

class Holder : public ::testing::Test {
 protected:
  Program on_board(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
    args.emplace(args.begin(), BOARD_WORKER_PATH);
    env["VBOARD_BOARD"] = board;
    return {.argv = args, .env = env, .board = true};
  }
  Outcome worker(const std::vector<std::string> &args) {
    return adckit::test::run(on_board(args), {}, kBound);
  }
  // A process that takes the lock the way the board does (a ticket held
  // by a lock on its byte, then the lock word) and then stops or ends,
  // with nothing to finish.
  pid_t hold_lock_then(bool stop) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      const int fd = open(board.c_str(), O_RDWR | O_CLOEXEC);
      auto *b = static_cast<vboard::shared_board *>(
          mmap(nullptr, sizeof(vboard::shared_board), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
      if (fd < 0 || b == MAP_FAILED) _exit(2);
      const std::uint32_t ticket = 0x123456;
      struct flock64 l {};
      l.l_type = F_WRLCK;
      l.l_start = vboard::kTicketBase + ticket;
      l.l_len = 1;
      if (fcntl(fd, F_OFD_SETLK, &l) != 0) _exit(3);
      __atomic_store_n(&b->lock, ticket, __ATOMIC_SEQ_CST);
      __atomic_store_n(&b->lock_pid, static_cast<std::uint32_t>(getpid()), __ATOMIC_SEQ_CST);
      (void)!write(ready[1], "x", 1);
      if (stop) raise(SIGSTOP);
      _exit(0);
    }
    close(ready[1]);
    char c = 0;
    EXPECT_EQ(read(ready[0], &c, 1), 1) << "the holder did not take the lock";
    close(ready[0]);
    return pid;
  }
  adckit::test::TempDir dir{"vboard"};
  std::string board = dir / "board";
};

TEST_F(Holder, AStoppedOrDeadHolderLosesTheLockAndOthersGoOn) {
  ASSERT_EQ(worker({"pin", "1", "6"}).status, 0) << "making the board";
  for (bool stop : {true, false}) {
    const pid_t holder = hold_lock_then(stop);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, stop ? WUNTRACED : 0), holder);
    const Outcome o = worker({"pin", "3", "22"});
    EXPECT_EQ(o.status, 0) << (stop ? "stopped" : "dead") << " holder: " << o.err;
    if (stop) {
      // Resumed, it finds the lock no longer its own and leaves it be.
      kill(holder, SIGCONT);
      ASSERT_EQ(waitpid(holder, &status, 0), holder);
      EXPECT_EQ(worker({"pin", "1", "23"}).status, 0) << "after the holder resumed";
    }
  }
}

// A program that closes or reuses every descriptor number (a daemon, a
// shell's `exec 3<`) never closes the descriptors whose locks keep its
// ticket, so nobody takes its lock from under it.
TEST_F(Holder, TheBoardsOwnDescriptorsAreOutOfAProgramsReach) {
  const Outcome o = worker({"sweep", "24"});
  EXPECT_EQ(o.status, 0) << o.err;
}

TEST_F(Holder, AProgramStoppedAtRandomNeverHoldsUpTheBoard) {
  if (!adckit::test::host_programs_on_board()) GTEST_SKIP() << "no host shell under the emulator";
  // The modelled access time is spent at every access: a stop lands in it
  // or in a board call, never in a wait of the board's own.
  Program loop = on_board({}, {{"VBOARD_ACCESS_NS", "2000000:2000000"}});
  loop.argv = {"sh", "-c", "while :; do echo 10 > /sys/class/gpio/export; done"};
  loop.host = true;
  const pid_t pid = adckit::test::start(loop);
  ASSERT_GT(pid, 0);
  for (int round = 0; round < 5; ++round) {
    std::this_thread::sleep_for(50ms + round * 7ms);
    kill(pid, SIGSTOP);
    int status = 0;
    waitpid(pid, &status, WUNTRACED);
    const Outcome o = worker({"pin", "1", "22"});
    EXPECT_EQ(o.status, 0) << "round " << round << ": " << o.err;
    kill(pid, SIGCONT);
  }
  kill(pid, SIGKILL);
  adckit::test::wait_exit(pid);
}

// A trace reader that opens and never reads: the writer fills the pipe,
// then waits in its own write, and another program goes on. A signal
// handler may use the board while its program is inside it.
TEST_F(Holder, ATraceNobodyReadsOrASignalHandlerHoldsUpNoOne) {
  const std::string fifo = dir / "trace";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const pid_t pid =
      adckit::test::start(on_board({"pin", "100000", "22"}, {{"VBOARD_TRACE", fifo}}));
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(worker({"pin", "20", "23"}).status, 0) << "beside a trace nobody reads";
  kill(pid, SIGKILL);
  adckit::test::wait_exit(pid);
  close(reader);

  EXPECT_EQ(worker({"signals", "200000", "24"}).status, 0) << "with a signal handler";
}

}  // namespace
