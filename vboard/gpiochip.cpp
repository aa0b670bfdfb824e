// The GPIO character device: /dev/gpiochip0 for the SoC's controller, the
// same lines the sysfs tree drives, with the kernel's first user interface
// (chip and line info, line handles, line events) as Debian 12's libgpiod,
// its tools and its Python binding use it; and /sys/bus/gpio, where
// libgpiod checks that the device node is a GPIO chip.
//
// One controller, two interfaces: a line held by a request is busy for a
// sysfs export and an exported line is busy for a request; levels,
// directions and active_low are the shared_pin records of the sysfs side,
// so the chip answers a conversion bit-banged through a line handle as it
// does through sysfs.
//
// Who holds a request: the kernel lets go of a request's lines when the
// last descriptor of it closes, in whichever process, and when that process
// ends however it ends. The request's record lives in the shared board
// object; beside it each request holds an open-file-description lock on a
// byte of its record, through a description of the board object of its
// own. The kernel drops that lock when the process ends (a child of fork
// shares the description, so the lock lasts while either keeps it), and a
// record whose lock nobody holds is let go by the next process that looks.
//
// Lines are named "GPIO<n>" after their offset, as the BCM2835's pins are
// named on its data sheet and on the board's header; the chip is
// "gpiochip0" with the sysfs chip's label, whatever base the sysfs
// numbering starts at, as on the target.
#include <dirent.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "internal.h"

// The kernel's structures, as its header gives them: the sizes every
// build of the board must agree with (gpioevent_data's tail padding is
// there on 64-bit and ARM builds alike).
static_assert(sizeof(gpiochip_info) == 68);
static_assert(sizeof(gpioline_info) == 72);
static_assert(sizeof(gpiohandle_request) == 364);
static_assert(sizeof(gpiohandle_config) == 84);
static_assert(sizeof(gpiohandle_data) == 64);
static_assert(sizeof(gpioevent_request) == 48);
static_assert(sizeof(gpioevent_data) == 16);

