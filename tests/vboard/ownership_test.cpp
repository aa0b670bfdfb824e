// A board belongs to its user: an object or a link another user planted
// where a board goes is refused with a message saying what was found (the
// program then runs on a board of its own), whatever the system's
// fs.protected_* settings; a reset leaves alone what is not this user's
// board and says it failed; the trace follows no link of another user's;
// and a process scribbling over a board's object while clients use it
// gives them wrong answers at worst, never a fault or a hang.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "run.h"
#include "support/process.hpp"

namespace {

using vboard_test::outcome;
using vboard_test::read_file;
using vboard_test::run_on_board;
using vboard_test::run_plain;
using vboard_test::temp_dir;

constexpr uid_t kOtherUid = 65534;  // nobody

// fs.protected_regular and fs.protected_symlinks off for the test where it
// may turn them off (as root), as on systems that ship them off; restored
// after. The board's checks must hold either way.
class ProtectionsOff {
 public:
  ProtectionsOff() {
    if (geteuid() != 0) return;
    for (const char *name : {"protected_regular", "protected_symlinks"}) {
      const std::string path = std::string("/proc/sys/fs/") + name;
      const std::string was = read_file(path);
      if (was.empty()) continue;
      std::ofstream out(path);
      out << "0\n";
      out.flush();
      if (out) saved_.emplace_back(path, was);
    }
  }
  ~ProtectionsOff() {
    for (const auto &[path, was] : saved_) std::ofstream(path) << was;
  }
  ProtectionsOff(const ProtectionsOff &) = delete;
  ProtectionsOff &operator=(const ProtectionsOff &) = delete;

 private:
  std::vector<std::pair<std::string, std::string>> saved_;
};

class Ownership : public ::testing::Test {
 protected:
  // One conversion of CH0, expected to read `code`, on the board `board`.
  outcome convert(const std::string &board, int code, std::map<std::string, std::string> env = {}) {
    env["VBOARD_BOARD"] = board;
    return run_on_board({BOARD_WORKER_PATH, "spi", "1", "0", std::to_string(code)}, env, true);
  }
  outcome launcher(const std::vector<std::string> &args) {
    std::vector<std::string> argv{VBOARD_LAUNCHER};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_plain(argv, {});
  }
  // A board object made by a program on the board, its CH0 left at `code`.
  std::string make_board(const std::string &path, int code) {
    EXPECT_EQ(convert(path, code, {{"VBOARD_CH0", std::to_string(code)}}).status, 0);
    return read_file(path);
  }
  // The program ran, on a board of its own, after saying what it found.
  static void refused(const outcome &o, const std::string &found) {
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("refusing the board"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find(found), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("runs on a private board"), std::string::npos) << o.err;
  }
  temp_dir dir;
};

TEST_F(Ownership, AFileBoardThatIsALinkAFifoOrAnotherUsersIsRefused) {
  ProtectionsOff off;
  const std::string board = dir / "board", link = dir / "link";
  const std::string good = make_board(board, 999);
  ASSERT_FALSE(good.empty());

  // A link to a board is not the board: the board behind it stays as it is
  // and its input (999) is not read.
  ASSERT_EQ(symlink(board.c_str(), link.c_str()), 0);
  refused(convert(link, 0), "it is a symbolic link");
  EXPECT_TRUE(read_file(board) == good);
  // Nor is a link to where a board would be made.
  ASSERT_EQ(symlink((dir / "made").c_str(), (dir / "dangling").c_str()), 0);
  refused(convert(dir / "dangling", 0), "it is a symbolic link");
  EXPECT_FALSE(std::filesystem::exists(dir / "made"));

  // A FIFO would hold the open up if it were opened for waiting.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  refused(convert(dir / "fifo", 0), "it is a FIFO");
  ASSERT_EQ(mkdir((dir / "folder").c_str(), 0700), 0);
  const outcome o = convert(dir / "folder", 0);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("cannot open the board " + dir / "folder" + " (Is a directory)"),
            std::string::npos)
      << o.err;

  // Others may write a board with group or other bits: its inputs are not
  // this user's.
  ASSERT_EQ(chmod(board.c_str(), 0666), 0);
  refused(convert(board, 0), "its mode is 0666");
  ASSERT_EQ(chmod(board.c_str(), 0640), 0);
  refused(convert(board, 0), "its mode is 0640");
  ASSERT_EQ(chmod(board.c_str(), 0600), 0);
  EXPECT_EQ(convert(board, 999).status, 0);  // the same object, fine again

