// The capture: every line of the board as a Value Change Dump, the format
// waveform viewers and protocol decoders read (see capture.h for how
// several processes share one). Its part of the board object holds no
// capture at power-on and is checked when found.
#include "capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"

namespace vboard {
namespace {

constexpr std::uint64_t kDefaultCaptureLimit = 64ULL << 20;
constexpr std::uint64_t kSmallestLimit = 4096;  // room for a header and the end mark
constexpr const char *kWireNames[kCaptureWires] = {"CLK", "DIN", "DOUT", "CS"};

struct capture_state {
  std::atomic<int> fd{-1};
  std::atomic<int> holder_fd{-1};  // its lock says this process captures
  pid_t opener = 0;  // a forked child opens its own: the file lock is per open
  std::string path;
  std::uint64_t limit = kDefaultCaptureLimit;
  std::uint64_t written = 0;  // by this process, for a file with no size (a pipe)
  std::atomic<bool> flushing{false};
  bool told_lost = false;
  bool ended = false;  // this process wrote the end mark (for a file with no size)
};

capture_state &cap() {
  static capture_state &c = *new capture_state();
  return c;
}

// The capture's slice of the board object.
std::size_t capture_at = 0;
shared_capture &capture_of(shared_board &b) {
  return *static_cast<shared_capture *>(board_slice(b, capture_at));
}
const shared_capture &capture_of(const shared_board &b) {
  return *static_cast<const shared_capture *>(board_slice(b, capture_at));
}
shared_capture &shared() { return capture_of(board()); }

// The byte of the board object capturing processes hold a read lock on
// (no ticket is 0).
constexpr off_t kHolderByte = kTicketBase;

// True when a process on the board still captures. Lock held.
bool capturer_alive() {
  if (cap().holder_fd >= 0) return true;  // this one
  const int fd = looking_fd();
  return fd >= 0 && ofd_lock_byte(fd, kHolderByte, F_WRLCK, F_OFD_GETLK) == F_RDLCK;
}

// The time for a change now: board time moved by the capture's offset,
// later than every change already recorded.
std::uint64_t stamp() {
  const shared_capture &s = shared();
  const std::uint64_t now = now_ns() + shared_read(s.offset_ns);
  const std::uint64_t after = shared_read(s.last_ns) + 1;
  return now > after ? now : after;
}

void record(std::uint64_t t, std::uint32_t signal, std::uint32_t value) {
  shared_capture &s = shared();
  if (signal >= kCaptureLevels || s.level[signal] == value) return;
  s.level[signal] = static_cast<std::uint8_t>(value);
  if (t > s.last_ns) s.last_ns = t;
  const std::uint32_t head = s.head, tail = atom(s.tail).load(std::memory_order_relaxed);
  if (head - tail >= static_cast<std::uint32_t>(kCaptureRing)) {
    if (!capturer_alive()) {
      // Nobody will write these: the capture is over.
      s.active = 0;
      atom(s.tail).store(head, std::memory_order_release);
      return;
    }
    ++s.lost;
    return;
  }
  s.ring[head % kCaptureRing] = {t, signal, value};
  atom(s.head).store(head + 1, std::memory_order_release);
}

std::uint32_t level_of(bool high) { return high ? 2 : 1; }

void record_wires(std::uint64_t t) {
  mcp3008_model &c = chip();
  record(t, 0, level_of(c.clk()));
  record(t, 1, level_of(c.din()));
  record(t, 2, level_of(c.dout()));
  record(t, 3, level_of(c.cs()));
}

bool wired(const pin_wiring &w, int line) {
  return line == w.clock || line == w.din || line == w.dout || line == w.cs;
}

// A signal's identifier in the file: letters only, so that no reader
// takes one for a keyword ('$') or a time ('#').
std::string identifier(std::uint32_t signal) {
  static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string id;
  do {
    id += letters[signal % 52];
    signal /= 52;
  } while (signal != 0);
  return id;
}

// What names the signals in a header, as the board stands.
struct layout {
  pin_wiring wiring;
  int count = 0;  // GPIO lines
  int base = 0;   // number of the first
};

std::string header(const layout &l) {
  std::string h =
      "$version adckit virtual board $end\n"
      "$comment times are the board's, in nanoseconds; x: a line neither exported nor "
      "requested $end\n"
      "$timescale 1ns $end\n"
      "$scope module board $end\n";
  auto var = [&h](std::uint32_t signal, const std::string &name) {
    h += "$var wire 1 ";
    h += identifier(signal);
    h += ' ';
    h += name;
    h += " $end\n";
  };
  for (std::uint32_t w = 0; w < kCaptureWires; ++w) var(w, kWireNames[w]);
  for (int line = 0; line < l.count; ++line) {
    if (!wired(l.wiring, line))
      var(kCaptureWires + line, std::string("GPIO").append(std::to_string(l.base + line)));
  }
  h += "$upscope $end\n$enddefinitions $end\n";
  return h;
}

// A $dumpoff block (every signal unknown: the end of a capture at its
// limit, or changes lost) or a $dumpon block (every signal at `levels`).
std::string dump_block(const layout &l, const char *keyword, const std::uint8_t *levels) {
  std::string s = keyword;
  s += '\n';
  auto put = [&](std::uint32_t signal) {
    s += levels != nullptr && levels[signal] <= 2 ? "x01"[levels[signal]] : 'x';
    s += identifier(signal);
    s += '\n';
  };
  for (std::uint32_t w = 0; w < kCaptureWires; ++w) put(w);
  for (int line = 0; line < l.count; ++line) {
    if (!wired(l.wiring, line)) put(kCaptureWires + static_cast<std::uint32_t>(line));
  }
  s += "$end\n";
  return s;
}

std::string stamp_line(std::uint64_t t) {
  std::string s = "#";
  s += std::to_string(t);
  s += '\n';
  return s;
}

bool declared(const layout &l, std::uint32_t signal) {
  if (signal < kCaptureWires) return true;
  const int line = static_cast<int>(signal - kCaptureWires);
  return line < l.count && !wired(l.wiring, line);
}

// The last time in the capture file `fd` (a regular file), 0 when it has
// none: a capture appended to an existing file goes on after it.
std::uint64_t last_time_in(int fd) {
  struct stat st {};
  if (real_fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return 0;
  char tail[8192];
  const off_t from = st.st_size > static_cast<off_t>(sizeof tail)
                         ? st.st_size - static_cast<off_t>(sizeof tail)
                         : 0;
  const ssize_t n = real_pread(fd, tail, sizeof tail, from);
  for (ssize_t i = n - 1; i >= 0; --i) {
    if (tail[i] != '#' || (i > 0 && tail[i - 1] != '\n')) continue;
    std::uint64_t t = 0;
    ssize_t k = i + 1;
    for (; k < n && tail[k] >= '0' && tail[k] <= '9'; ++k)
      t = t * 10 + static_cast<std::uint64_t>(tail[k] - '0');
    if (k > i + 1 && k < n && tail[k] == '\n') return t;
  }
  return 0;
}

// True once the capture ends with its end mark (nothing goes after it):
// the last block of the file is a $dumpoff. Changes lost leave one too,
// but a $dumpon after it.
bool ended(const capture_state &c, int fd, bool regular, std::uint64_t size,
           std::size_t mark_size) {
  if (!regular) return c.ended;
  std::string tail(mark_size + 16, '\0');
  const std::uint64_t from = size > tail.size() ? size - tail.size() : 0;
  const ssize_t n = real_pread(fd, tail.data(), tail.size(), static_cast<off_t>(from));
  if (n <= 0) return false;
  tail.resize(static_cast<std::size_t>(n));
  const auto at = tail.rfind("$dump");
  return at != std::string::npos && tail.compare(at, 8, "$dumpoff") == 0;
}

bool write_all(int fd, const std::string &text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t w = real_write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<std::size_t>(w);
  }
  return true;
}

// Takes what waits in the ring and appends it to the file; false when
// there was nothing. The caller holds the file's lock.
bool drain_once(capture_state &c, int fd) {
  // Sized once: nothing allocated under the lock.
  static std::vector<shared_change> &batch = *new std::vector<shared_change>();
  batch.reserve(kCaptureRing);
  batch.clear();
  layout l;
  std::uint32_t lost = 0;
  std::uint64_t last = 0;
  std::uint8_t levels[kCaptureLevels];
  struct stat st {};
  const bool have_stat = real_fstat(fd, &st) == 0;
  const bool regular = have_stat && S_ISREG(st.st_mode);
  bool new_file = regular && st.st_size == 0;
  {
    board_lock lock;
    ensure_ready();
    shared_capture &s = shared();
    const std::uint32_t head = atom(s.head).load(std::memory_order_acquire);
    std::uint32_t tail = s.tail;
    // A count past the ring is no count this board made: the ring is taken
    // as full.
    if (head - tail > static_cast<std::uint32_t>(kCaptureRing)) tail = head - kCaptureRing;
    for (; tail != head; ++tail) batch.push_back(s.ring[tail % kCaptureRing]);
    atom(s.tail).store(head, std::memory_order_release);
    lost = s.lost;
    s.lost = 0;
    last = s.last_ns;
    std::memcpy(levels, s.level, sizeof levels);
    const shared_board &b = board();
    l.wiring = wiring();
    l.count = pin_count(b);
    l.base = pin_base(b);
    // A file without a size (a pipe) gets its header once, from whoever
    // writes to it first.
    if (!regular && have_stat &&
        (s.file_dev != static_cast<std::uint64_t>(st.st_dev) ||
         s.file_ino != static_cast<std::uint64_t>(st.st_ino))) {
      new_file = true;
    }
    if (new_file && have_stat) {
      s.file_dev = static_cast<std::uint64_t>(st.st_dev);
      s.file_ino = static_cast<std::uint64_t>(st.st_ino);
    }
  }
  if (batch.empty() && lost == 0) return false;

  std::string text;
  if (new_file) text = header(l);
  if (lost != 0 && !c.told_lost) {
    c.told_lost = true;
    tell("vboard: the capture %s lost %" PRIu32
         " changes: more than %d changed before they were written out (a very long spidev "
         "message, or a writer held up)\n",
         c.path.c_str(), lost, kCaptureRing);
  }
  std::uint64_t at = 0;
  bool first = true;
  for (const shared_change &ch : batch) {
    if (!declared(l, ch.signal) || ch.value > 2) continue;
    // Times only grow: a change stamped earlier (a damaged ring) is drawn
    // at the time already reached.
    if (first || ch.time_ns > at) {
      at = ch.time_ns;
      text += stamp_line(at);
      first = false;
    }
    text += "x01"[ch.value];
    text += identifier(ch.signal);
    text += '\n';
  }
  if (lost != 0) {
    // The changes lost came after those above: the lines are unknown
    // from there until the levels they left, at the time of the last.
    if (first) text += stamp_line(at = last);
    text += dump_block(l, "$dumpoff", nullptr);
    if (last > at) text += stamp_line(last);
    text += dump_block(l, "$dumpon", levels);
  }

  const std::uint64_t size = regular ? static_cast<std::uint64_t>(st.st_size) : c.written;
  const std::string end =
      stamp_line(batch.empty() ? last : batch.front().time_ns) + dump_block(l, "$dumpoff", nullptr);
  if (ended(c, fd, regular, size, end.size())) return true;
  const std::uint64_t room = c.limit > end.size() ? c.limit - end.size() : 0;
  bool ending = false;
  if (size + text.size() > room) {
    // Only the end mark goes in: the file stays a whole dump, of whole
    // accesses, within its limit.
    text = new_file ? header(l) : std::string();
    text += end;
    ending = true;
    tell("vboard: the capture %s reached its limit of %" PRIu64
         " bytes (VBOARD_CAPTURE_LIMIT); what changed after is not in it\n",
         c.path.c_str(), c.limit);
  }
  if (write_all(fd, text)) c.written += text.size();
  if (ending) c.ended = true;
  return true;
}

// Opens the capture as the trace is opened; a regular file is then opened
// again for reading too, through the descriptor (the same file, whatever
// its name names by now): its end tells its last time and whether it was
// ended.
int open_capture(const char *path, char (&why)[160]) {
  const int fd = open_output(path, O_APPEND, why);
  struct stat st {};
  if (fd < 0 || real_fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return fd;
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  const int rw = real_open(self, O_RDWR | O_APPEND | O_CLOEXEC | O_NOCTTY, 0);
  if (rw < 0) return fd;
  real_close(fd);
  return rw;
}

// The capture's descriptor for this process: a forked child opens the file
// anew, since the lock that orders the writers belongs to an open.
int capture_fd(capture_state &c) {
  int fd = c.fd.load();
  if (fd < 0 || c.opener == getpid()) return fd;
  char why[160];
  const int mine = open_capture(c.path.c_str(), why);
  close_kept(c.fd);
  if (mine < 0) return -1;
  c.fd = mine;
  c.opener = getpid();
  keep_fd(c.fd);
  return mine;
}

// The capture's part of the board object: empty at power-on, checked
// when found.
const char *capture_damage(const shared_board &b) {
  const shared_capture &c = capture_of(b);
  if (c.head - c.tail > static_cast<std::uint32_t>(kCaptureRing)) return "the capture is invalid";
  for (const std::uint8_t v : c.level) {
    if (v > 2) return "the capture is invalid";
  }
  for (const shared_change &ch : c.ring) {
    if (ch.signal >= kCaptureLevels || ch.value > 2) return "the capture is invalid";
  }
  return nullptr;
}

[[gnu::constructor(kRegisterPriority)]] void add_capture_part() {
  add_part({"capture", 60, nullptr, capture_damage, nullptr, nullptr, nullptr,
            sizeof(shared_capture), alignof(shared_capture), 60, &capture_at, nullptr, 0});
}

}  // namespace

void configure_capture(config::reader &r) {
  capture_state &c = cap();
  if (r.restore()) c.limit = kDefaultCaptureLimit;
  if (const char *v = r.get("VBOARD_CAPTURE_LIMIT")) {
    unsigned long n = 0;
    if (config::parse_unsigned(v, n) && n >= kSmallestLimit)
      c.limit = n;
    else
      r.bad("VBOARD_CAPTURE_LIMIT", v, "a size in bytes, 4096 or more");
  }
  const char *v = r.get("VBOARD_CAPTURE");
  if (v != nullptr && c.fd < 0) {
    char why[160] = "";
    const int fd = open_capture(v, why);
    if (fd < 0) {
      char expected[224];
      std::snprintf(expected, sizeof expected, "a file the board can append to; %s", why);
      r.bad("VBOARD_CAPTURE", v, expected);
      return;
    }
    c.fd = fd;
    watch.capture_file = true;
    c.opener = getpid();
    c.path = v;
    keep_fd(c.fd);
  }
  if (c.fd < 0) return;
  shared_capture &s = shared();
  if (c.holder_fd < 0) {
    c.holder_fd = board_object_fd();
    if (c.holder_fd >= 0) {
      keep_fd(c.holder_fd);
      (void)ofd_lock_byte(c.holder_fd, kHolderByte, F_RDLCK, F_OFD_SETLK);
    }
  }
  if (s.active == 0) {
    // Changes others recorded for a capture that ended are not this one's.
    atom(s.tail).store(atom(s.head).load(std::memory_order_relaxed), std::memory_order_release);
  }
  s.active = 1;
  struct stat st {};
  if (real_fstat(c.fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
    // A new file starts with every line as it stands.
    std::memset(s.level, 0, sizeof s.level);
  }
  // Appended to a capture made before (another board, or this one before
  // it was powered off): time goes on from its end.
  const std::uint64_t now = now_ns();
  const std::uint64_t end = last_time_in(c.fd);
  if (end >= now + s.offset_ns && end >= s.last_ns) {
    s.offset_ns = end + 1 - now;
    s.last_ns = end;
  }
  capture_lines();
}

bool capturing() {
  // Another process's capture shows in the board object at once, whenever
  // this one's accesses began.
  return watch.capture_file || (board_is_shared() && shared().active != 0);
}

void capture_lines() {
  if (!capturing()) return;
  const std::uint64_t t = stamp();
  record_wires(t);
  const shared_board &b = board();
  const pin_wiring w = wiring();
  const int count = pin_count(b);
  for (int line = 0; line < count; ++line) {
    if (wired(w, line)) continue;
    const bool present = gpio_state(b).pins[line].exported != 0 || chardev_line_held(line);
    record(t, static_cast<std::uint32_t>(kCaptureWires + line),
           present ? level_of(gpio_line_level(line)) : 0);
  }
}

capture_clock::capture_clock() : on_(capturing()) {
  if (on_) t_ = static_cast<double>(stamp());
}

void capture_clock::mark() {
  if (on_) record_wires(static_cast<std::uint64_t>(t_));
}

void capture_flush() {
  capture_state &c = cap();
  if (c.fd < 0) return;
  // Bounded, so a program is never kept writing what others keep adding;
  // they write it out themselves after their own access.
  for (int round = 0; round < 64; ++round) {
    {
      shared_board &b = board();
      if (atom(capture_of(b).head).load(std::memory_order_acquire) ==
          atom(capture_of(b).tail).load(std::memory_order_acquire)) {
        return;
      }
    }
    // One writer at a time, in this process (threads, and the flush's own
    // lock, whose release comes back here) and on the board.
    bool idle = false;
    if (!c.flushing.compare_exchange_strong(idle, true)) return;
    const int fd = capture_fd(c);
    if (fd < 0) {
      c.flushing = false;
      return;
    }
    if (ofd_lock_byte(fd, 0, F_WRLCK, F_OFD_SETLK) != 0 && (errno == EAGAIN || errno == EACCES)) {
      // Another writer: after its release it looks at the ring again and
      // finds what this access added.
      c.flushing = false;
      return;
    }
    for (int k = 0; k < 16 && drain_once(c, fd); ++k) {
    }
    (void)ofd_lock_byte(fd, 0, F_UNLCK, F_OFD_SETLK);
    c.flushing = false;
  }
}

}  // namespace vboard
