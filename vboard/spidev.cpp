// spidev character devices (/dev/spidevB.C) in front of the shared MCP3008
// model, answering the requests the way the kernel's spidev driver does.
//
// Locking: the core calls the handler and the files with the board lock
// held, and the control calls below take it, so nothing here locks.
//
// The device owns its variables and faults: VBOARD_SPIDEV_* are read by
// the configure hook below, the faults on paths go to the core's table.
// Its part of the board object is the devices' settings slots (spidev_slot):
// set at power-on, checked when found and shown by the part below.
#include "spidev.h"

#include <fcntl.h>
#include <dirent.h>
#include <linux/spi/spi.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "internal.h"

namespace vboard {
namespace {

constexpr char kSpidevPrefix[] = "/dev/spidev";
constexpr char kDefaultDevice[] = "/dev/spidev0.0";
// The board's device tree gives its spidev nodes this rate until a program
// sets its own.
constexpr std::uint32_t kPowerOnSpeed = 125000000;
constexpr std::uint32_t kDefaultWordSizes = 1U << 7;  // the controller moves 8-bit words only
constexpr std::size_t kDefaultBufsiz = 4096;          // the driver's module parameter
constexpr std::size_t kMaxBufsiz = 1 << 20;

// Mode bits the modelled controller honours; the others (3-wire, ready,
// the high-impedance turnaround, the receive phase flip) make the SPI
// core's setup refuse the mode with EINVAL.
constexpr std::uint32_t kSupportedModes =
    SPI_CPHA | SPI_CPOL | SPI_CS_HIGH | SPI_LSB_FIRST | SPI_NO_CS | SPI_LOOP;
// The target's controller (strict profile) has neither LSB-first nor
// loopback: clock phase and polarity, chip select polarity, no chip select.
constexpr std::uint32_t kTargetModes = SPI_CPHA | SPI_CPOL | SPI_CS_HIGH | SPI_NO_CS;
// Wide data lines a controller lacks are not refused: the SPI core drops
// them with a warning in the kernel log and goes on with one line, so they
// never read back.
constexpr std::uint32_t kWideLines =
    SPI_TX_DUAL | SPI_TX_QUAD | SPI_TX_OCTAL | SPI_RX_DUAL | SPI_RX_QUAD | SPI_RX_OCTAL;
// What the driver takes from user space at all: the mode bits it knows,
// which leave out SPI_CS_WORD; anything else is EINVAL before the setup.
constexpr std::uint32_t kUserModeMask =
    (SPI_MODE_USER_MASK) & ~static_cast<std::uint32_t>(SPI_CS_WORD);
// The driver keeps each record's bounce buffer aligned for DMA: a record
// takes its length rounded up to the target's cache line (32 bytes on
// ARMv6) out of the message buffer.
constexpr std::uint32_t kTargetCacheLine = 32;
// The target's controller divides its 250 MHz core clock by an even
// number from 2 to 65536.
constexpr double kTargetCoreHz = 250e6;

static_assert(sizeof(spi_ioc_transfer) == 32);
constexpr unsigned kMessageNr = 0;
static_assert(_IOC_NR(SPI_IOC_MESSAGE(1)) == kMessageNr);

// The devices' settings as the board keeps them: a slice of the board
// object of their own.
struct spidev_slice {
  shared_spidev spidev[kSpidevSlots];
};
std::size_t spidev_at = 0;
spidev_slice &spidev_state(shared_board &b) {
  return *static_cast<spidev_slice *>(board_slice(b, spidev_at));
}
const spidev_slice &spidev_state(const shared_board &b) {
  return *static_cast<const spidev_slice *>(board_slice(b, spidev_at));
}

void power_on_settings(shared_spidev &s) {
  s.mode = SPI_MODE_0;
  s.bits_per_word = 8;
  s.lsb_first = 0;
  s.max_speed_hz = kPowerOnSpeed;
  s.speed_hz = kPowerOnSpeed;
}

// A device's settings slot in the board object, taken on first use; null
// when every slot is taken. Lock held.
shared_spidev *spidev_slot(const char *path) {
  spidev_slice &b = spidev_state(board());
  shared_spidev *free_slot = nullptr;
  for (auto &s : b.spidev) {
    if (std::strncmp(s.path, path, sizeof s.path) == 0) return &s;
    if (s.path[0] == '\0' && free_slot == nullptr) free_slot = &s;
  }
  if (free_slot == nullptr || std::strlen(path) >= sizeof free_slot->path) return nullptr;
  std::snprintf(free_slot->path, sizeof free_slot->path, "%s", path);
  return free_slot;
}

// The target drives its chip selects as GPIOs, active low as the device
// tree gives them: the SPI core then keeps SPI_CS_HIGH set for the line's
// own polarity and spidev hides it from user space, so a program's
// SPI_CS_HIGH neither reads back nor turns the chip select around.
std::uint32_t wire_mode(std::uint32_t mode) {
  return strict_profile() ? mode & ~static_cast<std::uint32_t>(SPI_CS_HIGH) : mode;
}

// One device as this process knows it; its settings live in the board, so
// that every process sees what another set, as the driver keeps them.
struct device {
  std::string path;
  shared_spidev spare{};  // settings when the board has no slot left for it
  [[gnu::always_inline]] shared_spidev &settings() {
    // The slot found last, while it still holds this device on this board
    // (a power-off empties the slots): every message asks. The whole field
    // is compared, a fixed size the compiler does in a few instructions: a
    // slot is taken zeroed, so what follows the name is zeros (anything
    // else only sends the lookup the long way).
    if (slot != nullptr && slot_on == &board() &&
        std::memcmp(slot->path, slot_name, sizeof slot_name) == 0)
      return *slot;
    return settings_found_anew();
  }
  [[gnu::noinline]] shared_spidev &settings_found_anew() {
    slot = spidev_slot(path.c_str());
    slot_on = &board();
    std::memset(slot_name, 0, sizeof slot_name);
    std::memcpy(slot_name, path.data(),
                path.size() < sizeof slot_name ? path.size() : sizeof slot_name - 1);
    if (slot != nullptr) return *slot;
    if (spare.bits_per_word == 0) power_on_settings(spare);
    return spare;
  }
  shared_spidev *slot = nullptr;
  const shared_board *slot_on = nullptr;
  char slot_name[sizeof shared_spidev::path] = {};  // path as the slot holds it
  // Files this process holds open on the device (see holders below).
  int holds = 0;
  long vanish_after = -1;  // successful messages left before it goes; -1: stays
  bool gone = false;
  std::uint64_t incarnation = 0;  // renewed when it goes, so old descriptors stay dead
};

struct controller_config {
  std::uint32_t readback_hz = 0;
  std::uint32_t word_sizes = kDefaultWordSizes;
  std::size_t bufsiz = kDefaultBufsiz;
  int scribble = -1;  // byte left in the receive buffers of a failed transfer; -1: none
};

struct request_fault {
  std::string path;  // normalised
  unsigned long request;
  int err;
};

// Injected faults of the devices themselves (those on paths live in the
// core's table).
struct spi_faults {
  std::vector<request_fault> requests;
  int transfer_count = 0, transfer_result = 0, transfer_err = 0;
};

struct spi_state {
  bool loaded = false;
  controller_config cfg;
  spi_faults faults;
  std::vector<device> devices;
  // Ring of the most recent records; `next` counts every record ever kept.
  std::array<vboard_spi_record, VBOARD_SPI_RECORDS> records{};
  std::uint64_t next_record = 0;
  std::uint64_t first_record = 0;  // oldest index still kept after a clear
  std::uint64_t messages = 0;
  // Device lists loaded so far: a device found in one stays valid until
  // the next is loaded.
  std::uint64_t device_lists = 0;
  // Never reused, not even across a reset: a descriptor opened before it
  // belongs to a device that is no more.
  std::uint64_t incarnations = 0;
};

spi_state &state_storage() {
  static spi_state &s = *new spi_state();
  return s;
}

// Who has a device open. The driver gives a device its maximum rate back
// when the last file open on it closes, in whichever process. Each process
// with files open on a device holds a read lock on the byte of the
// device's slot in the board object (an open-file-description lock, which
// the kernel drops when the process ends, however it ends); at its last
// close a process lets go and looks whether any other still holds one.
// When nobody does, at a close or at the next open (the last holder may
// have ended without closing), the rate goes back.
struct holders {
  pid_t pid = 0;                     // the process the holds below are of
  std::atomic<int> lock_fd{-1};      // this process's own description of the board object
  const shared_board *on = nullptr;  // the board lock_fd is of
  bool exiting = false;
};

holders &held() {
  static holders &h = *new holders();
  return h;
}

void spidev_at_exit();

// The descriptor to lock with, opened anew by a child of fork (which must
// not let go of its parent's locks) and when the board changed. Lock held.
int lock_fd() {
  holders &h = held();
  const pid_t me = own_pid();
  if (h.pid != me || h.on != &board()) {
    // The files a child inherited through fork are its parent's opens.
    if (h.pid != me) {
      for (auto &d : state_storage().devices) d.holds = 0;
    }
    if (h.pid == 0) (void)std::atexit(spidev_at_exit);
    close_kept(h.lock_fd);
    h.pid = me;
    h.on = &board();
    h.lock_fd = board_object_fd();
    if (h.lock_fd >= 0) keep_fd(h.lock_fd);
  }
  return h.lock_fd;
}

// The byte a device's holders lock: its slot's open count.
off_t lock_offset(device &d) {
  const shared_spidev *slot = &d.settings();
  const auto *base = reinterpret_cast<const unsigned char *>(&board());
  const auto *at = reinterpret_cast<const unsigned char *>(&slot->open_count);
  if (at < base || at >= base + board_bytes()) return -1;  // no slot: this process only
  return static_cast<off_t>(at - base);
}

// True when no other process holds the device open. Lock held.
bool nobody_else(int fd, off_t at) {
  if (fd < 0 || at < 0) return true;
  return ofd_lock_byte(fd, at, F_WRLCK, F_OFD_GETLK) == F_UNLCK;
}

// A file opened on `d` in this process. Lock held.
void take_hold(device &d) {
  const int fd = lock_fd();
  const off_t at = lock_offset(d);
  if (d.holds == 0) {
    shared_spidev &set = d.settings();
    if (nobody_else(fd, at)) set.speed_hz = set.max_speed_hz;
    if (fd >= 0 && at >= 0) (void)ofd_lock_byte(fd, at, F_RDLCK, F_OFD_SETLK);
  }
  ++d.holds;
}

// `n` files on `d` closed in this process. Lock held.
void drop_holds(device &d, int n) {
  if (n <= 0 || d.holds <= 0) return;
  d.holds = d.holds > n ? d.holds - n : 0;
  if (d.holds != 0) return;
  const int fd = lock_fd();
  const off_t at = lock_offset(d);
  if (fd >= 0 && at >= 0) (void)ofd_lock_byte(fd, at, F_UNLCK, F_OFD_SETLK);
  shared_spidev &set = d.settings();
  if (nobody_else(fd, at)) set.speed_hz = set.max_speed_hz;
}

// A program that ends without closing its files still closes them, as the
// kernel does at exit; files the descriptor table destroys after this
// leave the board alone.
void spidev_at_exit() {
  holders &h = held();
  if (h.pid != own_pid()) return;
  board_lock lock;
  for (auto &d : state_storage().devices) drop_holds(d, d.holds);
  h.exiting = true;
}

using config::split;

template <typename T>
bool parse_number(std::string_view s, T &out) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc{} && end == s.data() + s.size() && !s.empty();
}

// "/dev/spidevB.C" with decimal bus and chip-select numbers.
bool valid_device_path(std::string_view p) {
  if (!p.starts_with(kSpidevPrefix)) return false;
  p.remove_prefix(sizeof kSpidevPrefix - 1);
  const auto dot = p.find('.');
  if (dot == std::string_view::npos) return false;
  unsigned bus = 0, cs = 0;
  return parse_number(p.substr(0, dot), bus) && parse_number(p.substr(dot + 1), cs);
}

// The device's faults from the environment: failing opens and missing
// nodes (kept by the core, which checks them before any handler), failing
// requests and failing transfers.
void load_faults(spi_state &s, config::reader &r) {
  s.faults = spi_faults{};
  // path:ERR lists
  add_open_faults(r, "VBOARD_SPIDEV_FAIL_OPEN", "/dev/spidevB.C:ERRNO[,...]");
  add_missing(r, "VBOARD_SPIDEV_MISSING", "/dev/spidevB.C[,...]");
  if (const char *v = r.get("VBOARD_SPIDEV_FAIL_REQUEST")) {
    for (auto item : split(v, ',')) {
      auto f = split(item, ':');
      unsigned long req = 0;
      int err = 0;
      if (f.size() != 3 || f[0].empty() || !config::parse_unsigned(f[1], req) ||
          !config::parse_errno(f[2], err)) {
        r.bad("VBOARD_SPIDEV_FAIL_REQUEST", v, "/dev/spidevB.C:REQUEST:ERRNO[,...]");
        break;
      }
      s.faults.requests.push_back({normalise(std::string(f[0]).c_str()), req, err});
    }
  }
  if (const char *v = r.get("VBOARD_SPIDEV_FAIL_TRANSFERS")) {
    auto f = split(v, ':');
    long count = 0, result = 0;
    int err = 0;
    if ((f.size() == 2 || f.size() == 3) && config::parse_long(f[0], count) && count >= 0 &&
        config::parse_long(f[1], result) && (f.size() == 2 || config::parse_errno(f[2], err))) {
      s.faults.transfer_count = static_cast<int>(count);
      s.faults.transfer_result = static_cast<int>(result);
      s.faults.transfer_err = result < 0 ? (err != 0 ? err : EIO) : 0;
    } else {
      r.bad("VBOARD_SPIDEV_FAIL_TRANSFERS", v, "COUNT:RESULT[:ERRNO]");
    }
  }
}

// Transfer fault: when one is pending, consumes it and returns true with
// the result and errno the transfer must report instead of moving data.
bool take_transfer_fault(spi_state &s, int &result, int &err) {
  if (s.faults.transfer_count <= 0) return false;
  --s.faults.transfer_count;
  result = s.faults.transfer_result;
  err = s.faults.transfer_err;
  return true;
}

// Defaults, then the environment over them. Returns false when a variable
// was malformed (it is then ignored).
bool load(spi_state &s) {
  config::reader r;
  auto env = [&](const char *name) { return r.get(name); };
  auto bad = [&](const char *name, const char *v) { r.bad(name, v); };
  s.loaded = true;
  s.cfg = controller_config{};
  s.devices.clear();
  ++s.device_lists;

  std::vector<std::string> paths{kDefaultDevice};
  if (const char *v = env("VBOARD_SPIDEV_DEVICES")) {
    std::vector<std::string> listed;
    for (auto item : split(v, ',')) {
      if (!valid_device_path(item)) {
        listed.clear();
        break;
      }
      listed.emplace_back(item);
    }
    if (listed.empty())
      bad("VBOARD_SPIDEV_DEVICES", v);
    else
      paths = std::move(listed);
  }
  for (auto &p : paths) {
    device d;
    d.path = std::move(p);
    d.incarnation = ++s.incarnations;
    s.devices.push_back(std::move(d));
  }

  if (const char *v = env("VBOARD_SPIDEV_READBACK_HZ")) {
    std::uint32_t hz = 0;
    if (parse_number(v, hz))
      s.cfg.readback_hz = hz;
    else
      bad("VBOARD_SPIDEV_READBACK_HZ", v);
  }
  if (const char *v = env("VBOARD_SPIDEV_WORD_SIZES")) {
    std::uint32_t mask = 0;
    for (auto item : split(v, ',')) {
      unsigned n = 0;
      if (!parse_number(item, n) || n < 1 || n > 32) {
        mask = 0;
        break;
      }
      mask |= 1U << (n - 1);
    }
    if (mask != 0)
      s.cfg.word_sizes = mask;
    else
      bad("VBOARD_SPIDEV_WORD_SIZES", v);
  }
  if (const char *v = env("VBOARD_SPIDEV_BUFSIZ")) {
    std::size_t n = 0;
    if (parse_number(v, n) && n > 0 && n <= kMaxBufsiz)
      s.cfg.bufsiz = n;
    else
      bad("VBOARD_SPIDEV_BUFSIZ", v);
  }
  if (const char *v = env("VBOARD_SPIDEV_SCRIBBLE")) {
    unsigned byte = 0;
    const std::string_view sv(v);
    const bool hex = sv.starts_with("0x") || sv.starts_with("0X");
    std::string_view digits = hex ? sv.substr(2) : sv;
    const auto [end, ec] =
        std::from_chars(digits.data(), digits.data() + digits.size(), byte, hex ? 16 : 10);
    if (ec == std::errc{} && end == digits.data() + digits.size() && !digits.empty() &&
        byte <= 255) {
      s.cfg.scribble = static_cast<int>(byte);
    } else {
      bad("VBOARD_SPIDEV_SCRIBBLE", v);
    }
  }
  if (const char *v = env("VBOARD_SPIDEV_VANISH_AFTER")) {
    for (auto item : split(v, ',')) {
      const auto colon = item.rfind(':');
      long n = 0;
      device *found = nullptr;
      if (colon != std::string_view::npos && parse_number(item.substr(colon + 1), n) && n >= 0) {
        for (auto &d : s.devices) {
          if (d.path == item.substr(0, colon)) found = &d;
        }
      }
      if (found == nullptr) {
        bad("VBOARD_SPIDEV_VANISH_AFTER", v);
        break;
      }
      found->vanish_after = n == 0 ? -1 : n;
      found->gone = n == 0;
    }
  }
  load_faults(s, r);
  return r.ok();
}

spi_state &spi() {
  spi_state &s = state_storage();
  if (!s.loaded) load(s);
  return s;
}

device *find_device(spi_state &s, std::string_view path) {
  for (auto &d : s.devices) {
    if (d.path == path) return &d;
  }
  return nullptr;
}

// A device node as the driver makes them: major 153, minors in the order
// the devices were registered.
void node_stat(struct stat &st, const char *path) {
  fill_stat(st, path, S_IFCHR | 0660, 0);
  const auto &all = spi().devices;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i].path == path) st.st_rdev = makedev(153, static_cast<unsigned>(i));
  }
}