namespace vboard {
namespace {

constexpr char kPrefix[] = "/dev/gpiochip";
constexpr char kChipPath[] = "/dev/gpiochip0";
constexpr char kChipName[] = "gpiochip0";
constexpr char kBus[] = "/sys/bus/gpio";
// The character devices' major number as the target's kernel gives it to
// its first GPIO chip; /sys/bus/gpio/devices/gpiochip0/dev says the same.
constexpr unsigned kMajor = 254;
constexpr char kDevNumber[] = "254:0\n";

constexpr std::uint32_t kHandle = 1, kEvent = 2;

constexpr std::uint32_t kBias = GPIOHANDLE_REQUEST_BIAS_PULL_UP |
                                GPIOHANDLE_REQUEST_BIAS_PULL_DOWN | GPIOHANDLE_REQUEST_BIAS_DISABLE;
constexpr std::uint32_t kHandleFlags =
    GPIOHANDLE_REQUEST_INPUT | GPIOHANDLE_REQUEST_OUTPUT | GPIOHANDLE_REQUEST_ACTIVE_LOW |
    GPIOHANDLE_REQUEST_OPEN_DRAIN | GPIOHANDLE_REQUEST_OPEN_SOURCE | kBias;
constexpr std::uint32_t kEventFlags = GPIOEVENT_REQUEST_BOTH_EDGES;

// The kernel copies a request's consumer with its last byte cut.
template <std::size_t N>
void copy_label(char (&to)[N], const char *from, std::size_t from_size) {
  std::size_t n = 0;
  while (n + 1 < N && n + 1 < from_size && from[n] != '\0') ++n;
  std::memcpy(to, from, n);
  std::memset(to + n, 0, N - n);
}

// ----- who holds a request (see the note at the top)

// Straight to the kernel: fcntl itself goes through the board, and on a
// 32-bit build the open-file-description locks take the 64-bit record.
int lock_byte(int fd, off_t at, short type, int cmd) {
  struct flock64 l {};
  l.l_type = type;
  l.l_whence = SEEK_SET;
  l.l_start = at;
  l.l_len = 1;
#ifdef SYS_fcntl64
  const long r = syscall(SYS_fcntl64, fd, cmd, &l);
#else
  const long r = syscall(SYS_fcntl, fd, cmd, &l);
#endif
  if (r != 0) return -1;
  return cmd == F_OFD_GETLK ? l.l_type : 0;
}

off_t lock_offset(int slot) {
  const auto *base = reinterpret_cast<const unsigned char *>(&board());
  const auto *at = reinterpret_cast<const unsigned char *>(&board().requests[slot].pid);
  return static_cast<off_t>(at - base);
}

// A description of the board object that holds no lock, to look with.
int looking_fd() {
  static int fd = -1;
  static const shared_board *on = nullptr;
  if (on != &board()) {
    if (fd >= 0) real_close(fd);
    fd = board_object_fd();
    on = &board();
  }
  return fd;
}

bool owner_alive(int slot) {
  const int fd = looking_fd();
  if (fd < 0) return true;  // the private board: only this process
  return lock_byte(fd, lock_offset(slot), F_WRLCK, F_OFD_GETLK) != F_UNLCK;
}

// A program that ends leaves its requests to the kernel's close of its
// descriptors (the lock goes); files the descriptor table destroys after
// this leave the board alone.
bool exiting = false;
void at_exit() { exiting = true; }

// ----- the requests on the board

// Lets go of the request in `slot`: its lines go back to inputs, not
// driven, as an unexported pin does.
void release(int slot) {
  shared_board &b = board();
  for (int line = 0; line < kMaxPins; ++line) {
    if (b.line_request[line] != slot + 1) continue;
    b.line_request[line] = 0;
    shared_pin &p = b.pins[line];
    const std::int16_t jumper = p.jumper;
    p = shared_pin{};
    p.jumper = jumper;
  }
  b.requests[slot] = shared_line_request{};
  pins_changed();
}

// Lets go of the requests whose owners are gone.
void sweep() {
  for (int slot = 0; slot < kLineRequests; ++slot) {
    if (board().requests[slot].kind != 0 && !owner_alive(slot)) release(slot);
  }
}

// The live request holding `line`, or -1.
int holder(int line) {
  const int s = board().line_request[line] - 1;
  if (s < 0 || s >= kLineRequests || board().requests[s].kind == 0) return -1;
  return s;
}

bool is_line(std::uint32_t line) { return line < static_cast<std::uint32_t>(board().ngpio); }

// Why `line` cannot be requested: -EBUSY when a request, the sysfs tree or
// a kernel driver holds it; 0 when free.
int busy(int line) {
  const shared_board &b = board();
  if (holder(line) >= 0 || b.pins[line].exported != 0 || gpio_claimed_by(line) != nullptr) {
    return -EBUSY;
  }
  return 0;
}

// The flags of a line handle request the kernel refuses.
bool bad_handle_flags(std::uint32_t f) {
  if ((f & ~kHandleFlags) != 0) return true;
  const bool in = (f & GPIOHANDLE_REQUEST_INPUT) != 0;
  const bool out = (f & GPIOHANDLE_REQUEST_OUTPUT) != 0;
  const bool drain = (f & GPIOHANDLE_REQUEST_OPEN_DRAIN) != 0;
  const bool source = (f & GPIOHANDLE_REQUEST_OPEN_SOURCE) != 0;
  const std::uint32_t bias = f & kBias;
  if (in && out) return true;
  if (drain && source) return true;
  if ((drain || source) && !out) return true;
  if (bias != 0 && !in && !out) return true;  // bias only with a direction
  return (bias & (bias - 1)) != 0;            // one bias at most
}

// Sets `lines` as `flags` ask: active_low, then the direction (outputs at
// their default logical values); neither direction leaves it as it is.
void configure_lines(const std::vector<int> &lines, std::uint32_t flags,
                     const std::uint8_t *defaults) {
  shared_board &b = board();
  const bool low = (flags & GPIOHANDLE_REQUEST_ACTIVE_LOW) != 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    shared_pin &p = b.pins[lines[i]];
    p.active_low = low ? 1 : 0;
    if ((flags & GPIOHANDLE_REQUEST_OUTPUT) != 0) {
      gpio_drive(lines[i], (defaults[i] != 0) != low);
    } else if ((flags & GPIOHANDLE_REQUEST_INPUT) != 0) {
      p.out = 0;
      p.seen = gpio_line_level(lines[i]) ? 1 : 0;
    }
  }
  pins_changed();
}

// The logical value of `line` as a request reads it.
std::uint8_t value_of(int line) {
  return gpio_line_level(line) != (board().pins[line].active_low != 0) ? 1 : 0;
}

gpioline_info line_info(int line) {
  const shared_board &b = board();
  gpioline_info info{};
  info.line_offset = static_cast<std::uint32_t>(line);
  std::snprintf(info.name, sizeof info.name, "GPIO%d", line);
  const shared_pin &p = b.pins[line];
  if (p.out != 0) info.flags |= GPIOLINE_FLAG_IS_OUT;
  if (p.active_low != 0) info.flags |= GPIOLINE_FLAG_ACTIVE_LOW;
  const char *consumer = nullptr;
  if (const int s = holder(line); s >= 0) {
    const shared_line_request &r = b.requests[s];
    // Open drain, open source and bias have the same bits in both sets.
    info.flags |=
        r.flags & (GPIOHANDLE_REQUEST_OPEN_DRAIN | GPIOHANDLE_REQUEST_OPEN_SOURCE | kBias);
    consumer = r.consumer[0] != '\0' ? r.consumer : "?";
  } else if (p.exported != 0) {
    consumer = "sysfs";
  } else if (const char *driver = gpio_claimed_by(line)) {
    // A chip select the SPI driver drives, active low.
    info.flags |= GPIOLINE_FLAG_IS_OUT | GPIOLINE_FLAG_ACTIVE_LOW;
    consumer = driver;
  }
  if (consumer != nullptr) {
    info.flags |= GPIOLINE_FLAG_KERNEL;
    std::snprintf(info.consumer, sizeof info.consumer, "%s", consumer);
  }
  return info;
}

// Fills `st` for a file a request made: the kernel's anonymous inodes
// have no file type, only the owner's read and write bits.
void anon_stat(struct stat &st, const char *name) { fill_stat(st, name, S_IRUSR | S_IWUSR, 0); }

// ----- the descriptors a request returns

class request_file : public file {
 public:
  request_file(int slot, std::vector<int> lines, int lock_fd)
      : slot_(slot),
        lines_(std::move(lines)),
        lock_fd_(lock_fd),
        pid_(getpid()),
        on_(&board()),
        serial_(board().requests[slot].serial) {}
  ~request_file() override {
    if (pid_ != getpid()) {
      // A copy a child inherited through fork: the request is its parent's.
      if (lock_fd_ >= 0) real_close(lock_fd_);
      return;
    }
    if (exiting) return;
    if (live()) release(slot_);
    if (lock_fd_ >= 0) real_close(lock_fd_);
  }
  request_file(const request_file &) = delete;
  request_file &operator=(const request_file &) = delete;

