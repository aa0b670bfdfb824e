// The board itself: the shared board object (finding it, creating it,
// refusing one of another layout or a damaged one), the board lock, the
// board's first use (configuration from the environment, adoption of
// inherited descriptors), power-off, and the control calls for the board,
// the wiring and the pins.
//
// The lock word lives in the shared object and is taken with an atomic
// compare-and-swap; a process that finds it taken sleeps on it (futex).
// The holder's pid is the lock word, so a process killed while holding it
// cannot stop the board: a waiter that finds the holder gone takes over.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "internal.h"

namespace vboard {

void adopt_inherited();
void adoption_done();
bool register_provider(const provider &p);
void configure_wiring(config::reader &r);

// The layout is the same for every build that shares a board.
static_assert(sizeof(shared_level) == 16);
static_assert(sizeof(shared_input) == 112);
static_assert(sizeof(shared_pin) == 12);
static_assert(sizeof(shared_spidev) == 64);
static_assert(offsetof(shared_board, epoch_ns) == 32);
static_assert(offsetof(shared_board, reference) == 40);
static_assert(offsetof(shared_board, chip) == 48 + 112 * VBOARD_CHANNELS + 32);
static_assert(offsetof(shared_board, pins) == offsetof(shared_board, chip) + 56);
static_assert(sizeof(shared_line_event) == 24);
static_assert(offsetof(shared_line_request, flags) % 8 == 0);
static_assert(sizeof(shared_line_request) == 72 + 20 * kRequestLines + 8 + 24 * kLineEvents);
static_assert(offsetof(shared_board, requests) % 8 == 0);
static_assert(sizeof(shared_board) == offsetof(shared_board, pins) + 12 * kMaxPins +
                                          64 * kSpidevSlots + 2 * kMaxPins +
                                          sizeof(shared_line_request) * kLineRequests + 8 +
                                          24 * kInfoChanges);
static_assert(std::atomic_ref<std::uint32_t>::required_alignment <= alignof(std::uint32_t));

namespace {

constexpr std::uint32_t kPowerOnSpeed = 125000000;  // the device tree's spi-max-frequency

// Constant-initialised, so it is usable from the board's load-time
// constructor whatever order the dynamic initialisers run in.
std::mutex process_mutex;
bool configured = false;
bool adoption_pending = true;
shared_board *attached = nullptr;
bool shared_object = false;  // false: private memory, no other process
char board_label[256] = "private";
char wanted_label[256] = "private";  // the board asked for, when refused
char board_path[256] = "";           // shared-memory name or file path
bool board_is_file = false;
bool board_refused = false;  // the named object was refused; this process runs privately
std::uint32_t my_pid = 0;    // cached: the lock word is compared with it

// Copies `text` into a fixed field, cut to fit, always terminated.
template <std::size_t N>
void set_text(char (&field)[N], std::string_view text) {
  const std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

long futex(std::uint32_t *word, int op, std::uint32_t val, const timespec *timeout) {
  return syscall(SYS_futex, word, op, val, timeout, nullptr, 0);
}

std::atomic_ref<std::uint32_t> atom(std::uint32_t &w) { return std::atomic_ref<std::uint32_t>(w); }

bool holder_gone(std::uint32_t pid) {
  return pid != 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

void shared_lock(shared_board &b) {
  if (!shared_object) return;
  auto word = atom(b.lock);
  std::uint32_t expected = 0;
  if (word.compare_exchange_strong(expected, my_pid, std::memory_order_acquire)) return;
  while (true) {
    expected = 0;
    if (word.compare_exchange_strong(expected, my_pid, std::memory_order_acquire)) return;
    atom(b.lock_waiters).fetch_add(1, std::memory_order_relaxed);
    const timespec slice{0, 50 * 1000 * 1000};
    const long r = futex(&b.lock, FUTEX_WAIT, expected, &slice);
    const int err = errno;
    atom(b.lock_waiters).fetch_sub(1, std::memory_order_relaxed);
    if (r != 0 && err == ETIMEDOUT && holder_gone(expected)) {
      // The holder died inside the lock: take it over from that pid only.
      std::uint32_t dead = expected;
      if (word.compare_exchange_strong(dead, my_pid, std::memory_order_acquire)) return;
    }
  }
}

void shared_unlock(shared_board &b) {
  if (!shared_object) return;
  atom(b.lock).store(0, std::memory_order_release);
  if (atom(b.lock_waiters).load(std::memory_order_relaxed) != 0) {
    futex(&b.lock, FUTEX_WAKE, 1, nullptr);
  }
}

// A board this process alone uses: the former default, and what tests
// that must not meet each other run on.
shared_board private_board;

void power_on(shared_board &b) {
  // The lock words stay: the caller holds the lock, others may wait on it.
  const std::uint32_t lock = b.lock, waiters = b.lock_waiters, edge_waiters = b.edge_waiters;
  const std::uint32_t edge_seq = b.edge_seq;
  std::memset(static_cast<void *>(&b), 0, sizeof b);
  b.lock = lock;
  b.lock_waiters = waiters;
  b.edge_waiters = edge_waiters;
  b.edge_seq = edge_seq + 1;  // pollers of the old board look again
  b.magic = kBoardMagic;
  b.layout = kBoardLayout;
  b.size = sizeof b;
  b.epoch_ns = monotonic_ns();
  power_on_inputs(b);
  const pin_wiring w;
  b.wiring[0] = w.clock;
  b.wiring[1] = w.dout;
  b.wiring[2] = w.din;
  b.wiring[3] = w.cs;
  b.dout_idle = 0;
  b.ngpio = 54;  // the SoC's bank: GPIO 0-53
  b.base = 0;
  mcp3008_model blank(nullptr, &b.chip);
  blank.reset();
  for (auto &p : b.pins) p.jumper = -1;
  for (auto &s : b.spidev) {
    s.max_speed_hz = kPowerOnSpeed;
    s.speed_hz = kPowerOnSpeed;
    s.bits_per_word = 8;
  }
  atom(b.ready).store(1, std::memory_order_release);
}

// What a board object must hold to be run from; anything else is damage.
const char *damage(const shared_board &b) {
  auto bit = [](std::uint8_t v) { return v <= 1; };
  if (b.ready != 1) return "it was never finished";
  if (!(b.reference > 0) || !std::isfinite(b.reference)) return "its reference voltage is invalid";
  for (const auto &in : b.inputs) {
    if (in.kind > 2) return "an input has an unknown kind";
  }
  for (int w : b.wiring) {
    if (w < 0 || w >= kMaxPins) return "the chip's wiring is out of range";
  }
  if (b.dout_idle < 0 || b.dout_idle > 1) return "DOUT's idle level is invalid";
  if (b.ngpio < 1 || b.ngpio > kMaxPins || b.base < 0 || b.base + b.ngpio > 4096) {
    return "its pin count is invalid";
  }
  if (!mcp3008_model::valid(b.chip)) return "the chip's state is invalid";
  for (const auto &p : b.pins) {
    if (!bit(p.exported) || !bit(p.out) || !bit(p.level) || !bit(p.active_low) || !bit(p.seen) ||
        p.edge > edge_both || p.jumper < -1 || p.jumper >= kMaxPins) {
      return "a pin's state is invalid";
    }
  }
  for (const auto &s : b.spidev) {
    if (s.path[sizeof s.path - 1] != '\0' || s.bits_per_word < 1 || s.bits_per_word > 32) {
      return "a spidev device's settings are invalid";
    }
  }
  if (const char *why = chardev_damage(b)) return why;
  return nullptr;
}

void say(const char *fmt, const char *a, const char *b, const char *c) {
  char line[1024];
  const int n = std::snprintf(line, sizeof line, fmt, a, b, c);
  if (n > 0) {
    const std::size_t len =
        static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n) : sizeof line - 1;
    (void)!real_write(2, line, len);
  }
}

// Names the object from VBOARD_BOARD (or the older VBOARD_STATE, a file):
// fills board_label/board_path; false for the private board.
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
    set_text(board_label, "private");
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
    set_text(board_label, "private");
    return false;
  }
  set_text(board_label, v);
  const std::string object =
      "/vboard-" + std::to_string(static_cast<unsigned>(getuid())) + "-" + std::string(name);
  set_text(board_path, object);
  return true;
}

int open_object(int flags) {
  if (board_is_file) return real_open(board_path, flags | O_CLOEXEC, 0600);
  return shm_open(board_path, flags, 0600);
}

// Maps the named object, creating it at power-on when it is new. Returns
// the board, or null after saying why (the caller then runs privately).
shared_board *map_object() {
  const int fd = open_object(O_RDWR | O_CREAT);
  if (fd < 0) {
    say("vboard: cannot open the board %s (%s)%s; this program runs on a private board\n",
        board_label, std::strerror(errno), "");
    return nullptr;
  }
  // One process creates and checks the object while the others wait.
  while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  shared_board *b = nullptr;
  struct stat st {};
  const char *why = nullptr;
  char detail[160] = "";
  if (real_fstat(fd, &st) != 0) {
    why = "it cannot be examined";
  } else if (st.st_size == 0) {
    if (ftruncate(fd, sizeof(shared_board)) != 0) why = "it cannot be sized";
  } else if (st.st_size != static_cast<off_t>(sizeof(shared_board))) {
    std::snprintf(detail, sizeof detail, "it is %lld bytes, this board library uses %zu",
                  static_cast<long long>(st.st_size), sizeof(shared_board));
    why = detail;
  }
  if (why == nullptr) {
    void *p = mmap(nullptr, sizeof(shared_board), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
      why = "it cannot be mapped";
    } else {
      b = static_cast<shared_board *>(p);
      if (st.st_size == 0) {
        power_on(*b);
      } else if (b->magic != kBoardMagic) {
        why = "it is not a board";
      } else if (b->layout != kBoardLayout || b->size != sizeof(shared_board)) {
        std::snprintf(detail, sizeof detail,
                      "it has layout %u, made by another version of the board (this one uses %u)",
                      b->layout, kBoardLayout);
        why = detail;
      } else {
        why = damage(*b);
      }
      if (why != nullptr) {
        munmap(p, sizeof(shared_board));
        b = nullptr;
      }
    }
  }
  flock(fd, LOCK_UN);
  real_close(fd);
  if (why != nullptr) {
    say("vboard: refusing the board %s: %s. Run 'vboard reset --board %s' to power it off and "
        "start afresh; this program runs on a private board.\n",
        board_label, why, board_label);
    board_refused = true;
  }
  return b;
}

void attach() {
  my_pid = static_cast<std::uint32_t>(getpid());
  board_refused = false;
  shared_board *b = choose_board() ? map_object() : nullptr;
  if (b != nullptr) {
    attached = b;
    shared_object = true;
  } else {
    attached = &private_board;
    shared_object = false;
    if (private_board.magic != kBoardMagic) power_on(private_board);
    if (board_refused) {
      set_text(wanted_label, board_label);
      set_text(board_label, "private");
    }
  }
  chip().attach(&attached->chip);
}

}  // namespace