// The device path as a record holds it, cut to fit.
struct record_name {
  char text[VBOARD_TRACE_FILE] = {};
  explicit record_name(const std::string &path) {
    std::memcpy(text, path.data(), path.size() < sizeof text ? path.size() : sizeof text - 1);
  }
};

void log_record(spi_state &s, const record_name &device, unsigned long request,
                std::uint64_t message, std::uint32_t index, std::uint32_t count,
                const spi_ioc_transfer &xfer) {
  vboard_spi_record &r = s.records[s.next_record % VBOARD_SPI_RECORDS];
  r.message = message;
  r.index = index;
  r.count = count;
  r.request = request;
  std::memcpy(r.device, device.text, sizeof r.device);
  r.xfer = xfer;
  ++s.next_record;
  // The log is far larger than the cache and every record lands on lines
  // not touched since the ring last came round: had for writing now, the
  // next one is there by the next message instead of missed then.
  const auto *next = reinterpret_cast<const char *>(&s.records[s.next_record % VBOARD_SPI_RECORDS]);
  __builtin_prefetch(next, 1);
  __builtin_prefetch(next + sizeof(vboard_spi_record) - 1, 1);
}

// A copy of the few bytes a converter's message moves, without a call
// into the C library for each.
inline void spidev_copy(unsigned char *to, const unsigned char *from, std::size_t n) {
  if (n > 16) {
    std::memcpy(to, from, n);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
}

// A 32-bit process cannot name a buffer whose upper address half is set.
bool addressable(std::uint64_t address) {
  if (address != 0 && address < 4096) return false;  // the first page is never mapped
  if constexpr (sizeof(std::uintptr_t) < sizeof(std::uint64_t)) {
    return (address >> 32) == 0;
  } else {
    return true;
  }
}

std::size_t word_bytes(unsigned bits) { return bits <= 8 ? 1 : bits <= 16 ? 2 : 4; }

// A word of `wb` bytes (1, 2 or 4) in memory order, read and written at
// its own width: a byte copied into the low end of a wider value stalls
// the load that follows it.
std::uint32_t load_word(const unsigned char *p, std::size_t wb) {
  if (wb == 1) return p[0];
  if (wb == 2) {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
void store_word(unsigned char *p, std::uint32_t v, std::size_t wb) {
  if (wb == 1) {
    p[0] = static_cast<unsigned char>(v);
  } else if (wb == 2) {
    const auto h = static_cast<std::uint16_t>(v);
    std::memcpy(p, &h, sizeof h);
  } else {
    std::memcpy(p, &v, sizeof v);
  }
}

// The clock the target's controller gives for a requested rate: the core
// clock over the smallest even divisor that does not exceed the rate (a
// divisor past 65536 gives the slowest clock there is).
double target_clock_hz(std::uint32_t hz) {
  double div = std::ceil(kTargetCoreHz / hz);
  if (std::fmod(div, 2.0) != 0) div += 1;
  if (div < 2) div = 2;
  if (div > 65536) div = 65536;
  return kTargetCoreHz / div;
}

// Drives the chip's lines for one message; DIN is set up before the edge
// that samples it, as an SPI master does in the selected mode. In the
// strict profile each edge gets its time at the message's clock rate, so
// the chip can tell a clock it cannot follow.
class bus {
 public:
  bus(std::uint32_t mode, bool timed)
      : cpol_((mode & SPI_CPOL) != 0),
        cpha_((mode & SPI_CPHA) != 0),
        lsb_((mode & SPI_LSB_FIRST) != 0),
        cs_active_((mode & SPI_CS_HIGH) != 0),
        use_cs_((mode & SPI_NO_CS) == 0),
        loop_((mode & SPI_LOOP) != 0),
        timed_(timed),
        // In modes 1 and 2 the master samples on the falling edge, the one
        // on which the chip changes DOUT; the chip's output delay then
        // leaves the old bit on the line. The ideal model hides that, the
        // strict one shows it.
        late_((cpol_ != cpha_) && timed) {
    if (timed_) {
      // A message starts now, or after the clock the last one gave.
      const std::uint64_t now = monotonic_ns(), last = c_.last_edge_ns();
      t_ = now > last ? now : last;
    }
    // Nothing sees the single edges of a word unless they are timed or
    // recorded: the chip then takes the word whole.
    whole_words_ = !timed_ && !wires_.on() && !c_.edges_timed();
  }
  ~bus() {
    wires_.mark();
    c_.release_time();
  }
  bus(const bus &) = delete;
  bus &operator=(const bus &) = delete;

  // The clock of the next words, as the controller gives the requested rate
  // (only the timing and the capture look at it).
  void rate(std::uint32_t hz) {
    if (!whole_words_) half_ns_ = 1e9 / (2.0 * target_clock_hz(hz));
  }
  // Time that passes with the clock idle (delays, chip select changes).
  void idle_ns(double ns) { advance(ns); }

  void select() {
    edge();
    wires_.wait(half_ns_);  // chip select is drawn apart from the clock's edges
    c_.set_clk(cpol_);
    if (use_cs_) c_.set_cs(cs_active_);
  }
  void deselect() {
    edge();
    wires_.wait(half_ns_);
    if (use_cs_) c_.set_cs(!cs_active_);
  }

  // Whether words go through the chip whole (bytes below may be used).
  bool whole_words() const { return whole_words_; }
  // `n` words of 1 to 8 bits, one a byte, when words go whole.
  void bytes(const unsigned char *out, unsigned char *in, std::size_t n, unsigned bits) {
    c_.shift_bytes(out, in, n, bits, lsb_, cpol_, cpha_);
    if (loop_) {
      const auto mask = static_cast<unsigned char>((1U << bits) - 1);
      for (std::size_t i = 0; i < n; ++i) in[i] = out[i] & mask;
    }
  }

  std::uint32_t word(std::uint32_t out, unsigned bits) {
    mcp3008_model &c = c_;
    if (whole_words_) {
      const std::uint32_t in = c.shift_word(out, bits, lsb_, cpol_, cpha_);
      return loop_ ? out : in;
    }
    std::uint32_t in = 0;
    for (unsigned k = 0; k < bits; ++k) {
      const unsigned bit = lsb_ ? k : bits - 1 - k;
      const bool level = ((out >> bit) & 1U) != 0;
      bool sample = false;
      if (!cpha_) {
        c.set_din(level);
        edge();
        if (late_) sample = c.dout();
        c.set_clk(!cpol_);
        if (!late_) sample = c.dout();
        advance(half_ns_);
        edge();
        c.set_clk(cpol_);
        advance(half_ns_);
      } else {
        edge();
        c.set_clk(!cpol_);
        c.set_din(level);
        advance(half_ns_);
        edge();
        if (late_) sample = c.dout();
        c.set_clk(cpol_);
        if (!late_) sample = c.dout();
        advance(half_ns_);
      }
      if (loop_) sample = level;
      in |= static_cast<std::uint32_t>(sample) << bit;
    }
    return in;
  }

 private:
  // The capture draws what changed since the last edge at the edge's time.
  void edge() {
    wires_.mark();
    if (timed_) c_.force_time(static_cast<std::uint64_t>(t_));
  }
  void advance(double ns) {
    wires_.wait(ns);
    if (timed_) t_ += ns;
  }

  bool cpol_, cpha_, lsb_, cs_active_, use_cs_, loop_, timed_, late_;
  bool whole_words_ = false;
  double t_ = 0;
  double half_ns_ = 0;
  mcp3008_model &c_ = chip();
  capture_clock wires_;
};

class spidev_file final : public file {
 public:
  spidev_file(std::string path, std::uint64_t incarnation, std::size_t bufsiz)
      : path_(std::move(path)), incarnation_(incarnation) {
    // Sized once, so a transfer never allocates.
    tx_.resize(bufsiz);
    rx_.resize(bufsiz);
    if (device *d = alive()) {
      take_hold(*d);
      pid_ = own_pid();
    }
  }
  ~spidev_file() override {
    // A copy a child inherited through fork is its parent's open.
    if (pid_ != own_pid() || held().exiting) return;
    device *d = alive();
    if (d != nullptr && d->holds > 0) drop_holds(*d, 1);
  }
  spidev_file(const spidev_file &) = delete;
  spidev_file &operator=(const spidev_file &) = delete;

  ssize_t read(void *buf, std::size_t n, off_t &) override {
    device *d = alive();
    if (d == nullptr) return -ESHUTDOWN;
    if (n > tx_.size()) return -EMSGSIZE;
    spi_ioc_transfer x{};
    x.rx_buf = reinterpret_cast<std::uintptr_t>(buf);
    x.len = static_cast<std::uint32_t>(n);
    return run_half_duplex(*d, x);
  }

  ssize_t write(const void *buf, std::size_t n, off_t &) override {
    device *d = alive();
    if (d == nullptr) return -ESHUTDOWN;
    if (n > tx_.size()) return -EMSGSIZE;
    spi_ioc_transfer x{};
    x.tx_buf = reinterpret_cast<std::uintptr_t>(buf);
    x.len = static_cast<std::uint32_t>(n);
    return run_half_duplex(*d, x);
  }

  // A transfer of up to the buffer's size copies it whole; a longer one
  // is refused before anything is copied.
  std::size_t reach(std::size_t n) const override { return n <= tx_.size() ? n : 0; }

  int ioctl(unsigned long request, void *arg, trace_note &note) override {
    // An injected failure of the request comes before anything the device
    // would answer, even that it has gone.
    spi_state &s = spi();
    for (const auto &rf : s.faults.requests) {
      if (rf.request == request && rf.path == path_) return -rf.err;
    }
    device *d = alive(s);
    if (d == nullptr) return -ESHUTDOWN;
    if (_IOC_TYPE(request) != SPI_IOC_MAGIC) return -ENOTTY;
    // A message first: it is what programs send over and over, and no
    // setting shares its number.
    if (_IOC_NR(request) == kMessageNr && _IOC_DIR(request) == _IOC_WRITE) {
      return message(s, *d, request, arg, note);
    }
    const int r = setting(*d, request, arg, note);
    if (r != kNotASetting) {
      // Every setting the driver takes goes through the SPI core's setup,
      // which ends with the chip select released: a frame a message kept
      // open with cs_change is over, and the next message starts afresh.
      if (r == 0 && _IOC_DIR(request) == _IOC_WRITE) release_chip_select(*d);
      return r;
    }
    return -ENOTTY;
  }

  void stat(struct stat &st) const override { node_stat(st, path_.c_str()); }

 private:
  static constexpr int kNotASetting = 1;

  static void release_chip_select(device &d) {
    const std::uint32_t mode = wire_mode(shared_read(d.settings().mode));
    bus(mode, strict_profile()).deselect();
  }

  // A request that reads or writes a setting: 0 or -errno; kNotASetting
  // for any other request.
  int setting(device &d, unsigned long request, void *arg, trace_note &note) {
    shared_spidev &set = d.settings();
    switch (request) {
      case SPI_IOC_RD_MODE:
        return put<std::uint8_t>(arg, static_cast<std::uint8_t>(wire_mode(set.mode) & kUserModeMask),
                                 note);
      case SPI_IOC_RD_MODE32:
        return put<std::uint32_t>(arg, wire_mode(set.mode) & kUserModeMask, note);
      case SPI_IOC_RD_LSB_FIRST:
        return put<std::uint8_t>(arg, (set.mode & SPI_LSB_FIRST) != 0 ? 1 : 0, note);
      case SPI_IOC_RD_BITS_PER_WORD:
        return put<std::uint8_t>(arg, static_cast<std::uint8_t>(set.bits_per_word), note);
      case SPI_IOC_RD_MAX_SPEED_HZ: {
        const std::uint32_t rb = spi().cfg.readback_hz;
        return put<std::uint32_t>(arg, rb != 0 ? rb : set.speed_hz, note);
      }
      case SPI_IOC_WR_MODE:
      case SPI_IOC_WR_MODE32: {
        std::uint32_t m = 0;
        if (request == SPI_IOC_WR_MODE) {
          std::uint8_t b = 0;
          if (!get(arg, b, note)) return -EFAULT;
          m = b;
        } else if (!get(arg, m, note)) {
          return -EFAULT;
        }
        if ((m & ~kUserModeMask) != 0) return -EINVAL;
        m &= ~kWideLines;
        if ((m & ~(strict_profile() ? kTargetModes : kSupportedModes)) != 0) {
          if (strict_profile() && (m & ~kSupportedModes) == 0) {
            char why[64];
            std::snprintf(why, sizeof why, "mode 0x%x: %s refused", static_cast<unsigned>(m),
                          (m & SPI_LSB_FIRST) != 0 ? "LSB-first" : "loopback");
            strict_note(strict_kind::controller_mode, path_.c_str(), why);
          }
          return -EINVAL;
        }
        set.mode = m;
        set.lsb_first = (m & SPI_LSB_FIRST) != 0 ? 1 : 0;
        return 0;
      }
      case SPI_IOC_WR_LSB_FIRST: {
        std::uint8_t b = 0;
        if (!get(arg, b, note)) return -EFAULT;
        if (b != 0 && strict_profile()) {
          strict_note(strict_kind::controller_mode, path_.c_str(), "LSB-first refused");
          return -EINVAL;
        }
        set.mode = b != 0 ? (set.mode | SPI_LSB_FIRST)
                          : (set.mode & ~static_cast<std::uint32_t>(SPI_LSB_FIRST));
        set.lsb_first = b != 0 ? 1 : 0;
        return 0;
      }
      case SPI_IOC_WR_BITS_PER_WORD: {
        std::uint8_t b = 0;
        if (!get(arg, b, note)) return -EFAULT;
        if (b == 0) b = 8;  // the driver's own default
        if (!word_size_supported(b)) return -EINVAL;
        set.bits_per_word = b;
        return 0;
      }
      case SPI_IOC_WR_MAX_SPEED_HZ: {
        std::uint32_t hz = 0;
        if (!get(arg, hz, note)) return -EFAULT;
        if (hz == 0) return -EINVAL;
        set.speed_hz = hz;
        return 0;
      }
      default:
        break;
    }
    return kNotASetting;
  }

  template <typename T>
  static int put(void *arg, T value, trace_note &note) {
    if (bad_address(arg)) return -EFAULT;
    std::memcpy(arg, &value, sizeof value);
    note.bytes = sizeof value;
    note.keep(&value, sizeof value);
    return 0;
  }
  template <typename T>
  static bool get(const void *arg, T &value, trace_note &note) {
    if (bad_address(arg)) return false;
    std::memcpy(&value, arg, sizeof value);
    note.bytes = sizeof value;
    note.keep(&value, sizeof value);
    return true;
  }

  static bool word_size_supported(unsigned bits) {
    return bits >= 1 && bits <= 32 && (spi().cfg.word_sizes & (1U << (bits - 1))) != 0;
  }

  // The device this descriptor was opened on, or null once it has gone.
  device *alive() { return alive(spi()); }
  device *alive(spi_state &s) {
    if (found_in_ != s.device_lists) {
      found_ = find_device(s, path_);
      found_in_ = s.device_lists;
    }
    device *d = found_;
    if (d == nullptr || d->gone || d->incarnation != incarnation_) return nullptr;
    return d;
  }

  static void count_success(device &d) {
    if (d.vanish_after > 0 && --d.vanish_after == 0) {
      d.gone = true;
      d.vanish_after = -1;
      d.incarnation = ++spi().incarnations;
    }
  }

  ssize_t run_half_duplex(device &d, const spi_ioc_transfer &x) {
    trace_note unused;
    const int r = transfer(d, &x, 1, unused);
    if (r >= 0) count_success(d);
    return r;
  }

  int message(spi_state &s, device &d, unsigned long request, void *arg, trace_note &note) {
    const std::size_t size = _IOC_SIZE(request);
    if (size % sizeof(spi_ioc_transfer) != 0) return -EINVAL;
    const std::size_t n = size / sizeof(spi_ioc_transfer);
    if (n == 0) return 0;  // the driver's answer to an empty message
    if (bad_address(arg)) return -EFAULT;
    // A message of one record, as most are, has its loops laid out flat.
    return n == 1 ? records<1>(s, d, request, arg, 1, note)
                  : records<0>(s, d, request, arg, n, note);
  }

  // message() for `n` records; `Fixed`, when not 0, is n known beforehand.
  template <std::size_t Fixed>
  int records(spi_state &s, device &d, unsigned long request, void *arg, std::size_t count,
              trace_note &note) {
    const std::size_t n = Fixed != 0 ? Fixed : count;
    const std::uint64_t number = s.messages++;
    // One pass over the records: each is copied (the caller's array need
    // not be aligned for the record type), logged, and looked at for what
    // would keep the message from going through the chip a frame at a time.
    // Only the driver's checks that pass are looked at here; whatever fails
    // one goes the whole way below, which gives the driver's answer.
    const shared_spidev &set = d.settings();
    const unsigned device_bits = shared_read(set.bits_per_word);
    const std::size_t bufsiz = tx_.size();
    const std::uint32_t sizes = s.cfg.word_sizes;
    std::array<spi_ioc_transfer, Fixed != 0 ? Fixed : 511> recs;
    std::uint64_t total = 0;
    bool plain = true;
    for (std::size_t i = 0; i < n; ++i) {
      spi_ioc_transfer &x = recs[i];
      std::memcpy(&x, static_cast<const unsigned char *>(arg) + i * sizeof x, sizeof x);
      log_record(s, name_, request, number, static_cast<std::uint32_t>(i),
                 static_cast<std::uint32_t>(n), x);
      total += x.len;
      const unsigned bits = x.bits_per_word != 0 ? x.bits_per_word : device_bits;
      // Bytes both ways in words of 1 to 8 bits the controller takes.
      plain = plain && x.tx_buf != 0 && x.rx_buf != 0 && addressable(x.tx_buf) &&
              addressable(x.rx_buf) && bits >= 1 && bits <= 8 &&
              (sizes & (1U << (bits - 1))) != 0 && x.tx_nbits <= 1 && x.rx_nbits <= 1;
    }
    note.bytes = total;

    int fault = 0, err = 0;
    if (take_transfer_fault(s, fault, err)) {
      // After a failed transfer the receive buffers hold whatever the
      // controller left; scribbling shows callers that trust them.
      if (fault < 0 && s.cfg.scribble >= 0 && check_sizes(recs.data(), n) == 0) {
        for (std::size_t i = 0; i < n; ++i) {
          if (recs[i].rx_buf != 0) {
            std::memset(reinterpret_cast<void *>(static_cast<std::uintptr_t>(recs[i].rx_buf)),
                        s.cfg.scribble, recs[i].len);
          }
        }
      }
      return fault < 0 ? -err : fault;
    }

    // Nothing else sees the chip's edges (the strict profile's timing, a
    // capture): the message goes through it whole, straight.
    const int r =
        plain && total <= bufsiz && !strict_profile() && !capturing() && !chip().edges_timed()
            ? plain_transfer<Fixed>(recs.data(), n, total, device_bits, shared_read(set.mode), note)
            : transfer(d, recs.data(), n, note);
    if (r >= 0) count_success(d);
    return r;
  }

  // transfer() for a message of words of up to 8 bits both ways that fits
  // the driver's buffer, whose edges nobody sees: the same lines left and
  // bytes back, without the bus's timing and bookkeeping.
  template <std::size_t Fixed>
  int plain_transfer(const spi_ioc_transfer *recs, std::size_t count, std::uint64_t total,
                     unsigned device_bits, std::uint32_t mode, trace_note &note) {
    const std::size_t n = Fixed != 0 ? Fixed : count;
    // Everything to send is taken before the first clock, as the driver
    // copies it in; a byte received may land where a later one is sent from.
    std::size_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
      spidev_copy(
          tx_.data() + at,
          reinterpret_cast<const unsigned char *>(static_cast<std::uintptr_t>(recs[i].tx_buf)),
          recs[i].len);
      at += recs[i].len;
    }
    constexpr std::size_t half = VBOARD_TRACE_DATA / 2;
    const std::size_t keep = watch.trace_quiet ? 0
                             : total < half    ? static_cast<std::size_t>(total)
                                               : half;
    unsigned char seen[VBOARD_TRACE_DATA];
    std::size_t moved = 0;

    const bool cpol = (mode & SPI_CPOL) != 0, cpha = (mode & SPI_CPHA) != 0,
               lsb = (mode & SPI_LSB_FIRST) != 0, active = (mode & SPI_CS_HIGH) != 0,
               use_cs = (mode & SPI_NO_CS) == 0, loop = (mode & SPI_LOOP) != 0;
    // As the bus selects: the clock to its idle level, then chip select.
    mcp3008_model &c = chip();
    c.release_time();
    c.set_clk(cpol);
    if (use_cs) c.set_cs(active);
    at = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const spi_ioc_transfer &x = recs[i];
      const unsigned bits = x.bits_per_word != 0 ? x.bits_per_word : device_bits;
      const unsigned char *from = tx_.data() + at;
      // Straight into the caller's buffer: what is sent was taken already.
      auto *to = reinterpret_cast<unsigned char *>(static_cast<std::uintptr_t>(x.rx_buf));
      c.shift_bytes(from, to, x.len, bits, lsb, cpol, cpha);
      if (loop) {
        const auto mask = static_cast<unsigned char>((1U << bits) - 1);
        for (std::size_t k = 0; k < x.len; ++k) to[k] = from[k] & mask;
      }
      if (moved < keep) {
        const std::size_t k = keep - moved < x.len ? keep - moved : x.len;
        spidev_copy(seen + moved, from, k);
        spidev_copy(seen + keep + moved, to, k);
        moved += k;
      }
      at += x.len;
      // cs_change between records drops chip select for a moment; on the
      // last record it keeps the chip selected after the message.
      const bool last = i + 1 == n;
      if (x.cs_change != 0 && !last) {
        if (use_cs) c.set_cs(!active);
        c.set_clk(cpol);
        if (use_cs) c.set_cs(active);
      } else if (last && x.cs_change == 0 && use_cs) {
        c.set_cs(!active);
      }
    }
    if (keep != 0) note.keep(seen, 2 * keep);
    return static_cast<int>(total);
  }

  // Checks the records as the driver and the SPI core do, then clocks the
  // whole message through the chip with chip select held throughout.
  // Returns the bytes moved or -errno; nothing moves when a check fails.
  // The driver's own limits: addresses the process can name, and no more
  // bytes each way than its bounce buffer holds. Returns 0 or -errno.
  // In the strict profile each record takes its length rounded up to the
  // cache line, as on the target.
  int check_sizes(const spi_ioc_transfer *recs, std::size_t n) const {
    const std::size_t bufsiz = tx_.size();
    const bool strict = strict_profile();
    std::uint64_t tx_total = 0, rx_total = 0, tx_bare = 0, rx_bare = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const spi_ioc_transfer &x = recs[i];
      if (!addressable(x.tx_buf) || !addressable(x.rx_buf)) return -EFAULT;
      const std::uint64_t len = strict ? (std::uint64_t{x.len} + kTargetCacheLine - 1) /
                                             kTargetCacheLine * kTargetCacheLine
                                       : x.len;
      if (x.rx_buf != 0) rx_total += len, rx_bare += x.len;
      if (x.tx_buf != 0) tx_total += len, tx_bare += x.len;
      if (rx_total > bufsiz || tx_total > bufsiz) {
        if (strict && rx_bare <= bufsiz && tx_bare <= bufsiz) {
          char why[64];
          std::snprintf(why, sizeof why, "record %zu: %llu > %zu bytes", i,
                        static_cast<unsigned long long>(rx_total > tx_total ? rx_total : tx_total),
                        bufsiz);
          strict_note(strict_kind::controller_buffer, path_.c_str(), why);
        }
        return -EMSGSIZE;
      }
    }
    return 0;
  }

  // A record's words one at a time; `seen` keeps the first `keep` bytes
  // each way for the trace, `moved` counting them.
  void words(bus &wire, const spi_ioc_transfer &x, unsigned bits, std::size_t tx_at,
             std::size_t rx_at, std::size_t keep, unsigned char *seen, std::size_t &moved) {
    const std::size_t wb = word_bytes(bits);
    const std::uint32_t mask = bits == 32 ? 0xffffffffU : (1U << bits) - 1;
    for (std::size_t off = 0; off < x.len; off += wb) {
      // A word in memory order, as the driver takes it; without a send
      // buffer the controller shifts out zeros.
      const std::uint32_t out = x.tx_buf != 0 ? load_word(tx_.data() + tx_at + off, wb) : 0;
      const std::uint32_t in = wire.word(out & mask, bits);
      if (x.rx_buf != 0) store_word(rx_.data() + rx_at + off, in, wb);
      for (std::size_t k = 0; k < wb && moved < keep; ++k, ++moved) {
        seen[moved] = reinterpret_cast<const unsigned char *>(&out)[k];
        seen[keep + moved] = reinterpret_cast<const unsigned char *>(&in)[k];
      }
    }
  }

  int transfer(device &d, const spi_ioc_transfer *recs, std::size_t n, trace_note &note) {
    if (const int r = check_sizes(recs, n); r != 0) return r;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < n; ++i) total += recs[i].len;
    // Either buffer may be absent, so both limits can hold while the total
    // overflows the driver's int result.
    if (total > INT32_MAX) return -EMSGSIZE;
    // The device's settings are read once: the word size checked is the
    // one the buffers are walked with, whatever another process writes.
    const shared_spidev &set = d.settings();
    const unsigned device_bits = shared_read(set.bits_per_word);
    for (std::size_t i = 0; i < n; ++i) {
      const spi_ioc_transfer &x = recs[i];
      const unsigned bits = x.bits_per_word != 0 ? x.bits_per_word : device_bits;
      if (!word_size_supported(bits)) return -EINVAL;
      if (x.len % word_bytes(bits) != 0) return -EINVAL;
      if (x.tx_nbits > 1 || x.rx_nbits > 1) return -EINVAL;  // single data line only
    }

    // Everything to send is taken before the first clock, as the driver
    // copies it in; a byte received may land where a later one is sent from.
    std::size_t tx_at = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const spi_ioc_transfer &x = recs[i];
      if (x.tx_buf == 0) continue;
      std::memcpy(tx_.data() + tx_at,
                  reinterpret_cast<const void *>(static_cast<std::uintptr_t>(x.tx_buf)), x.len);
      tx_at += x.len;
    }

    // The trace keeps the first bytes each way: enough for a converter frame.
    // None when no event is seen.
    constexpr std::size_t half = VBOARD_TRACE_DATA / 2;
    const std::size_t keep =
        watch.trace_quiet ? 0 : total < half ? static_cast<std::size_t>(total) : half;
    unsigned char seen[VBOARD_TRACE_DATA] = {};
    std::size_t moved = 0;

    const std::uint32_t mode = shared_read(set.mode);
    const std::uint32_t speed = shared_read(set.speed_hz);
    const bool strict = strict_profile();
    if (strict && ((mode & SPI_CPOL) != 0) != ((mode & SPI_CPHA) != 0)) {
      char why[64];
      std::snprintf(why, sizeof why, "SPI mode %u: chip takes 0 or 3",
                    static_cast<unsigned>(mode & SPI_MODE_X_MASK));
      strict_note(strict_kind::chip_spi_mode, path_.c_str(), why);
    }
    bus wire(wire_mode(mode), strict);
    wire.rate(recs[0].speed_hz != 0 ? recs[0].speed_hz : speed);
    wire.select();
    tx_at = 0;
    std::size_t rx_at = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const spi_ioc_transfer &x = recs[i];
      const unsigned bits = x.bits_per_word != 0 ? x.bits_per_word : device_bits;
      wire.rate(x.speed_hz != 0 ? x.speed_hz : speed);
      if (bits <= 8 && wire.whole_words() && x.tx_buf != 0 && x.rx_buf != 0) {
        // Bytes both ways: straight from one buffer into the other.
        const unsigned char *from = tx_.data() + tx_at;
        unsigned char *to = rx_.data() + rx_at;
        wire.bytes(from, to, x.len, bits);
        if (moved < keep) {
          const std::size_t k = keep - moved < x.len ? keep - moved : x.len;
          std::memcpy(seen + moved, from, k);
          std::memcpy(seen + keep + moved, to, k);
          moved += k;
        }
      } else {
        words(wire, x, bits, tx_at, rx_at, keep, seen, moved);
      }
      if (x.tx_buf != 0) tx_at += x.len;
      if (x.rx_buf != 0) rx_at += x.len;
      wire.idle_ns(1000.0 * x.delay_usecs);
      const bool last = i + 1 == n;
      // cs_change between records drops chip select for a moment; on the
      // last record it keeps the chip selected after the message.
      if (x.cs_change != 0 && !last) {
        wire.deselect();
        wire.select();
      } else if (last && x.cs_change == 0) {
        wire.deselect();
      }
    }

    rx_at = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const spi_ioc_transfer &x = recs[i];
      if (x.rx_buf == 0) continue;
      std::memcpy(reinterpret_cast<void *>(static_cast<std::uintptr_t>(x.rx_buf)),
                  rx_.data() + rx_at, x.len);
      rx_at += x.len;
    }

    if (keep != 0) note.keep(seen, 2 * keep);
    return static_cast<int>(total);
  }

  std::string path_;
  record_name name_{path_};  // formatted once: every message logs it
  device *found_ = nullptr;  // path_'s device in the list numbered found_in_
  std::uint64_t found_in_ = 0;
  std::uint64_t incarnation_;
  pid_t pid_ = 0;  // the process that opened it
  std::vector<unsigned char> tx_, rx_;
};

