// The board itself: the shared board object (finding it, creating it,
// refusing one of another layout or a damaged one), the board lock, the
// board's first use (configuration from the environment, adoption of
// inherited descriptors), power-off and the board's control calls. What
// the devices keep in the object is theirs: their parts (part.h) set it
// at power-on and check it when the object is found, so nothing here knows
// a pin, the chip or a spidev device.
//
// The lock word lives in the shared object and is taken with an atomic
// compare-and-swap; a process that finds it taken sleeps on it (futex).
// The word names the holder by a ticket that the kernel gives up when the
// holder dies, so no program, dead, stopped or in a debugger, holds up the
// others for more than a few tens of milliseconds (see "The board lock").
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "internal.h"

namespace vboard {

namespace {

long futex(std::uint32_t *word, int op, std::uint32_t val, const timespec *timeout);

// This process's part of the board lock. Every access takes it, so it is
// a word of its own rather than a pthread mutex: taking and giving back a
// free one is one atomic instruction each, and only a thread that finds it
// taken calls the kernel. Constant-initialised, so it is usable from the
// board's load-time constructor whatever order the dynamic initialisers
// run in.
class process_word {
 public:
  void lock() {
    std::uint32_t cur = kFree;
    if (!word().compare_exchange_strong(cur, kHeld, std::memory_order_acquire)) wait(cur);
  }
  void unlock() {
    if (word().exchange(kFree, std::memory_order_release) == kWaited) {
      (void)futex(&w_, FUTEX_WAKE_PRIVATE, 1, nullptr);
    }
  }
  // In a child after fork: the other threads that might have held it are gone.
  void reset() { word().store(kFree, std::memory_order_relaxed); }