  if (geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  const std::string used = read_file(board);  // a program's use leaves its lock ticket
  ASSERT_EQ(chown(board.c_str(), kOtherUid, kOtherUid), 0);
  refused(convert(board, 0), "it is owned by uid " + std::to_string(kOtherUid));
  EXPECT_TRUE(read_file(board) == used);
}

TEST_F(Ownership, ANamedBoardPlantedInSharedMemoryIsRefused) {
  ProtectionsOff off;
  const std::string name = "owner-test-" + std::to_string(getpid());
  const std::string object =
      "/dev/shm/vboard-" + std::to_string(static_cast<unsigned>(getuid())) + "-" + name;
  if (!std::filesystem::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm here";
  struct cleanup {
    std::string path;
    ~cleanup() { (void)unlink(path.c_str()); }
  } removed{object};
  (void)unlink(object.c_str());

  // A board whose CH0 reads 999, planted under this user's name for everyone
  // to write (and, as root, given to another user).
  const std::string planted = make_board(dir / "board", 999);
  {
    std::ofstream out(object, std::ios::binary);
    out << planted;
  }
  ASSERT_EQ(chmod(object.c_str(), 0666), 0);
  refused(convert(name, 0), "its mode is 0666");
  if (geteuid() == 0) {
    ASSERT_EQ(chown(object.c_str(), kOtherUid, kOtherUid), 0);
    refused(convert(name, 0), "it is owned by uid " + std::to_string(kOtherUid));
    // The reset cannot have it either, and says so.
    const outcome o = launcher({"reset", "--board", name});
    EXPECT_NE(o.status, 0);
    EXPECT_EQ(o.out.find("powered off and on"), std::string::npos) << o.out;
    EXPECT_TRUE(read_file(object) == planted);
  }

  // A link where the object goes is not followed, and makes nothing.
  ASSERT_EQ(unlink(object.c_str()), 0);
  ASSERT_EQ(symlink((dir / "victim").c_str(), object.c_str()), 0);
  if (geteuid() == 0) {
    ASSERT_EQ(lchown(object.c_str(), kOtherUid, kOtherUid), 0);
  }
  refused(convert(name, 0), "it is a symbolic link");
  EXPECT_FALSE(std::filesystem::exists(dir / "victim"));

  // Once it is gone the board is made afresh, this user's alone.
  ASSERT_EQ(unlink(object.c_str()), 0);
  const outcome o = convert(name, 0);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err.find("refusing"), std::string::npos) << o.err;
  struct stat st {};
  ASSERT_EQ(lstat(object.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600U);
  EXPECT_EQ(st.st_uid, geteuid());
}

TEST_F(Ownership, AResetLeavesAFileThatIsNoBoardAloneAndFails) {
  const std::string file = dir / "precious";
  std::ofstream(file) << "precious\n";
  outcome o = launcher({"reset", "--board", file});
  EXPECT_NE(o.status, 0);
  EXPECT_EQ(o.out.find("powered off and on"), std::string::npos) << o.out;
  EXPECT_NE(o.err.find("it is not a board"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("left as it is"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("powering off the board " + file + " failed"), std::string::npos) << o.err;
  EXPECT_EQ(read_file(file), "precious\n");

  // A link is left alone too, and so is what it points to.
  ASSERT_EQ(symlink(file.c_str(), (dir / "link").c_str()), 0);
  o = launcher({"reset", "--board", dir / "link"});
  EXPECT_NE(o.status, 0);
  EXPECT_EQ(o.out.find("powered off and on"), std::string::npos) << o.out;
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link"));
  EXPECT_EQ(read_file(file), "precious\n");

  // A name the board cannot have is a failure, not a reset of a private one.
  o = launcher({"reset", "--board", "no such name"});
  EXPECT_NE(o.status, 0);
  EXPECT_EQ(o.out.find("powered off and on"), std::string::npos) << o.out;

  // A board of this user's that others could write is replaced by a fresh
  // one, 0600.
  const std::string board = dir / "board";
  make_board(board, 999);
  ASSERT_EQ(chmod(board.c_str(), 0644), 0);
  o = launcher({"reset", "--board", board});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("powered off and on"), std::string::npos) << o.out;
  struct stat st {};
  ASSERT_EQ(stat(board.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600U);
  EXPECT_EQ(convert(board, 0).status, 0);  // powered on afresh: CH0 reads 0
}

TEST_F(Ownership, TheTraceFollowsNoLinkOfAnotherUserAndAppends) {
  ProtectionsOff off;
  const std::string trace = dir / "trace";
  std::ofstream(trace) << "kept\n";
  // The user's own link is followed; what the file held stays.
  ASSERT_EQ(symlink(trace.c_str(), (dir / "mine").c_str()), 0);
  outcome o = convert(dir / "board", 0, {{"VBOARD_TRACE", dir / "mine"}});
  EXPECT_EQ(o.status, 0) << o.err;
  const std::string written = read_file(trace);
  EXPECT_EQ(written.rfind("kept\n", 0), 0U) << written;
  EXPECT_NE(written.find("op=ioctl"), std::string::npos) << written;

  if (geteuid() != 0) GTEST_SKIP() << "a link of another user's needs root to make";
  ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / "theirs").c_str()), 0);
  ASSERT_EQ(lchown((dir / "theirs").c_str(), kOtherUid, kOtherUid), 0);
  o = convert(dir / "board", 0, {{"VBOARD_TRACE", dir / "theirs"}});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("a symbolic link owned by uid " + std::to_string(kOtherUid)),
            std::string::npos)
      << o.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "victim"));

  // A FIFO of another user's with no reader would hold the program up.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0666), 0);
  ASSERT_EQ(chown((dir / "fifo").c_str(), kOtherUid, kOtherUid), 0);
  o = convert(dir / "board", 0, {{"VBOARD_TRACE", dir / "fifo"}});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("a FIFO owned by uid"), std::string::npos) << o.err;
}