int spidev_open(const char *path, int, std::unique_ptr<file> &out) {
  spi_state &s = spi();
  device *d = find_device(s, path);
  if (d == nullptr) return 1;  // not one of ours: the real file system decides
  if (d->gone) return -ENOENT;
  out = std::make_unique<spidev_file>(d->path, d->incarnation, s.cfg.bufsiz);
  return 0;
}

int spidev_stat(const char *path, struct stat &st, bool) {
  device *d = find_device(spi(), path);
  if (d == nullptr) return 1;
  if (d->gone) return -ENOENT;
  node_stat(st, path);
  return 0;
}

// The devices are names in the real /dev, for listings and shell globs.
int spidev_list(const char *path, std::vector<dir_entry> &out) {
  if (std::string_view(path) != "/dev") return 1;
  for (const auto &d : spi().devices) {
    if (!d.gone) out.push_back({d.path.substr(sizeof "/dev/" - 1), DT_CHR});
  }
  return 2;
}

bool spidev_configure(bool) { return load(state_storage()); }

// Power-on settings and an empty record log; the device list itself comes
// from the configuration, read again right after.
void spidev_reset() {
  spi_state &s = state_storage();
  // Power-off: every file open on the devices is gone with them.
  for (auto &slot : spidev_state(board()).spidev) {
    if (slot.path[0] != '\0') power_on_settings(slot);
    slot.open_count = 0;
  }
  for (auto &d : s.devices) {
    power_on_settings(d.spare);
    d.holds = 0;
  }
  s.first_record = s.next_record;
}

