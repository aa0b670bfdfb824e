// A board belongs to its user: an object or a link another user planted
// where a board goes is refused with a message saying what was found (the
// program then runs on a board of its own), whatever the system's
// fs.protected_* settings; a reset leaves alone what is not this user's
// board and says it failed; the trace follows no link of another user's;
// and a process scribbling over a board's object while clients use it
// gives them wrong answers at worst, never a fault or a hang.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/board.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace {

using adckit::test::Outcome;
using adckit::test::board::read_file;
namespace fs = std::filesystem;

constexpr uid_t kOtherUid = 65534;  // nobody
const std::string kOther = std::to_string(kOtherUid);

// fs.protected_regular and fs.protected_symlinks off for the test where it
// may turn them off (as root), as on systems that ship them off; restored
// after. The board's checks must hold either way.
struct ProtectionsOff {
  std::vector<std::pair<std::string, std::string>> saved;
  ProtectionsOff() {
    for (const char *name : {"protected_regular", "protected_symlinks"}) {
      const std::string path = std::string("/proc/sys/fs/") + name, was = read_file(path);
      if (geteuid() == 0 && !was.empty() && std::ofstream(path) << "0\n" << std::flush) {
        saved.emplace_back(path, was);
      }
    }
  }
  ~ProtectionsOff() {
    for (const auto &[path, was] : saved) std::ofstream(path) << was;
  }
};

class Ownership : public ::testing::Test {
 protected:
  // One conversion of CH0, expected to read `code`, on the board `board`.
  static Outcome convert(const std::string &board, int code,
                         std::map<std::string, std::string> env = {}) {
    env["VBOARD_BOARD"] = board;
    return adckit::test::run({.argv = {BOARD_WORKER_PATH, "spi", "1", "0", std::to_string(code)},
                              .env = env,
                              .board = true});
  }
  // `vboard reset --board BOARD`.
  static Outcome reset(const std::string &board) {
    return adckit::test::run({.argv = {VBOARD_LAUNCHER, "reset", "--board", board}});
  }
  // A board object made by a program on the board, its CH0 left at `code`.
  static std::string make_board(const std::string &path, int code) {
    EXPECT_EQ(convert(path, code, {{"VBOARD_CH0", std::to_string(code)}}).status, 0);
    return read_file(path);
  }
  // The program ran, on a board of its own, after saying what it found.
  static void refused(const Outcome &o, const std::string &found) {
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("refusing the board"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find(found), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("runs on a private board"), std::string::npos) << o.err;
  }
  // A reset that failed and said nothing of a power cycle.
  static Outcome reset_fails(const std::string &board) {
    const Outcome o = reset(board);
    EXPECT_NE(o.status, 0) << board;
    EXPECT_EQ(o.out.find("powered off and on"), std::string::npos) << o.out;
    return o;
  }
  adckit::test::TempDir dir{"vboard"};
};