shared_board &board() { return *attached; }

int board_object_fd() { return shared_object ? open_object(O_RDWR) : -1; }
const char *board_name() { return board_label; }

board_lock::board_lock() {
  process_mutex.lock();
  if (attached != nullptr) shared_lock(*attached);
}
board_lock::~board_lock() {
  if (attached != nullptr) shared_unlock(*attached);
  process_mutex.unlock();
}

int fail(int err) {
  errno = err;
  return -1;
}

// Reads VBOARD_PIN_*, VBOARD_DOUT_IDLE and VBOARD_NGPIO into the board.
// Lock held.
void configure_wiring(config::reader &r) {
  shared_board &b = board();
  pin_wiring w = wiring();
  const pin_wiring before = w;
  std::int32_t idle = b.dout_idle;
  if (r.restore()) {
    w = pin_wiring{};
    idle = 0;
  }
  struct pin_var {
    const char *name;
    int pin_wiring::*field;
  };
  static constexpr pin_var pin_vars[] = {
      {"VBOARD_PIN_CLK", &pin_wiring::clock},
      {"VBOARD_PIN_DOUT", &pin_wiring::dout},
      {"VBOARD_PIN_DIN", &pin_wiring::din},
      {"VBOARD_PIN_CS", &pin_wiring::cs},
  };
  for (const auto &pv : pin_vars) {
    if (const char *v = r.get(pv.name)) {
      long n = 0;
      if (config::parse_long(v, n) && n >= 0 && n < kMaxPins)
        w.*pv.field = static_cast<int>(n);
      else
        r.bad(pv.name, v, "a line of the GPIO controller, 0 to 1023");
    }
  }
  if (const char *v = r.get("VBOARD_DOUT_IDLE")) {
    if (std::string_view(v) == "0" || std::string_view(v) == "1")
      idle = *v == '1';
    else
      r.bad("VBOARD_DOUT_IDLE", v, "0 or 1");
  }
  // A program joining the board with the same wiring leaves a conversion
  // in progress alone; new wiring starts the chip afresh.
  const bool rewired =
      w.clock != before.clock || w.dout != before.dout || w.din != before.din || w.cs != before.cs;
  b.wiring[0] = w.clock;
  b.wiring[1] = w.dout;
  b.wiring[2] = w.din;
  b.wiring[3] = w.cs;
  b.dout_idle = idle;
  if (r.restore() || rewired) chip().reset();
  chip().set_idle_level(idle != 0);
}