void spidev_clear_faults() { state_storage().faults = spi_faults{}; }

// Before the board lock: what a request will copy from or to the caller,
// as the driver copies it. A message's records, then the buffers they name
// while the message fits the driver's default buffer (4096 bytes); a
// larger one may be refused whole, its buffers untouched, so they are left
// to the transfer.
void spidev_probe(unsigned long request, void *arg) {
  const std::size_t size = _IOC_SIZE(request);
  if (_IOC_NR(request) != kMessageNr) {
    touch(arg, size, (_IOC_DIR(request) & _IOC_READ) != 0);
    return;
  }
  if (size == 0 || size % sizeof(spi_ioc_transfer) != 0) return;
  touch(arg, size, false);
  if (size == sizeof(spi_ioc_transfer)) {
    // One record, as most messages are: the same, in one look at it.
    spi_ioc_transfer x;
    std::memcpy(&x, arg, sizeof x);
    if (!addressable(x.tx_buf) || !addressable(x.rx_buf) || x.len > kDefaultBufsiz) return;
    touch(reinterpret_cast<const void *>(static_cast<std::uintptr_t>(x.tx_buf)), x.len, false);
    touch(reinterpret_cast<void *>(static_cast<std::uintptr_t>(x.rx_buf)), x.len, true);
    return;
  }
  std::uint64_t tx_total = 0, rx_total = 0;
  const auto *records = static_cast<const unsigned char *>(arg);
  for (std::size_t at = 0; at < size; at += sizeof(spi_ioc_transfer)) {
    spi_ioc_transfer x;
    std::memcpy(&x, records + at, sizeof x);
    if (!addressable(x.tx_buf) || !addressable(x.rx_buf)) return;
    if (x.tx_buf != 0) tx_total += x.len;
    if (x.rx_buf != 0) rx_total += x.len;
  }
  if (tx_total > kDefaultBufsiz || rx_total > kDefaultBufsiz) return;
  for (std::size_t at = 0; at < size; at += sizeof(spi_ioc_transfer)) {
    spi_ioc_transfer x;
    std::memcpy(&x, records + at, sizeof x);
    touch(reinterpret_cast<const void *>(static_cast<std::uintptr_t>(x.tx_buf)), x.len, false);
    touch(reinterpret_cast<void *>(static_cast<std::uintptr_t>(x.rx_buf)), x.len, true);
  }
}