// A reset fails too, leaving alone what is no board of this user's, and
// replaces a board of this user's that was refused.
TEST_F(Ownership, AFileBoardThatIsALinkAFifoOrAnotherUsersIsRefused) {
  ProtectionsOff off;
  const std::string board = dir / "board", link = dir / "link";
  const std::string good = make_board(board, 999);
  ASSERT_FALSE(good.empty());

  // A link to a board is not the board: the board behind it stays as it is
  // and its input (999) is not read. Nor is a link to where a board would
  // be made, which makes nothing.
  ASSERT_EQ(symlink(board.c_str(), link.c_str()), 0);
  ASSERT_EQ(symlink((dir / "made").c_str(), (dir / "dangling").c_str()), 0);
  refused(convert(link, 0), "it is a symbolic link");
  refused(convert(dir / "dangling", 0), "it is a symbolic link");
  reset_fails(link);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(read_file(board) == good);
  EXPECT_FALSE(fs::exists(dir / "made"));

  // Nor is a file that is no board, or a name a board cannot have.
  const std::string precious = dir / "precious";
  std::ofstream(precious) << "precious\n";
  EXPECT_NE(reset_fails(precious).err.find("it is no board of this user's, and is left as it is"),
            std::string::npos);
  EXPECT_EQ(read_file(precious), "precious\n");
  reset_fails("no such name");

  // A FIFO would hold the open up if it were opened for waiting.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  refused(convert(dir / "fifo", 0), "it is a FIFO");
  ASSERT_EQ(mkdir((dir / "folder").c_str(), 0700), 0);
  const Outcome o = convert(dir / "folder", 0);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("cannot open the board " + dir / "folder" + " (Is a directory)"),
            std::string::npos)
      << o.err;

  // Exactly 0600: a board others may write has inputs that are not this
  // user's, and one others may read is not its owner's alone.
  for (const auto &[mode, text] : {std::pair{0666, "0666"}, {0640, "0640"}}) {
    ASSERT_EQ(chmod(board.c_str(), mode), 0);
    refused(convert(board, 0), std::string("its mode is ") + text);
  }
  ASSERT_EQ(chmod(board.c_str(), 0600), 0);
  EXPECT_EQ(convert(board, 999).status, 0);  // the same object, fine again
  // A reset replaces one of the wrong mode with a fresh one, 0600, powered
  // on afresh (CH0 back at 0).
  ASSERT_EQ(chmod(board.c_str(), 0644), 0);
  const Outcome fresh = reset(board);
  EXPECT_EQ(fresh.status, 0) << fresh.err;
  EXPECT_NE(fresh.out.find("powered off and on"), std::string::npos) << fresh.out;
  EXPECT_EQ(fs::status(board).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(convert(board, 0).status, 0);

  if (geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  const std::string used = read_file(board);  // a program's use leaves its lock ticket
  ASSERT_EQ(chown(board.c_str(), kOtherUid, kOtherUid), 0);
  refused(convert(board, 0), "it is owned by uid " + kOther);
  EXPECT_TRUE(read_file(board) == used);
}

// Named boards are opened in /dev/shm by name, through no link; what the
// attach checks is the same as for a file board, above.
TEST_F(Ownership, ANamedBoardPlantedInSharedMemoryIsRefused) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm here";
  ProtectionsOff off;
  const std::string name = "owner-test-" + std::to_string(getpid());
  const std::string object = "/dev/shm/vboard-" + std::to_string(getuid()) + "-" + name;
  struct cleanup {
    std::string path;
    ~cleanup() { (void)unlink(path.c_str()); }
  } removed{object};
  (void)unlink(object.c_str());

  if (geteuid() == 0) {
    // A board whose CH0 reads 999, planted under this user's name by
    // another user: neither a program nor the reset may have it.
    const std::string planted = make_board(dir / "board", 999);
    std::ofstream(object, std::ios::binary) << planted;
    ASSERT_EQ(chown(object.c_str(), kOtherUid, kOtherUid), 0);
    refused(convert(name, 0), "it is owned by uid " + kOther);
    reset_fails(name);
    EXPECT_TRUE(read_file(object) == planted);
    ASSERT_EQ(unlink(object.c_str()), 0);
  }

  // A link where the object goes is not followed, and makes nothing.
  ASSERT_EQ(symlink((dir / "victim").c_str(), object.c_str()), 0);
  if (geteuid() == 0) {
    ASSERT_EQ(lchown(object.c_str(), kOtherUid, kOtherUid), 0);
  }
  refused(convert(name, 0), "it is a symbolic link");
  EXPECT_FALSE(fs::exists(dir / "victim"));

  // Once it is gone the board is made afresh, this user's alone.
  ASSERT_EQ(unlink(object.c_str()), 0);
  const Outcome o = convert(name, 0);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err.find("refusing"), std::string::npos) << o.err;
  struct stat st {};
  ASSERT_EQ(lstat(object.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600U);
  EXPECT_EQ(st.st_uid, geteuid());
}