void ensure_ready() {
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
}

bool add_provider(const provider &p) {
  board_lock lock;
  if (!register_provider(p)) {
    char line[160];
    const int n = std::snprintf(line, sizeof line,
                                "vboard: no room for the device handler of %s; its files are "
                                "not emulated\n",
                                p.prefix);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof line) {
      (void)!real_write(2, line, static_cast<std::size_t>(n));
    }
    return false;
  }
  // Constructors run in no fixed order: a handler registering after the
  // board's first use is configured now and gets its inherited descriptors.
  if (configured && p.configure != nullptr) p.configure(false);
  if (!adoption_pending) adopt_inherited();
  return true;
}

mcp3008_model &chip() {
  static mcp3008_model model([](int ch) { return channel_lsb(ch); }, &private_board.chip);
  return model;
}

pin_wiring wiring() {
  const shared_board &b = board();
  return {b.wiring[0], b.wiring[1], b.wiring[2], b.wiring[3]};
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
  if (atom(b.edge_waiters).load(std::memory_order_relaxed) != 0) {
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
    if (atom(b->edge_seq).load(std::memory_order_acquire) != seen) return 0;
    atom(b->edge_waiters).fetch_add(1, std::memory_order_relaxed);
  }
  // Another process notifies through the futex; in a private board only
  // this process's own threads can, and they wake it the same way.
  timespec ts{};
  if (timeout_ns >= 0) {
    ts.tv_sec = static_cast<time_t>(timeout_ns / 1000000000);
    ts.tv_nsec = static_cast<long>(timeout_ns % 1000000000);
  }
  const long r = futex(&b->edge_seq, FUTEX_WAIT, seen, timeout_ns >= 0 ? &ts : nullptr);
  const int err = errno;
  atom(b->edge_waiters).fetch_sub(1, std::memory_order_relaxed);
  if (r != 0 && err == EINTR) return fail(EINTR);
  return 0;
}