// Registered before the board's first use (see part.h), whatever order
// the board's files are linked in.
bool spidev_registered = false;
[[gnu::constructor(kRegisterPriority)]] void add_spidev_handler() {
  spidev_registered = add_provider({kSpidevPrefix, spidev_open, spidev_stat, nullptr, spidev_list,
                                    spidev_configure, spidev_reset, spidev_clear_faults}) &&
                      add_ioctl_probe(SPI_IOC_MAGIC, spidev_probe);
}

// The devices' settings in the board object: every slot free and at the
// driver's defaults at power-on, shown for the devices opened since.
void spidev_power_on(shared_board &b) {
  for (auto &slot : spidev_state(b).spidev) power_on_settings(slot);
}

const char *spidev_damage(const shared_board &b) {
  for (const auto &s : spidev_state(b).spidev) {
    if (s.path[sizeof s.path - 1] != '\0' || s.bits_per_word < 1 || s.bits_per_word > 32) {
      return "a spidev device's settings are invalid";
    }
  }
  return nullptr;
}

void spidev_show(const shared_board &b, std::string &out) {
  bool any = false;
  for (const auto &s : spidev_state(b).spidev) {
    if (s.path[0] == '\0') continue;
    if (!any) out += "spidev:\n";
    any = true;
    show_line(out, "  %.31s mode %u, %u bits per word, %s first, %u Hz\n", s.path, s.mode & 3U,
              s.bits_per_word, s.lsb_first != 0 ? "LSB" : "MSB", s.speed_hz);
  }
}