 protected:
  // False once the board was powered off under the request.
  bool live() const {
    const shared_line_request &r = board().requests[slot_];
    return on_ == &board() && r.kind != 0 && r.serial == serial_;
  }
  shared_line_request &record() const { return board().requests[slot_]; }

  int get_values(void *arg) const {
    if (arg == nullptr) return -EFAULT;
    gpiohandle_data d{};
    for (std::size_t i = 0; i < lines_.size(); ++i) d.values[i] = value_of(lines_[i]);
    std::memcpy(arg, &d, sizeof d);
    return 0;
  }

  int slot_;
  std::vector<int> lines_;
  int lock_fd_;
  pid_t pid_;
  const shared_board *on_;
  std::uint32_t serial_;
};

class handle_file final : public request_file {
 public:
  using request_file::request_file;

  int ioctl(unsigned long request, void *arg, trace_note &) override {
    if (!live()) return -ENODEV;
    switch (request) {
      case GPIOHANDLE_GET_LINE_VALUES_IOCTL:
        return get_values(arg);
      case GPIOHANDLE_SET_LINE_VALUES_IOCTL: {
        if (arg == nullptr) return -EFAULT;
        // Only outputs take values: the first line tells for all.
        if (board().pins[lines_[0]].out == 0) return -EPERM;
        gpiohandle_data d{};
        std::memcpy(&d, arg, sizeof d);
        for (std::size_t i = 0; i < lines_.size(); ++i) {
          const int line = lines_[i];
          gpio_drive(line, (d.values[i] != 0) != (board().pins[line].active_low != 0));
        }
        return 0;
      }
      case GPIOHANDLE_SET_CONFIG_IOCTL: {
        if (arg == nullptr) return -EFAULT;
        gpiohandle_config c{};
        std::memcpy(&c, arg, sizeof c);
        if (bad_handle_flags(c.flags)) return -EINVAL;
        record().flags = c.flags;
        configure_lines(lines_, c.flags, c.default_values);
        return 0;
      }
      default:
        return -EINVAL;
    }
  }