// Waits up to `limit` for a started process; kills it when it is still
// running then. Its exit status, 128 + signal, or -1 when it had to be
// killed.
int wait_within(pid_t pid, std::chrono::seconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (std::chrono::steady_clock::now() < until) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0 && errno != EINTR) return -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

TEST_F(Ownership, AWriterScribblingOverTheObjectNeverFaultsOrHangsAClient) {
  const std::string board = dir / "board";
  make_board(board, 0);
  const int fd = open(board.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(fstat(fd, &st), 0);
  const auto size = static_cast<std::size_t>(st.st_size);
  void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  ASSERT_NE(map, MAP_FAILED);
  auto *bytes = static_cast<unsigned char *>(map);

  // Clients attach to the board while it is sound (a damaged one is
  // refused at attach); each says when it has.
  std::vector<pid_t> clients;
  std::vector<std::string> ready;
  for (int i = 0; i < 2; ++i) {
    ready.push_back(dir / ("ready" + std::to_string(i)));
    std::string error;
    const pid_t pid =
        adckit::test::start({.argv = {BOARD_WORKER_PATH, "churn", "300", ready.back()},
                             .env = {{"VBOARD_BOARD", board}},
                             .board = true},
                            &error);
    ASSERT_GT(pid, 0) << error;
    clients.push_back(pid);
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (const auto &r : ready) {
    while (!std::filesystem::exists(r) && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // Everything after the header (magic, layout, size, ready, and the lock
  // word, whose holder another design keeps from stopping the board) is
  // written over again and again: random bytes, all ones, the largest and
  // smallest numbers, counts far past any table.
  std::atomic<bool> stop{false};
  std::thread scribbler([&] {
    std::mt19937 random(12345);
    const std::int32_t words[] = {INT32_MIN, INT32_MAX, -1, 2000000, 1024, 4096, 0x7fff, 65};
    constexpr std::size_t kHeader = 24;
    for (unsigned round = 0; !stop.load(); ++round) {
      for (std::size_t at = kHeader; at + 4 <= size; at += 4) {
        std::uint32_t w = 0;
        switch (round % 5) {
          case 0:
            w = random();
            break;
          case 1:
            w = 0xffffffffU;
            break;
          case 2:
            w = 0x7f7f7f7fU;
            break;
          case 3:
            w = 0x80808080U;
            break;
          default:
            w = static_cast<std::uint32_t>(words[random() % std::size(words)]);
            break;
        }
        std::memcpy(bytes + at, &w, sizeof w);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::vector<int> statuses;
  for (pid_t pid : clients) statuses.push_back(wait_within(pid, std::chrono::seconds(120)));
  stop = true;
  scribbler.join();
  munmap(map, size);
  for (int s : statuses) {
    EXPECT_NE(s, -1) << "a client hung";
    EXPECT_EQ(s, 0) << "a client failed, or faulted (128 + signal): " << s;
  }
}

}  // namespace