[[gnu::constructor(kRegisterPriority)]] void add_spidev_part() {
  add_part({"spidev", 50, spidev_power_on, spidev_damage, spidev_show, nullptr, nullptr,
            sizeof(spidev_slice), alignof(spidev_slice), 40, &spidev_at, nullptr, 0});
}

}  // namespace
}  // namespace vboard

using vboard::board_lock;
using vboard::ensure_ready;
using vboard::fail;

int vboard_spidev_reset(void) {
  board_lock lock;
  ensure_ready();
  (void)vboard::spidev_registered;
  vboard::spidev_reset();
  return vboard::spidev_configure(true) ? 0 : fail(EINVAL);
}

size_t vboard_spidev_record_count(void) {
  board_lock lock;
  ensure_ready();
  const vboard::spi_state &s = vboard::spi();
  const std::uint64_t kept = s.next_record - s.first_record;
  return static_cast<size_t>(kept < VBOARD_SPI_RECORDS ? kept : VBOARD_SPI_RECORDS);
}

int vboard_spidev_record_get(size_t index, struct vboard_spi_record *record) {
  if (record == nullptr) return fail(EINVAL);
  vboard_spi_record found;
  {
    board_lock lock;
    ensure_ready();
    const vboard::spi_state &s = vboard::spi();
    const std::uint64_t kept = s.next_record - s.first_record;
    const std::uint64_t count = kept < VBOARD_SPI_RECORDS ? kept : VBOARD_SPI_RECORDS;
    if (index >= count) return fail(EINVAL);
    found = s.records[(s.next_record - count + index) % VBOARD_SPI_RECORDS];
  }
  *record = found;  // the caller's memory, with no lock held
  return 0;
}