  void stat(struct stat &st) const override { anon_stat(st, "anon_inode:gpio-linehandle"); }
};

class event_file final : public request_file {
 public:
  using request_file::request_file;

  int ioctl(unsigned long request, void *arg, trace_note &) override {
    if (!live()) return -ENODEV;
    if (request == GPIOHANDLE_GET_LINE_VALUES_IOCTL) return get_values(arg);
    return -EINVAL;
  }

  // Whole records only, oldest first; an empty queue answers EAGAIN (on a
  // blocking descriptor the core waits for an event first).
  ssize_t read(void *buf, std::size_t n, off_t &) override {
    if (!live()) return -ENODEV;
    if (n < sizeof(gpioevent_data)) return -EINVAL;
    shared_line_request &r = record();
    if (r.count == 0) return -EAGAIN;
    std::size_t done = 0;
    auto *out = static_cast<unsigned char *>(buf);
    while (r.count != 0 && n - done >= sizeof(gpioevent_data)) {
      const shared_line_event &e = r.queue[r.first % kLineEvents];
      gpioevent_data d{};
      d.timestamp = e.timestamp_ns;
      d.id = e.id;
      std::memcpy(out + done, &d, sizeof d);
      done += sizeof d;
      r.first = (r.first + 1) % kLineEvents;
      --r.count;
    }
    return static_cast<ssize_t>(done);
  }

  bool read_waits() const override { return true; }

  int poll_mask() const override {
    if (!live()) return POLLERR;
    return record().count != 0 ? POLLIN | POLLRDNORM : 0;
  }

  void stat(struct stat &st) const override { anon_stat(st, "anon_inode:gpio-event"); }
};

// Takes a slot for a request of `lines` and holds it. Returns the slot
// and sets `lock_fd`, or -errno.
int take_slot(const std::vector<int> &lines, std::uint32_t kind, std::uint32_t flags,
              const char *consumer, std::size_t consumer_size, int &lock_fd) {
  shared_board &b = board();
  sweep();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!is_line(static_cast<std::uint32_t>(lines[i]))) return -EINVAL;
    if (const int e = busy(lines[i])) return e;
    for (std::size_t k = 0; k < i; ++k) {
      if (lines[k] == lines[i]) return -EBUSY;  // asked twice: the second finds it taken
    }
  }
  int slot = -1;
  for (int s = 0; s < kLineRequests && slot < 0; ++s) {
    if (b.requests[s].kind == 0) slot = s;
  }
  if (slot < 0) return -ENOMEM;
  lock_fd = board_object_fd();
  if (lock_fd >= 0 && lock_byte(lock_fd, lock_offset(slot), F_WRLCK, F_OFD_SETLK) != 0) {
    const int err = errno;
    real_close(lock_fd);
    return -err;
  }
  static bool hooked = false;
  if (!hooked) hooked = std::atexit(at_exit) == 0;
  shared_line_request &r = b.requests[slot];
  r = shared_line_request{};
  r.kind = kind;
  r.pid = static_cast<std::uint32_t>(getpid());
  r.flags = flags;
  r.serial = static_cast<std::uint32_t>(monotonic_ns()) ^ r.pid;
  copy_label(r.consumer, consumer, consumer_size);
  for (int line : lines) b.line_request[line] = static_cast<std::int16_t>(slot + 1);
  return slot;
}