shared_spidev *spidev_slot(const char *path) {
  shared_board &b = board();
  shared_spidev *free_slot = nullptr;
  for (auto &s : b.spidev) {
    if (std::strncmp(s.path, path, sizeof s.path) == 0) return &s;
    if (s.path[0] == '\0' && free_slot == nullptr) free_slot = &s;
  }
  if (free_slot == nullptr || std::strlen(path) >= sizeof free_slot->path) return nullptr;
  std::snprintf(free_slot->path, sizeof free_slot->path, "%s", path);
  return free_slot;
}

}  // namespace vboard

using namespace vboard;

extern "C" {

static void before_fork() { process_mutex.lock(); }
static void after_fork_parent() { process_mutex.unlock(); }
static void after_fork_child() {
  my_pid = static_cast<std::uint32_t>(getpid());
  process_mutex.unlock();
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
  if (board_refused) {
    // The object that was refused goes; a fresh one takes its place.
    if (board_is_file) {
      (void)unlink(board_path);
    } else {
      (void)shm_unlink(board_path);
    }
    shared_board *b = map_object();
    if (b == nullptr) return fail(EIO);
    set_text(board_label, wanted_label);
    attached = b;
    shared_object = true;
    board_refused = false;
    chip().attach(&b->chip);
    shared_lock(*b);
  }
  power_on(board());
  chip().attach(&board().chip);
  reset_devices();
  bool ok = configure_core(false);
  if (!configure_devices(false)) ok = false;
  pins_changed();
  return ok ? 0 : fail(EINVAL);
}

const char *vboard_board_name(void) {
  board_lock lock;
  ensure_ready();
  return board_label;
}

int vboard_set_pins(int clock, int dout, int din, int cs) {
  for (int p : {clock, dout, din, cs}) {
    if (p < 0 || p >= kMaxPins) return fail(EINVAL);
  }
  board_lock lock;
  ensure_ready();
  shared_board &b = board();
  b.wiring[0] = clock;
  b.wiring[1] = dout;
  b.wiring[2] = din;
  b.wiring[3] = cs;
  chip().reset();
  pins_changed();
  return 0;
}

int vboard_set_dout_idle(int level) {
  if (level != 0 && level != 1) return fail(EINVAL);
  board_lock lock;
  ensure_ready();
  board().dout_idle = level;
  chip().set_idle_level(level != 0);
  pins_changed();
  return 0;
}

int vboard_pin_exported(int pin) {
  board_lock lock;
  ensure_ready();
  return gpio_pin_query(pin, false);
}

int vboard_pin_level(int pin) {
  board_lock lock;
  ensure_ready();
  return gpio_pin_query(pin, true);
}

int vboard_channel_code(int channel) {
  if (channel < 0 || channel >= VBOARD_CHANNELS) return -1;
  board_lock lock;
  ensure_ready();
  return chip().convert(true, static_cast<unsigned>(channel));
}

}  // extern "C"