 private:
  static constexpr std::uint32_t kFree = 0, kHeld = 1, kWaited = 2;
  std::atomic_ref<std::uint32_t> word() { return std::atomic_ref<std::uint32_t>(w_); }
  void wait(std::uint32_t cur) {
    if (cur != kWaited) cur = word().exchange(kWaited, std::memory_order_acquire);
    while (cur != kFree) {
      (void)futex(&w_, FUTEX_WAIT_PRIVATE, kWaited, nullptr);
      cur = word().exchange(kWaited, std::memory_order_acquire);
    }
  }
  alignas(4) std::uint32_t w_ = kFree;
};
constinit process_word process_mutex;
bool configured = false;
std::atomic<bool> adoption_pending{true};
shared_board *attached = nullptr;
bool shared_object = false;  // false: private memory, no other process
char board_label[256] = "private";
char wanted_label[256] = "private";  // the board asked for, when refused
char board_path[256] = "";           // shared-memory name or file path
bool board_is_file = false;
// Why this process does not run on the board it was asked for: a
// malformed name, an object that cannot be opened, an object of this
// user's that a reset may replace, or one that is not this user's board
// (another user's, a link, a file that is no board), which is left alone.
enum class refusal { none, malformed, unopened, replaceable, foreign };
refusal refused = refusal::none;
int unopened_errno = 0;
// The object mapped, so that opening it again finds the same one.
dev_t object_dev = 0;
ino_t object_ino = 0;
constexpr char kShmDir[] = "/dev/shm";  // where POSIX shared memory lives
std::uint32_t my_pid = 0;               // cached: the lock word is compared with it

// Copies `text` into a fixed field, cut to fit, always terminated.
template <std::size_t N>
void set_text(char (&field)[N], std::string_view text) {
  const std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

long futex(std::uint32_t *word, int op, std::uint32_t val, const timespec *timeout) {
  return real_syscall(SYS_futex, word, op, val, timeout, nullptr, 0);
}

// ----- The board lock
//
// The lock word holds the holder's ticket, with kContended set once a
// process sleeps on it. A ticket is a number no other live process holds:
// its owner keeps a lock (an open-file-description lock, which the kernel
// drops when the process dies, in whatever pid namespace) on the byte at
// kTicketBase + ticket of the board object. So a waiter can tell that a
// holder died without trusting a pid.
//
// A holder that is gone, stopped (Ctrl-Z, SIGSTOP, a debugger) or has held
// the lock far longer than any access takes loses it: critical sections do
// no I/O, never sleep and never touch the caller's memory, so a live,
// running holder keeps the lock for microseconds. A stopped holder that
// resumes finishes its access without the lock (its access may then
// interleave with another's), and leaves the lock word alone, as it is no
// longer its own.
constexpr std::uint32_t kContended = 0x80000000U;
constexpr std::uint32_t kTicketMask = 0x3fffffffU;
// A process that could not take a ticket holds the lock under this bit and
// its pid: nobody can tell that it died, only that it stopped.
constexpr std::uint32_t kUntracked = 0x40000000U;
constexpr std::uint64_t kLockSliceNs = 10 * 1000 * 1000;
constexpr std::uint64_t kStoppedAfterNs = 20 * 1000 * 1000;
constexpr std::uint64_t kHeldTooLongNs = 2000ULL * 1000 * 1000;

std::uint32_t my_ticket = 0;    // 0: none yet
std::atomic<int> ticket_fd{-1};  // the descriptor whose lock keeps the ticket

// Takes a ticket for this process on `b`. Lock not held: the ticket is
// what the lock word names. Returns false when no lock can be taken on the
// object (the process then still uses the board, and a waiter can only tell
// that it stopped, not that it died).
bool take_ticket(shared_board &b) {
  if (ticket_fd < 0) {
    ticket_fd = board_object_fd();
    if (ticket_fd < 0) return false;
    keep_fd(ticket_fd);
  }
  for (int tries = 0; tries < 64; ++tries) {
    const std::uint32_t t =
        (atom(b.ticket_seq).fetch_add(1, std::memory_order_relaxed) + 1) & kTicketMask;
    if (t == 0) continue;
    // Another live process may still hold a number handed out before a
    // power cycle: the lock tells, and the next number is tried.
    if (ofd_lock_byte(ticket_fd, kTicketBase + static_cast<off_t>(t), F_WRLCK, F_OFD_SETLK) == 0) {
      my_ticket = t;
      return true;
    }
  }
  return false;
}

void drop_ticket() {
  close_kept(ticket_fd);
  my_ticket = 0;
}

// True when the process that took `ticket` has ended.
bool ticket_gone(std::uint32_t ticket) {
  if (ticket_fd < 0 || (ticket & kUntracked) != 0) return false;
  return ofd_lock_byte(ticket_fd, kTicketBase + static_cast<off_t>(ticket), F_WRLCK, F_OFD_GETLK) ==
         F_UNLCK;
}

// True when process `pid` is stopped by a signal or a debugger.
bool process_stopped(std::uint32_t pid) {
  if (pid == 0) return false;
  char path[48], text[512];
  std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
  const int fd = real_open(path, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t n = real_read(fd, text, sizeof text - 1);
  real_close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  // The state follows the command name, which may itself hold ") ".
  const char *close_paren = std::strrchr(text, ')');
  if (close_paren == nullptr || close_paren[1] != ' ') return false;
  return close_paren[2] == 'T' || close_paren[2] == 't';
}

// The lock taken by another: waits for it, or takes it over (see above).
[[gnu::noinline]] void shared_lock_wait(shared_board &b) {
  auto word = atom(b.lock);
  std::uint32_t cur = 0;
  {
    std::uint32_t owner = 0;
    std::uint64_t since = 0;
    while (true) {
      cur = word.load(std::memory_order_relaxed);
      if (cur == 0) {
        // Taken after a wait: others may sleep too, so the unlock wakes one.
        if (word.compare_exchange_strong(cur, my_ticket | kContended, std::memory_order_acquire))
          break;
        continue;
      }
      if ((cur & kContended) == 0 &&
          !word.compare_exchange_strong(cur, cur | kContended, std::memory_order_relaxed)) {
        continue;
      }
      cur |= kContended;
      const timespec slice{0, static_cast<long>(kLockSliceNs)};
      (void)futex(&b.lock, FUTEX_WAIT, cur, &slice);
      const std::uint64_t now = monotonic_ns();
      if ((cur & ~kContended) != owner) {
        owner = cur & ~kContended;
        since = now;
        continue;
      }
      const std::uint64_t held = now - since;
      if (held < kLockSliceNs) continue;
      const bool lost = ticket_gone(owner) ||
                        (held >= kStoppedAfterNs &&
                         process_stopped(atom(b.lock_pid).load(std::memory_order_relaxed))) ||
                        held >= kHeldTooLongNs;
      if (lost && (word.load(std::memory_order_relaxed) & ~kContended) == owner) {
        std::uint32_t seen = word.load(std::memory_order_relaxed);
        if ((seen & ~kContended) == owner &&
            word.compare_exchange_strong(seen, my_ticket | kContended, std::memory_order_acquire))
          break;
      }
    }
  }
}

void shared_lock(shared_board &b) {
  if (!shared_object) return;
  if (my_ticket == 0 && !take_ticket(b)) my_ticket = kUntracked | (my_pid & kTicketMask);
  std::uint32_t cur = 0;
  if (!atom(b.lock).compare_exchange_strong(cur, my_ticket, std::memory_order_acquire)) {
    shared_lock_wait(b);
  }
  atom(b.lock_pid).store(my_pid, std::memory_order_relaxed);
}

void shared_unlock(shared_board &b) {
  if (!shared_object) return;
  auto word = atom(b.lock);
  std::uint32_t cur = word.load(std::memory_order_relaxed);
  do {
    // Taken from this process while it was stopped: no longer its own.
    if ((cur & ~kContended) != my_ticket) return;
  } while (!word.compare_exchange_weak(cur, 0, std::memory_order_release));
  if ((cur & kContended) != 0) futex(&b.lock, FUTEX_WAKE, 1, nullptr);
}

// A board this process alone uses: the former default, and what tests
// that must not meet each other run on. Sized for this build's slices,
// once; it lives as long as the process.
shared_board &private_board() {
  static auto *b = static_cast<shared_board *>(std::calloc(1, board_bytes()));
  if (b == nullptr) {
    tell("vboard: no memory for a board\n");
    std::abort();
  }
  return *b;
}

void power_on(shared_board &b) {
  // The lock words stay: the caller holds the lock, others may wait on it.
  const std::uint32_t lock = b.lock, pid = b.lock_pid, tickets = b.ticket_seq;
  const std::uint32_t edge_seq = b.edge_seq;
  std::memset(static_cast<void *>(&b), 0, board_bytes());
  b.lock = lock;
  b.lock_pid = pid;
  b.ticket_seq = tickets;
  b.edge_waiting = 1;  // pollers of the old board look again
  b.edge_seq = edge_seq + 1;  // pollers of the old board look again
  b.magic = kBoardMagic;
  b.layout = kBoardLayout;
  b.size = static_cast<std::uint32_t>(board_bytes());
  b.fingerprint = parts_fingerprint();
  b.epoch_ns = monotonic_ns();
  power_on_parts(b);
  atom(b.ready).store(1, std::memory_order_release);
}

// What a board object must hold to be run from; anything else is damage.
const char *damage(const shared_board &b) {
  if (b.ready != 1) return "it was never finished";
  return part_damage(b);
}

// Names the object from VBOARD_BOARD (or the older VBOARD_STATE, a file):
// fills board_label/board_path; false for the private board, also when
// the name is malformed (then `refused` says so).
bool choose_board() {
  const char *v = config::env("VBOARD_BOARD");
  const char *state = config::env("VBOARD_STATE");
  board_is_file = false;
  if (v == nullptr && state != nullptr) v = state;  // a path, as it always was
  if (v == nullptr) v = "default";
  const std::string_view name(v);
  if (name == "private") {
    set_text(board_label, "private");
    return false;
  }
  if (name.find('/') != std::string_view::npos && name.size() >= sizeof board_path) {
    config::complain("VBOARD_BOARD", v,
                     "a path shorter than 256 bytes; this program runs on a private board");
    set_text(board_label, v);
    refused = refusal::malformed;
    unopened_errno = ENAMETOOLONG;
    return false;
  }
  if (name.find('/') != std::string_view::npos) {
    board_is_file = true;
    set_text(board_label, v);
    set_text(board_path, v);
    return true;
  }
  bool ok = !name.empty() && name.size() <= 64 && name != "." && name != "..";
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.';
    if (!plain) ok = false;
  }
  if (!ok) {
    config::complain("VBOARD_BOARD", v,
                     "a name of letters, digits, '-', '_' and '.' (up to 64), a path, or private; "
                     "this program runs on a private board");
    set_text(board_label, v);
    refused = refusal::malformed;
    unopened_errno = EINVAL;
    return false;
  }
  set_text(board_label, v);
  // The object is opened as a file in the shared-memory file system rather
  // than through shm_open, so that every flag of the open is this file's
  // own choice (no link followed, created exclusively).
  const std::string object = std::string(kShmDir) + "/vboard-" +
                             std::to_string(static_cast<unsigned>(getuid())) + "-" +
                             std::string(name);
  set_text(board_path, object);
  return true;
}

// Opens the object, creating it when there is none. Created exclusively and
// 0600, and never through a link: another user's object, or a link planted
// where the object goes, is never taken for it (whatever the system's
// fs.protected_* settings). Non-blocking, so a FIFO planted there cannot
// hold the open up, and never a controlling terminal. Returns the
// descriptor or -1 with errno (ELOOP: a link is there).
int open_object(bool &created) {
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  created = false;
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = real_open(board_path, kFlags | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
      created = true;
      // A umask that takes the owner's own bits would leave an object
      // nobody may open, and one this check then refuses.
      (void)fchmod(fd, 0600);
      return fd;
    }
    if (errno != EEXIST) return -1;
    fd = real_open(board_path, kFlags, 0);
    if (fd >= 0 || errno != ENOENT) return fd;
    // Removed between the two opens (a reset in another process): again.
  }
  errno = EAGAIN;
  return -1;
}

const char *file_kind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "not a regular file";
}

// The board magic at the start of the object, read without mapping it (a
// file shorter than a board would fault when touched through a mapping).
// libc's own pread: the board's entry points would take the lock this
// process is taking.
bool starts_as_board(int fd) {
  std::uint32_t magic = 0;
  return real_pread(fd, &magic, sizeof magic, 0) == static_cast<ssize_t>(sizeof magic) &&
         magic == kBoardMagic;
}

// Why a board object open on `fd` was made by another build: another
// layout number, or other slices of the parts (parts.cpp); null when it
// is this build's. Read from the header, before its size is looked at,
// so that the reason given is the build, not the size that follows.
const char *other_layout(int fd, char (&detail)[160]) {
  std::uint32_t layout = 0, fingerprint = 0;
  if (real_pread(fd, &layout, sizeof layout, offsetof(shared_board, layout)) !=
      static_cast<ssize_t>(sizeof layout)) {
    return nullptr;
  }
  if (layout != kBoardLayout) {
    std::snprintf(detail, sizeof detail,
                  "it has layout %u, made by another version of the board (this one uses %u)",
                  layout, kBoardLayout);
    return detail;
  }
  if (real_pread(fd, &fingerprint, sizeof fingerprint, offsetof(shared_board, fingerprint)) !=
      static_cast<ssize_t>(sizeof fingerprint)) {
    return nullptr;
  }
  if (fingerprint != parts_fingerprint()) {
    std::snprintf(detail, sizeof detail,
                  "its devices' slices are of another build (fingerprint %08x, this one's %08x), "
                  "made by another version of the board",
                  fingerprint, parts_fingerprint());
    return detail;
  }
  return nullptr;
}

// Why the object open on `fd` (described by `st`) is not one this user's
// board may live in (type, owner, contents, mode, links), or null when it
// may; `refused` then tells whether a reset may replace it: only an object
// of this user's that is empty or a board.
const char *not_ours(int fd, const struct stat &st, char (&detail)[160]) {
  refused = refusal::foreign;
  if (!S_ISREG(st.st_mode)) {
    std::snprintf(detail, sizeof detail, "it is %s, not a regular file", file_kind(st.st_mode));
    return detail;
  }
  if (st.st_uid != geteuid()) {
    std::snprintf(detail, sizeof detail, "it is owned by uid %u, not by this user (uid %u)",
                  static_cast<unsigned>(st.st_uid), static_cast<unsigned>(geteuid()));
    return detail;
  }
  if (st.st_size != 0 && !starts_as_board(fd)) return "it is not a board";
  refused = refusal::replaceable;
  if ((st.st_mode & 07777) != 0600) {
    std::snprintf(detail, sizeof detail,
                  "its mode is %04o, where a board's is 0600 (its owner's alone)",
                  static_cast<unsigned>(st.st_mode & 07777));
    return detail;
  }
  if (st.st_nlink != 1) {
    std::snprintf(detail, sizeof detail, "it has %lu names (hard links), where a board has one",
                  static_cast<unsigned long>(st.st_nlink));
    return detail;
  }
  refused = refusal::none;
  return nullptr;
}

void refuse(const char *why) {
  if (refused == refusal::replaceable) {
    tell("vboard: refusing the board %s: %s. Run 'vboard reset --board %s' to power it off and "
         "start afresh; this program runs on a private board.\n",
         board_label, why, board_label);
  } else {
    tell("vboard: refusing the board %s: %s. 'vboard reset' leaves it as it is (remove it or name "
         "another board); this program runs on a private board.\n",
         board_label, why);
  }
}

// Maps the named object, creating it at power-on when it is new. Returns
// the board, or null after saying why (the caller then runs privately;
// `refused` tells what a power cycle may do about it).
shared_board *map_object() {
  refused = refusal::none;
  bool created = false;
  const int fd = open_object(created);
  if (fd < 0) {
    if (errno == ELOOP) {
      refused = refusal::foreign;
      refuse("it is a symbolic link");
      return nullptr;
    }
    refused = refusal::unopened;
    unopened_errno = errno;
    tell("vboard: cannot open the board %s (%s); this program runs on a private board\n",
         board_label, std::strerror(errno));
    return nullptr;
  }
  shared_board *b = nullptr;
  struct stat st {};
  const char *why = nullptr;
  char detail[160] = "";
  // One process creates and checks the object while the others wait: a
  // look at its contents between another's sizing and its power-on would
  // find no board there. Creating takes microseconds; a file whose lock
  // someone keeps (it may not even be this user's) is looked at after 2 s
  // all the same.
  for (int waited_ms = 0; flock(fd, LOCK_EX | LOCK_NB) != 0 && waited_ms < 2000; ++waited_ms) {
    const timespec ms{0, 1000 * 1000};
    nanosleep(&ms, nullptr);
  }
  if (real_fstat(fd, &st) != 0) {
    refused = refusal::unopened;
    unopened_errno = errno;
    why = "it cannot be examined";
  } else {
    why = not_ours(fd, st, detail);
  }
  if (why != nullptr) {
    flock(fd, LOCK_UN);
    real_close(fd);
    refuse(why);
    return nullptr;
  }
  if (st.st_size == 0) {
    if (ftruncate(fd, static_cast<off_t>(board_bytes())) != 0) why = "it cannot be sized";
  } else if (!starts_as_board(fd)) {
    why = "it is not a board";
    refused = refusal::foreign;
  } else if (const char *other = other_layout(fd, detail)) {
    why = other;
  } else if (st.st_size != static_cast<off_t>(board_bytes())) {
    std::snprintf(detail, sizeof detail, "it is %lld bytes, this board library uses %zu",
                  static_cast<long long>(st.st_size), board_bytes());
    why = detail;
  }
  if (why == nullptr) {
    void *p = real_mmap(nullptr, board_bytes(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
      why = "it cannot be mapped";
    } else {
      b = static_cast<shared_board *>(p);
      if (st.st_size == 0) {
        power_on(*b);
      } else if (b->magic != kBoardMagic) {
        why = "it is not a board";
        refused = refusal::foreign;
      } else if (b->layout != kBoardLayout) {
        std::snprintf(detail, sizeof detail,
                      "it has layout %u, made by another version of the board (this one uses %u)",
                      b->layout, kBoardLayout);
        why = detail;
      } else if (b->size != board_bytes()) {
        std::snprintf(detail, sizeof detail,
                      "it says it is %u bytes, where a board of layout %u is %zu", b->size,
                      kBoardLayout, board_bytes());
        why = detail;
      } else {
        why = damage(*b);
      }
      if (why != nullptr) {
        munmap(p, board_bytes());
        b = nullptr;
      }
    }
  }
  if (why != nullptr) {
    // Anything else refused is a board of this user's a reset may replace.
    if (refused == refusal::none) refused = refusal::replaceable;
  } else {
    object_dev = st.st_dev;
    object_ino = st.st_ino;
  }
  flock(fd, LOCK_UN);
  real_close(fd);
  if (why != nullptr) refuse(why);
  return b;
}

// A named board lives in shared memory until it is powered off: then its
// object goes, so that none is left behind, and the next program on the
// board makes it afresh. Programs still attached keep the old one, just
// powered on, to themselves. Only the object this process maps goes, not
// one another program made since; a board in a file stays with its file.
// Returns false, after saying so, when the object stays.
bool remove_named_object() {
  if (!shared_object || board_is_file) return true;
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  const int fd = real_open(board_path, kFlags, 0);
  if (fd < 0) return true;  // gone already, or another's in its place
  struct stat st {};
  int err = 0;
  if (real_fstat(fd, &st) == 0 && st.st_dev == object_dev && st.st_ino == object_ino &&
      unlink(board_path) != 0 && errno != ENOENT) {
    err = errno;
  }
  real_close(fd);
  if (err == 0) return true;
  tell("vboard: the board %s was powered off, but its object stays (%s)\n", board_label,
       std::strerror(err));
  errno = err;
  return false;
}

void attach() {
  my_pid = static_cast<std::uint32_t>(getpid());
  refused = refusal::none;
  shared_board *b = choose_board() ? map_object() : nullptr;
  if (b != nullptr) {
    attached = b;
    shared_object = true;
  } else {
    attached = &private_board();
    shared_object = false;
    if (private_board().magic != kBoardMagic) power_on(private_board());
    if (refused != refusal::none) {
      set_text(wanted_label, board_label);
      set_text(board_label, "private");
    }
  }
  attach_parts(*attached);
}

}  // namespace

shared_board &board() { return *attached; }

int ofd_lock_byte(int fd, off_t at, short type, int cmd) {
  struct flock64 l {};
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = at;
  l.l_len = 1;
#ifdef SYS_fcntl64
  const long r = real_syscall(SYS_fcntl64, fd, cmd, &l);
#else
  const long r = real_syscall(SYS_fcntl, fd, cmd, &l);
#endif
  if (r != 0) return -1;
  return cmd == F_OFD_GETLK ? l.l_type : 0;
}

// ----- The board's own descriptors
//
// The board keeps descriptors of its object open for its locks. The
// program never opened them, so as on a kernel it can neither close them
// nor take their numbers from under the board: they live above the numbers
// programs use (shells keep theirs from 10 and at 255), a close of one
// fails with EBADF, a bulk close passes over them, and a dup2 onto one
// moves the board's descriptor elsewhere first.
long raw_fcntl(int fd, int cmd, long arg) {
#ifdef SYS_fcntl64
  return real_syscall(SYS_fcntl64, fd, cmd, arg);
#else
  return real_syscall(SYS_fcntl, fd, cmd, arg);
#endif
}


namespace {
constexpr int kKeptMax = 64;
std::atomic<std::atomic<int> *> kept[kKeptMax];
std::atomic<int> kept_top{0};  // entries in use are below this

// A close-on-exec copy of `fd` at the high end of the descriptor table,
// or -1.
int high_copy(int fd) {
  static const int floor = [] {
    rlimit r {};
    const rlim_t top = getrlimit(RLIMIT_NOFILE, &r) == 0 ? r.rlim_cur : 1024;
    return static_cast<int>(std::min<rlim_t>(top, 1024) * 7 / 8);
  }();
  return static_cast<int>(raw_fcntl(fd, F_DUPFD_CLOEXEC, floor));
}

std::atomic<int> *kept_slot(int fd) {
  if (fd < 0) return nullptr;
  const int top = kept_top.load(std::memory_order_acquire);
  for (int i = 0; i < top; ++i) {
    std::atomic<int> *owner = kept[i].load(std::memory_order_acquire);
    if (owner != nullptr && owner->load(std::memory_order_relaxed) == fd) return owner;
  }
  return nullptr;
}
}  // namespace

bool is_board_object(int fd) {
  struct stat st {};
  return shared_object && fd >= 0 && real_fstat(fd, &st) == 0 && st.st_dev == object_dev &&
         st.st_ino == object_ino;
}

int board_object_fd() {
  if (!shared_object) return -1;
  const int fd = real_open(board_path, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
  if (fd < 0) return -1;
  // Only the object this process maps: not one that took its name since.
  struct stat st {};
  if (real_fstat(fd, &st) != 0 || st.st_dev != object_dev || st.st_ino != object_ino) {
    real_close(fd);
    return -1;
  }
  return fd;
}

void keep_fd(std::atomic<int> &owner) {
  // Moved up out of the program's way first.
  if (const int fd = owner; fd >= 0) {
    if (const int high = high_copy(fd); high >= 0) {
      real_close(fd);
      owner = high;
    }
  }
  for (int i = 0; i < kKeptMax; ++i) {
    std::atomic<int> *none = nullptr;
    if (kept[i].compare_exchange_strong(none, &owner, std::memory_order_acq_rel)) {
      int top = kept_top.load(std::memory_order_relaxed);
      while (top <= i && !kept_top.compare_exchange_weak(top, i + 1, std::memory_order_release)) {
      }
      return;
    }
  }
  // A full table leaves the descriptor unguarded, not the board broken.
}

void close_kept(std::atomic<int> &owner) {
  for (auto &k : kept) {
    std::atomic<int> *mine = &owner;
    if (k.compare_exchange_strong(mine, nullptr, std::memory_order_acq_rel)) break;
  }
  const int fd = owner.exchange(-1);
  if (fd >= 0) real_close(fd);
}

bool kept_fd(int fd) { return kept_slot(fd) != nullptr; }

bool make_way(int fd) {
  std::atomic<int> *owner = kept_slot(fd);
  if (owner == nullptr) return true;
  const int moved = high_copy(fd);
  if (moved < 0) return false;
  owner->store(moved);
  real_close(fd);
  return true;
}

int close_around_kept(unsigned int first, unsigned int last, int flags, close_range_fn real) {
  unsigned int from = first;
  int result = 0;
  for (;;) {
    // The lowest kept descriptor in [from, last].
    unsigned int next = last;
    bool found = false;
    const int top = kept_top.load(std::memory_order_acquire);
    for (int i = 0; i < top; ++i) {
      std::atomic<int> *owner = kept[i].load(std::memory_order_acquire);
      const int fd = owner != nullptr ? owner->load(std::memory_order_relaxed) : -1;
      if (fd >= 0 && static_cast<unsigned int>(fd) >= from &&
          static_cast<unsigned int>(fd) <= next) {
        next = static_cast<unsigned int>(fd);
        found = true;
      }
    }
    if (!found) return real(from, last, flags) == 0 ? result : -1;
    if (next > from && real(from, next - 1, flags) != 0) result = -1;
    if (next == last) return result;
    from = next + 1;
  }
}
const char *board_name() { return board_label; }
bool board_is_shared() { return shared_object; }

int looking_fd() {
  static std::atomic<int> fd{-1};
  static const shared_board *on = nullptr;
  if (on != &board()) {
    close_kept(fd);
    fd = board_object_fd();
    if (fd >= 0) keep_fd(fd);
    on = &board();
  }
  return fd;
}

pid_t own_pid() { return my_pid != 0 ? static_cast<pid_t>(my_pid) : getpid(); }

process_lock::process_lock() {
  signals_enter();
  process_mutex.lock();
}
process_lock::~process_lock() {
  process_mutex.unlock();
  signals_leave();
}

bool inherited_adopted() { return !adoption_pending.load(std::memory_order_acquire); }

board_lock::board_lock() {
  signals_enter();
  process_mutex.lock();
  if (attached != nullptr) shared_lock(*attached);
}
board_lock::~board_lock() {
  if (attached != nullptr) shared_unlock(*attached);
  if (!watch.pending) {
    // Most accesses leave no trace lines to write and no time to spend.
    const bool flush = watch.capture_file;
    process_mutex.unlock();
    signals_leave();
    if (flush) capture_flush();
    return;
  }
  // The trace lines and the modelled access time of what was done inside
  // are this process's own business: others may go on meanwhile.
  after_access work = take_after_access();
  process_mutex.unlock();
  signals_leave();
  work.run();
}

int fail(int err) {
  errno = err;
  return -1;
}

bool board_settled = false;
constinit access_watch watch{};

void settle_board() {
  if (!configured) {
    configured = true;
    attach();
    // The shared lock is taken now that there is a board to take it on;
    // board_lock releases it with the process mutex.
    shared_lock(*attached);
    configure_core(false);
    configure_devices(false);
  }
  if (adoption_pending) {
    adoption_pending = false;
    adopt_inherited();
    adoption_done();
  }
  board_settled = true;
}

bool add_provider(const provider &p) {
  board_lock lock;
  if (!register_provider(p)) {
    tell("vboard: no room for the device handler of %s; its files are not emulated\n", p.prefix);
    return false;
  }
  // Constructors run in no fixed order: a handler registering after the
  // board's first use is configured now and gets its inherited descriptors.
  if (configured && p.configure != nullptr) p.configure(false);
  if (!adoption_pending) adopt_inherited();
  return true;
}

std::uint64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

std::uint64_t now_ns() {
  const std::uint64_t t = monotonic_ns();
  const std::uint64_t epoch = attached != nullptr ? attached->epoch_ns : t;
  return t > epoch ? t - epoch : 0;
}

void notify_edges() {
  shared_board &b = board();
  atom(b.edge_seq).fetch_add(1, std::memory_order_release);
  // A waiter sets the flag before it sleeps; one that was killed asleep
  // costs one needless wake, not one at every edge from then on.
  if (atom(b.edge_waiting).load(std::memory_order_relaxed) != 0 &&
      atom(b.edge_waiting).exchange(0, std::memory_order_acq_rel) != 0) {
    futex(&b.edge_seq, FUTEX_WAKE, INT32_MAX, nullptr);
  }
}

std::uint32_t edge_sequence() { return atom(board().edge_seq).load(std::memory_order_acquire); }

int wait_for_edges(std::uint32_t seen, std::int64_t timeout_ns) {
  shared_board *b = nullptr;
  {
    board_lock lock;
    ensure_ready();
    b = attached;
    atom(b->edge_waiting).store(1, std::memory_order_seq_cst);
    if (atom(b->edge_seq).load(std::memory_order_seq_cst) != seen) return 0;
  }
  // Another process notifies through the futex; in a private board only
  // this process's own threads can, and they wake it the same way.
  timespec ts{};
  if (timeout_ns >= 0) {
    ts.tv_sec = static_cast<time_t>(timeout_ns / 1000000000);
    ts.tv_nsec = static_cast<long>(timeout_ns % 1000000000);
  }
  const long r = futex(&b->edge_seq, FUTEX_WAIT, seen, timeout_ns >= 0 ? &ts : nullptr);
  if (r != 0 && errno == EINTR) return fail(EINTR);
  return 0;
}

}  // namespace vboard

using namespace vboard;

extern "C" {

static void before_fork() { process_mutex.lock(); }
static void after_fork_parent() { process_mutex.unlock(); }
static void after_fork_child() {
  my_pid = static_cast<std::uint32_t>(getpid());
  // The ticket's lock belongs to the parent's open of the object.
  drop_ticket();
  process_mutex.reset();
}

// Configures the board and adopts inherited descriptors before main, so a
// program that only uses stdio on them (echo) finds them ready.
__attribute__((constructor)) static void vboard_load() {
  {
    board_lock lock;
    ensure_ready();
  }
  pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}

int vboard_reset(void) {
  board_lock lock;
  ensure_ready();
  bool ok = configure_core(true);
  reset_devices();
  if (!configure_devices(true)) ok = false;
  clear_trace();
  return ok ? 0 : fail(EINVAL);
}

int vboard_power_cycle(void) {
  board_lock lock;
  ensure_ready();
  // Without the board asked for, this process runs on a private one:
  // powering that off instead would report a reset that never happened.
  switch (refused) {
    case refusal::none:
      break;
    case refusal::malformed:
      return fail(unopened_errno);
    case refusal::foreign:
      tell("vboard: not powering off %s: it is no board of this user's, and is left as it is\n",
           wanted_label);
      return fail(EPERM);
    case refusal::replaceable:
    case refusal::unopened: {
      // A board of this user's that was refused goes, and a fresh one
      // takes its place; one that could not be opened is tried again.
      if (refused == refusal::replaceable && unlink(board_path) != 0 && errno != ENOENT) {
        const int err = errno;
        tell("vboard: cannot remove the board %s (%s)\n", wanted_label, std::strerror(err));
        return fail(err);
      }
      set_text(board_label, wanted_label);  // what map_object's messages name
      shared_board *b = map_object();
      if (b == nullptr) {
        set_text(board_label, "private");
        return fail(refused == refusal::unopened && unopened_errno != 0 ? unopened_errno : EIO);
      }
      attached = b;
      shared_object = true;
      drop_ticket();  // a ticket of the refused object is no ticket of this one
      shared_lock(*b);
      break;
    }
  }
  power_on(board());
  attach_parts(board());
  reset_devices();
  bool ok = configure_core(false);
  if (!configure_devices(false)) ok = false;
  parts_powered();
  if (!remove_named_object()) return -1;
  return ok ? 0 : fail(EINVAL);
}

const char *vboard_board_name(void) {
  board_lock lock;
  ensure_ready();
  return board_label;
}

}  // extern "C"