void vboard_spidev_records_clear(void) {
  board_lock lock;
  ensure_ready();
  vboard::spi_state &s = vboard::spi();
  s.first_record = s.next_record;
}

int vboard_spidev_vanish_after(const char *device, long transfers) {
  if (device == nullptr) return fail(EINVAL);
  const std::string name(device);  // the caller's memory, read with no lock held
  board_lock lock;
  ensure_ready();
  vboard::device *d = vboard::find_device(vboard::spi(), name);
  if (d == nullptr) return fail(ENOENT);
  if (transfers < 0) {
    d->gone = false;
    d->vanish_after = -1;
  } else if (transfers == 0) {
    if (!d->gone) d->incarnation = ++vboard::spi().incarnations;
    d->gone = true;
    d->vanish_after = -1;
  } else {
    d->vanish_after = transfers;
  }
  return 0;
}

int vboard_spidev_set_readback_hz(uint32_t hz) {
  board_lock lock;
  ensure_ready();
  vboard::spi().cfg.readback_hz = hz;
  return 0;
}

int vboard_spidev_set_scribble(int byte) {
  if (byte < -1 || byte > 255) return fail(EINVAL);
  board_lock lock;
  ensure_ready();
  vboard::spi().cfg.scribble = byte;
  return 0;
}