// A line handle: GPIO_GET_LINEHANDLE_IOCTL.
int request_handle(void *arg) {
  if (arg == nullptr) return -EFAULT;
  gpiohandle_request req{};
  std::memcpy(&req, arg, sizeof req);
  if (req.lines == 0 || req.lines > GPIOHANDLES_MAX) return -EINVAL;
  if (bad_handle_flags(req.flags)) return -EINVAL;
  const std::vector<int> lines(req.lineoffsets, req.lineoffsets + req.lines);
  int lock_fd = -1;
  const int slot =
      take_slot(lines, kHandle, req.flags, req.consumer_label, sizeof req.consumer_label, lock_fd);
  if (slot < 0) return slot;
  auto f = std::make_unique<handle_file>(slot, lines, lock_fd);
  configure_lines(lines, req.flags, req.default_values);
  const int fd = add_descriptor(std::move(f), "anon_inode:gpio-linehandle", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fd;  // the file is gone, and the request with it
  req.fd = fd;
  std::memcpy(arg, &req, sizeof req);
  return 0;
}

// A line event: GPIO_GET_LINEEVENT_IOCTL.
int request_event(void *arg) {
  if (arg == nullptr) return -EFAULT;
  gpioevent_request req{};
  std::memcpy(&req, arg, sizeof req);
  if (!is_line(req.lineoffset)) return -EINVAL;
  const std::uint32_t f = req.handleflags;
  if ((f & ~kHandleFlags) != 0 || (req.eventflags & ~kEventFlags) != 0) return -EINVAL;
  // Edges are looked for on inputs only.
  if ((f & (GPIOHANDLE_REQUEST_OUTPUT | GPIOHANDLE_REQUEST_OPEN_DRAIN |
            GPIOHANDLE_REQUEST_OPEN_SOURCE)) != 0) {
    return -EINVAL;
  }
  if (((f & kBias) & ((f & kBias) - 1)) != 0) return -EINVAL;
  const std::vector<int> lines{static_cast<int>(req.lineoffset)};
  int lock_fd = -1;
  const int slot =
      take_slot(lines, kEvent, f, req.consumer_label, sizeof req.consumer_label, lock_fd);
  if (slot < 0) return slot;
  auto file_ = std::make_unique<event_file>(slot, lines, lock_fd);
  configure_lines(lines, f | GPIOHANDLE_REQUEST_INPUT, nullptr);
  shared_line_request &r = board().requests[slot];
  r.line = req.lineoffset;
  r.eventflags = req.eventflags;
  r.seen = gpio_line_level(lines[0]) ? 1 : 0;
  const int fd = add_descriptor(std::move(file_), "anon_inode:gpio-event", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fd;
  req.fd = fd;
  std::memcpy(arg, &req, sizeof req);
  return 0;
}

class chip_file final : public file {
 public:
  int ioctl(unsigned long request, void *arg, trace_note &) override {
    switch (request) {
      case GPIO_GET_CHIPINFO_IOCTL: {
        if (arg == nullptr) return -EFAULT;
        gpiochip_info info{};
        std::snprintf(info.name, sizeof info.name, "%s", kChipName);
        std::snprintf(info.label, sizeof info.label, "%s", gpio_chip_label());
        info.lines = static_cast<std::uint32_t>(board().ngpio);
        std::memcpy(arg, &info, sizeof info);
        return 0;
      }
      case GPIO_GET_LINEINFO_IOCTL: {
        if (arg == nullptr) return -EFAULT;
        gpioline_info info{};
        std::memcpy(&info, arg, sizeof info);
        if (!is_line(info.line_offset)) return -EINVAL;
        sweep();
        info = line_info(static_cast<int>(info.line_offset));
        std::memcpy(arg, &info, sizeof info);
        return 0;
      }
      case GPIO_GET_LINEHANDLE_IOCTL:
        return request_handle(arg);
      case GPIO_GET_LINEEVENT_IOCTL:
        return request_event(arg);
      default:
        return -EINVAL;
    }
  }

  void stat(struct stat &st) const override {
    fill_stat(st, kChipPath, S_IFCHR | 0660, 0);
    st.st_rdev = makedev(kMajor, 0);
  }

  // Readable only with line info changes queued, which needs a watch.
  int poll_mask() const override { return 0; }
};

int chip_open(const char *path, int, std::unique_ptr<file> &out) {
  // The board has one controller: no other gpiochip is there.
  if (std::string_view(path) != kChipPath) return -ENOENT;
  out = std::make_unique<chip_file>();
  return 0;
}

int chip_stat(const char *path, struct stat &st, bool) {
  if (std::string_view(path) != kChipPath) return -ENOENT;
  chip_file().stat(st);
  return 0;
}

int chip_list(const char *path, std::vector<dir_entry> &out) {
  if (std::string_view(path) != "/dev") return 1;
  out.push_back({kChipName, DT_CHR});
  return 2;
}

// Power-off: every request is gone.
void chip_reset() {
  shared_board &b = board();
  for (auto &r : b.requests) r = shared_line_request{};
  for (auto &l : b.line_request) l = 0;
}

// ----- /sys/bus/gpio: the bus's device, whose dev attribute libgpiod
// compares with the device node's numbers.

enum class bus_node { none, root, devices, chip, dev };

bus_node bus_classify(std::string_view p) {
  if (p == kBus) return bus_node::root;
  if (p == "/sys/bus/gpio/devices") return bus_node::devices;
  if (p == "/sys/bus/gpio/devices/gpiochip0") return bus_node::chip;
  if (p == "/sys/bus/gpio/devices/gpiochip0/dev") return bus_node::dev;
  return bus_node::none;
}

class bus_file final : public file {
 public:
  bus_file(std::string path, bus_node n) : path_(std::move(path)), node_(n) {}
  ssize_t read(void *buf, std::size_t n, off_t &offset) override {
    if (node_ != bus_node::dev) return -EISDIR;
    const std::string_view text(kDevNumber);
    if (offset < 0 || static_cast<std::size_t>(offset) >= text.size()) return 0;
    const std::size_t k = std::min(n, text.size() - static_cast<std::size_t>(offset));
    std::memcpy(buf, text.data() + offset, k);
    offset += static_cast<off_t>(k);
    return static_cast<ssize_t>(k);
  }
  void stat(struct stat &st) const override {
    fill_stat(st, path_.c_str(), node_ == bus_node::dev ? S_IFREG | 0444 : S_IFDIR | 0755);
  }

 private:
  std::string path_;
  bus_node node_;
};

int bus_open(const char *path, int flags, std::unique_ptr<file> &out) {
  const bus_node n = bus_classify(path);
  if (n == bus_node::none) return -ENOENT;
  if ((flags & O_ACCMODE) != O_RDONLY) return n == bus_node::dev ? -EACCES : -EISDIR;
  if (n == bus_node::dev && (flags & O_DIRECTORY) != 0) return -ENOTDIR;
  out = std::make_unique<bus_file>(path, n);
  return 0;
}

int bus_stat(const char *path, struct stat &st, bool) {
  const bus_node n = bus_classify(path);
  if (n == bus_node::none) return -ENOENT;
  bus_file(path, n).stat(st);
  return 0;
}

int bus_list(const char *path, std::vector<dir_entry> &out) {
  const bus_node n = bus_classify(path);
  if (n == bus_node::none) return 1;
  if (n == bus_node::dev) return -ENOTDIR;
  out.push_back({".", DT_DIR});
  out.push_back({"..", DT_DIR});
  if (n == bus_node::root) out.push_back({"devices", DT_DIR});
  if (n == bus_node::devices) out.push_back({"gpiochip0", DT_DIR});
  if (n == bus_node::chip) out.push_back({"dev", DT_REG});
  return 0;
}

const bool registered =
    add_provider(
        {kPrefix, chip_open, chip_stat, nullptr, chip_list, nullptr, chip_reset, nullptr}) &&
    add_provider({kBus, bus_open, bus_stat, nullptr, bus_list, nullptr, nullptr, nullptr});

}  // namespace

bool chardev_line_requested(int line) {
  (void)registered;
  if (line < 0 || line >= kMaxPins) return false;
  if (board().line_request[line] == 0) return false;
  sweep();
  return holder(line) >= 0;
}

bool chardev_line_held(int line) { return line >= 0 && line < kMaxPins && holder(line) >= 0; }

bool chardev_pins_changed() {
  shared_board &b = board();
  bool queued = false;
  for (auto &r : b.requests) {
    if (r.kind != kEvent || !is_line(r.line)) continue;
    const std::uint32_t now = gpio_line_level(static_cast<int>(r.line)) ? 1 : 0;
    if (now == r.seen) continue;
    r.seen = now;
    // Edges of the logical value: active low turns them over.
    const bool rose = (now != 0) != ((r.flags & GPIOHANDLE_REQUEST_ACTIVE_LOW) != 0);
    const std::uint32_t want =
        rose ? GPIOEVENT_REQUEST_RISING_EDGE : GPIOEVENT_REQUEST_FALLING_EDGE;
    if ((r.eventflags & want) == 0) continue;
    if (r.count == kLineEvents) {
      ++r.dropped;  // a full queue keeps what it has, as the kernel's does
      continue;
    }
    shared_line_event &e = r.queue[(r.first + r.count) % kLineEvents];
    e.timestamp_ns = monotonic_ns();
    e.id = rose ? GPIOEVENT_EVENT_RISING_EDGE : GPIOEVENT_EVENT_FALLING_EDGE;
    ++r.count;
    queued = true;
  }
  return queued;
}

const char *chardev_damage(const shared_board &b) {
  for (const std::int16_t l : b.line_request) {
    if (l < 0 || l > kLineRequests) return "a line request is invalid";
  }
  for (const auto &r : b.requests) {
    if (r.kind > kEvent || r.line >= kMaxPins || r.seen > 1 || r.first >= kLineEvents ||
        r.count > kLineEvents || r.consumer[sizeof r.consumer - 1] != '\0') {
      return "a line request is invalid";
    }
  }
  return nullptr;
}

std::string chardev_describe() {
  sweep();
  const shared_board &b = board();
  std::string out;
  for (int s = 0; s < kLineRequests; ++s) {
    const shared_line_request &r = b.requests[s];
    if (r.kind == 0) continue;
    std::string lines;
    for (int line = 0; line < b.ngpio; ++line) {
      if (b.line_request[line] != s + 1) continue;
      if (!lines.empty()) lines += ',';
      lines += std::to_string(line);
    }
    char text[160];
    std::snprintf(text, sizeof text, "  %s lines %s, consumer \"%.31s\", pid %u\n",
                  r.kind == kEvent ? "event" : "handle", lines.c_str(), r.consumer, r.pid);
    out += text;
  }
  if (out.empty()) out = "  no line requested\n";
  return std::string(kChipName) + ": requests through the character device\n" + out;
}

}  // namespace vboard