TEST_F(Ownership, TheTraceFollowsNoLinkOfAnotherUserAndAppends) {
  ProtectionsOff off;
  const std::string trace = dir / "trace";
  std::ofstream(trace) << "kept\n";
  // The user's own link is followed; what the file held stays.
  ASSERT_EQ(symlink(trace.c_str(), (dir / "mine").c_str()), 0);
  EXPECT_EQ(convert(dir / "board", 0, {{"VBOARD_TRACE", dir / "mine"}}).status, 0);
  const std::string written = read_file(trace);
  EXPECT_EQ(written.rfind("kept\n", 0), 0U) << written;
  EXPECT_NE(written.find("op=ioctl"), std::string::npos) << written;

  if (geteuid() != 0) GTEST_SKIP() << "a link of another user's needs root to make";
  // Another user's link, and their FIFO with no reader, which would hold
  // the program up.
  ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / "theirs").c_str()), 0);
  ASSERT_EQ(lchown((dir / "theirs").c_str(), kOtherUid, kOtherUid), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0666), 0);
  ASSERT_EQ(chown((dir / "fifo").c_str(), kOtherUid, kOtherUid), 0);
  for (const auto &[file, found] : {std::pair{"theirs", "a symbolic link"}, {"fifo", "a FIFO"}}) {
    const Outcome o = convert(dir / "board", 0, {{"VBOARD_TRACE", dir / file}});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find(std::string(found) + " owned by uid " + kOther), std::string::npos)
        << o.err;
  }
  EXPECT_FALSE(fs::exists(dir / "victim"));
}

TEST_F(Ownership, AWriterScribblingOverTheObjectNeverFaultsOrHangsAClient) {
  const std::string board = dir / "board";
  make_board(board, 0);
  const int fd = open(board.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const auto size = static_cast<std::size_t>(fs::file_size(board));
  void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  ASSERT_NE(map, MAP_FAILED);
  auto *bytes = static_cast<unsigned char *>(map);

  // Clients attach to the board while it is sound (a damaged one is
  // refused at attach); each says when it has. A client still running
  // after its bound is killed, and so fails.
  std::vector<std::future<Outcome>> clients;
  std::vector<std::string> ready;
  for (int i = 0; i < 2; ++i) {
    ready.push_back(dir / ("ready" + std::to_string(i)));
    clients.push_back(std::async(std::launch::async, [&board, r = ready.back()] {
      return adckit::test::run({.argv = {BOARD_WORKER_PATH, "churn", "300", r},
                                .env = {{"VBOARD_BOARD", board}},
                                .board = true},
                               {}, std::chrono::minutes(2));
    }));
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (const auto &r : ready) {
    while (!fs::exists(r) && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // Everything after the header (magic, layout, size, ready, and the lock
  // word, whose holder another design keeps from stopping the board) is
  // written over again and again: random bytes, all ones, repeated bytes
  // with and without the sign bit, and the largest and smallest numbers and
  // counts far past any table.
  std::atomic<bool> stop{false};
  std::thread scribbler([&] {
    std::mt19937 random(12345);
    const std::int32_t words[] = {INT32_MIN, INT32_MAX, -1, 2000000, 1024, 4096, 0x7fff, 65};
    const std::uint32_t fills[] = {0xffffffffU, 0x7f7f7f7fU, 0x80808080U};
    constexpr std::size_t kHeader = 24;
    for (unsigned round = 0; !stop.load(); ++round) {
      for (std::size_t at = kHeader; at + 4 <= size; at += 4) {
        const unsigned kind = round % 5;
        const std::uint32_t w =
            kind == 0   ? random()
            : kind <= 3 ? fills[kind - 1]
                        : static_cast<std::uint32_t>(words[random() % std::size(words)]);
        std::memcpy(bytes + at, &w, sizeof w);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::vector<Outcome> done;
  for (auto &c : clients) done.push_back(c.get());
  stop = true;
  scribbler.join();
  munmap(map, size);
  for (const Outcome &o : done) {
    EXPECT_EQ(o.status, 0) << "a client failed, faulted (128 + signal) or hung: " << o.err;
  }
}

}  // namespace