int vboard_spidev_set_word_sizes(uint32_t mask) {
  if (mask == 0) return fail(EINVAL);
  board_lock lock;
  ensure_ready();
  vboard::spi().cfg.word_sizes = mask;
  return 0;
}

int vboard_spidev_settings(const char *device, uint32_t *mode, uint8_t *bits_per_word,
                           uint32_t *speed_hz) {
  if (device == nullptr) return fail(EINVAL);
  const std::string name(device);
  vboard::shared_spidev set{};
  {
    board_lock lock;
    ensure_ready();
    vboard::device *d = vboard::find_device(vboard::spi(), name);
    if (d == nullptr) return fail(ENOENT);
    set = d->settings();
  }
  // The caller's memory is read and written with no lock held.
  if (mode != nullptr) *mode = set.mode;
  if (bits_per_word != nullptr) *bits_per_word = static_cast<std::uint8_t>(set.bits_per_word);
  if (speed_hz != nullptr) *speed_hz = set.speed_hz;
  return 0;
}

int vboard_spidev_missing(const char *device, int missing) {
  return vboard_fault_missing(device, missing);
}

int vboard_spidev_fail_open(const char *device, int err) { return vboard_fault_open(device, err); }

int vboard_spidev_fail_request(const char *device, unsigned long request, int err) {
  if (device == nullptr || device[0] != '/' || err < 0) return fail(EINVAL);
  const std::string norm = vboard::normalise(device);  // with no lock held
  board_lock lock;
  ensure_ready();
  auto &faults = vboard::spi().faults.requests;
  std::erase_if(faults, [&](const vboard::request_fault &f) {
    return f.request == request && f.path == norm;
  });
  if (err != 0) faults.push_back({norm, request, err});
  return 0;
}

int vboard_spidev_fail_transfers(int count, int result, int err) {
  if (count < 0 || (result < 0 && err <= 0)) return fail(EINVAL);
  board_lock lock;
  ensure_ready();
  auto &f = vboard::spi().faults;
  f.transfer_count = count;
  f.transfer_result = result;
  f.transfer_err = result < 0 ? err : 0;
  return 0;
}
