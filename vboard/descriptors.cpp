// Virtual descriptors: which paths belong to which device handler, the
// table of open virtual files behind real stand-in descriptors, the reads,
// writes, seeks, ioctls and stats routed to them, stdio streams over them,
// and the adoption of virtual descriptors a program inherits through exec.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "internal.h"

namespace vboard {

// ---------------------------------------------------------------------------
// Default file behaviour

void trace_note::keep(const void *bytes_in, std::size_t n) {
  data_len = n < sizeof data ? n : sizeof data;
  if (data_len != 0) std::memcpy(data, bytes_in, data_len);
}

ssize_t file::read(void *, std::size_t, off_t &) { return -EINVAL; }
ssize_t file::write(const void *, std::size_t, off_t &) { return -EINVAL; }
// A sysfs attribute's read or write copies a page at most.
std::size_t file::reach(std::size_t n) const { return std::min(n, kPage); }
int file::ioctl(unsigned long, void *, trace_note &) { return -ENOTTY; }
int file::poll_mask() const { return POLLIN | POLLRDNORM | POLLOUT | POLLWRNORM; }
void file::stat(struct stat &st) const { fill_stat(st, "", S_IFREG | 0644); }

void fill_stat(struct stat &st, const char *path, mode_t mode, off_t size) {
  std::memset(&st, 0, sizeof st);
  // A stable inode per path, so "is the input the output" checks (cat)
  // and dup'ed descriptors agree.
  std::uint64_t h = 1469598103934665603ULL;
  for (const char *p = path; *p != '\0'; ++p) {
    h = (h ^ static_cast<unsigned char>(*p)) * 1099511628211ULL;
  }
  st.st_dev = 0x5642;  // "VB"
  st.st_ino = static_cast<ino_t>(h | 1U);
  st.st_mode = mode;
  st.st_nlink = S_ISDIR(mode) ? 2 : 1;
  st.st_uid = getuid();
  st.st_gid = getgid();
  st.st_size = S_ISDIR(mode) ? 0 : size;
  st.st_blksize = kPage;
  st.st_blocks = 0;
  // sysfs nodes carry the time they were made; the board gives them now.
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  st.st_atim = st.st_mtim = st.st_ctim = now;
}

namespace {

struct desc {
  std::shared_ptr<file> f;
  std::string path;
  int flags = 0;
  off_t offset = 0;
};

constexpr std::size_t kMaxProviders = 8;

struct provider_table {
  provider items[kMaxProviders];
  std::size_t count = 0;
};
provider_table &providers() {
  static provider_table &t = *new provider_table();
  return t;
}

std::vector<std::shared_ptr<desc>> &fds() {
  // This and the board's other tables are never destroyed: a program's
  // exit handlers (xargs closing its streams) and other libraries'
  // destructors call into the board after static destructors have run.
  static auto &table = *new std::vector<std::shared_ptr<desc>>();
  return table;
}

// Starts at 1 so that the first descriptor call takes the slow path, which
// adopts the descriptors inherited through exec (see adopt_inherited).
std::atomic<int> virtual_fds{1};

// Cheap test before taking the lock: could this path belong to a handler?
// Only absolute paths do; relative ones never lead into the virtual tree
// because its directories cannot become the working directory.
const provider *find_provider(const char *path, std::string &norm) {
  if (path == nullptr || path[0] != '/') return nullptr;
  const auto &t = providers();
  bool candidate = false;
  for (std::size_t i = 0; i < t.count && !candidate; ++i) {
    // Compare on the path's skeleton: extra slashes may hide the prefix.
    std::string_view pre(t.items[i].prefix);
    std::size_t pi = 0;
    for (const char *p = path; *p != '\0' && pi < pre.size(); ++p) {
      if (*p == '/' && p[1] == '/') continue;
      if (*p != pre[pi]) break;
      ++pi;
    }
    candidate = pi == pre.size() || std::strstr(path, "/.") != nullptr;
  }
  if (!candidate) return nullptr;
  norm = walk_path(path);
  for (std::size_t i = t.count; i-- > 0;) {
    if (norm.starts_with(t.items[i].prefix)) return &t.items[i];
  }
  return nullptr;
}

std::shared_ptr<desc> lookup(int fd) {
  auto &t = fds();
  if (fd < 0 || static_cast<std::size_t>(fd) >= t.size()) return nullptr;
  return t[static_cast<std::size_t>(fd)];
}

// The same, for use under the lock alone: no count to move (the hot
// paths' read, write and seek).
desc *peek(int fd) {
  auto &t = fds();
  if (fd < 0 || static_cast<std::size_t>(fd) >= t.size()) return nullptr;
  return t[static_cast<std::size_t>(fd)].get();
}

// The kernel releases an open file description when its last descriptor
// goes; the trace shows "close" then, not for each dup'ed copy (shells move
// redirections around with dup2 and close before anything is written).
void release(std::shared_ptr<desc> &&d, int result, int err) {
  if (d && d.use_count() == 1) {
    trace(VBOARD_OP_CLOSE, d->path.c_str(), 0, 0, nullptr, 0, result, err);
  }
  d.reset();
}

// Which of the first descriptors the table holds, one flag each, set and
// cleared with the table (lock held) and read without any lock: a request's
// memory is probed before the board is taken, and asking the table itself
// would take this process's lock for it. A flag read while another thread
// closes or opens the number is as stale as the table's answer would be a
// moment later.
constexpr std::size_t kMarkedFds = 4096;
std::atomic<std::uint8_t> fd_marks[kMarkedFds];

void mark_fd(std::size_t i, bool held) {
  if (i < kMarkedFds) fd_marks[i].store(held ? 1 : 0, std::memory_order_relaxed);
}

// Takes number `i` out of the table, with its count and its flag; the one
// place that does (bind puts one in).
std::shared_ptr<desc> unbind(std::size_t i) {
  auto &t = fds();
  if (i >= t.size() || !t[i]) return nullptr;
  mark_fd(i, false);
  virtual_fds.fetch_sub(1, std::memory_order_relaxed);
  return std::move(t[i]);
}

void bind(int fd, std::shared_ptr<desc> d) {
  auto &t = fds();
  const auto i = static_cast<std::size_t>(fd);
  if (i >= t.size()) t.resize(i + 1);
  std::shared_ptr<desc> old = unbind(i);
  if (d) {
    virtual_fds.fetch_add(1, std::memory_order_relaxed);
    mark_fd(i, true);
    t[i] = std::move(d);
  }
  release(std::move(old), 0, 0);
}

// Stand-in descriptors. Each is a copy of one empty memfd, so an open
// costs the kernel no more than reserving a number, and a close no more
// than releasing it; what a stand-in stands for is this process's table.
// One the program exec starts will hold gets, just before the exec, a
// memfd of its own named after its file (tag, flags, path; a handed-out
// file's token after '#'), which the new program's board adopts (shells
// open redirections before they exec the command).
constexpr char kStandInTag[] = "vboard:";
constexpr char kPlaceholder[] = "vboard:placeholder";
std::atomic<int> placeholder{-1};

// Lock held.
int stand_in(int flags) {
  if (placeholder < 0) {
    int fd = memfd_create(kPlaceholder, MFD_CLOEXEC);
    if (fd < 0) fd = real_open("/dev/null", O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) return -1;
    placeholder = fd;
    keep_fd(placeholder);
  }
  const long fd = raw_fcntl(placeholder, (flags & O_CLOEXEC) != 0 ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
  return static_cast<int>(fd);
}

constexpr std::size_t kMaxAdopters = 4;
std::atomic<adopt_fn> adopters[kMaxAdopters];

// A file whose node went away between exec and adoption.
class gone_file final : public file {
 public:
  ssize_t read(void *, std::size_t, off_t &) override { return -ENODEV; }
  ssize_t write(const void *, std::size_t, off_t &) override { return -ENODEV; }
};

// ----- stdio over virtual descriptors

// A stream over a board descriptor. stdio answers -1 to fileno for a
// cookie stream, so the board keeps which descriptor each of its streams
// stands on (a program started with a board file as standard output asks
// fileno(stdout) before it writes). Guarded by its own mutex, never held
// while the board is entered.
struct stream_cookie {
  int fd;
  FILE *fp;
};
std::mutex streams_mutex;
std::vector<stream_cookie *> &board_streams() {
  static std::vector<stream_cookie *> &v = *new std::vector<stream_cookie *>();
  return v;
}
std::atomic<int> board_stream_count{0};

int cookie_fd(void *c) { return static_cast<stream_cookie *>(c)->fd; }

void forget_stream(void *c) {
  auto *cookie = static_cast<stream_cookie *>(c);
  {
    std::lock_guard<std::mutex> g(streams_mutex);
    auto &v = board_streams();
    const auto it = std::find(v.begin(), v.end(), cookie);
    if (it != v.end()) {
      v.erase(it);
      board_stream_count.fetch_sub(1, std::memory_order_relaxed);
    }
  }
  delete cookie;
}

// fopencookie over `fd`, remembered for fileno; null with errno on failure.
FILE *open_stream(int fd, const char *mode, const cookie_io_functions_t &io) {
  auto *cookie = new (std::nothrow) stream_cookie{fd, nullptr};
  if (cookie == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  FILE *fp = fopencookie(cookie, mode, io);
  if (fp == nullptr) {
    delete cookie;
    return nullptr;
  }
  cookie->fp = fp;
  std::lock_guard<std::mutex> g(streams_mutex);
  board_streams().push_back(cookie);
  board_stream_count.fetch_add(1, std::memory_order_relaxed);
  return fp;
}

ssize_t cookie_read(void *c, char *buf, size_t n) { return read(cookie_fd(c), buf, n); }
ssize_t cookie_write(void *c, const char *buf, size_t n) {
  const ssize_t r = write(cookie_fd(c), buf, n);
  return r < 0 ? -1 : r;
}
int cookie_seek(void *c, off64_t *pos, int whence) {
  const off_t r = lseek(cookie_fd(c), static_cast<off_t>(*pos), whence);
  if (r < 0) return -1;
  *pos = r;
  return 0;
}
int cookie_close(void *c) {
  const int fd = cookie_fd(c);
  forget_stream(c);
  return close(fd);
}
int cookie_keep_open(void *c) {
  forget_stream(c);
  return 0;
}

const char *stream_mode(int flags) {
  const int acc = flags & O_ACCMODE;
  return acc == O_RDONLY ? "r" : acc == O_WRONLY ? "w" : "r+";
}

// A program started with a virtual file as standard input or output (the
// shell's "cmd > /sys/class/gpio/export") uses it through stdio, which
// calls the kernel directly: give it streams that go through the board.
void adopt_std_streams() {
  static const cookie_io_functions_t io{cookie_read, cookie_write, cookie_seek, cookie_close};
  FILE **const streams[] = {&stdin, &stdout, &stderr};
  for (int fd = 0; fd < 3; ++fd) {
    const auto d = lookup(fd);
    // Only libc's own stream for the descriptor is replaced, once.
    if (!d || *streams[fd] == nullptr || stream_fd(*streams[fd]) != -2 ||
        fileno(*streams[fd]) != fd)
      continue;
    FILE *fp = open_stream(fd, stream_mode(d->flags), io);
    if (fp == nullptr) continue;
    // Standard error stays unbuffered; the others keep stdio's buffering,
    // so a line is still one write, as it is on a real descriptor.
    if (fd == 2) setvbuf(fp, nullptr, _IONBF, 0);
    *streams[fd] = fp;
  }
}

// A shell that redirects its own standard output for a builtin (bash's
// echo) writes through stdio as well: while descriptor 0, 1 or 2 is
// virtual, the standard stream goes through the board, and the program's
// original stream comes back when the descriptor stops being virtual.
// Called without the board lock (flushing writes through the board).
FILE *saved_std[3];

void retarget_std_stream(int fd, bool is_virtual, int flags) {
  if (fd < 0 || fd > 2) return;
  FILE **const streams[] = {&stdin, &stdout, &stderr};
  FILE **s = streams[fd];
  if (is_virtual && saved_std[fd] == nullptr) {
    if (*s == nullptr || stream_fd(*s) != -2 || fileno(*s) != fd) return;  // not libc's own
    static const cookie_io_functions_t io{cookie_read, cookie_write, cookie_seek, cookie_keep_open};
    FILE *fp = open_stream(fd, stream_mode(flags), io);
    if (fp == nullptr) return;
    if (fd == 2) setvbuf(fp, nullptr, _IONBF, 0);
    saved_std[fd] = *s;
    *s = fp;
  } else if (!is_virtual && saved_std[fd] != nullptr) {
    FILE *ours = *s;
    *s = saved_std[fd];
    saved_std[fd] = nullptr;
    fclose(ours);
  }
}

// fopen's mode string as open flags; false for a mode fopen rejects.
bool mode_flags(const char *mode, int &flags) {
  if (mode == nullptr) return false;
  switch (mode[0]) {
    case 'r':
      flags = O_RDONLY;
      break;
    case 'w':
      flags = O_WRONLY | O_CREAT | O_TRUNC;
      break;
    case 'a':
      flags = O_WRONLY | O_CREAT | O_APPEND;
      break;
    default:
      return false;
  }
  for (const char *p = mode + 1; *p != '\0' && *p != ','; ++p) {
    if (*p == '+')
      flags = (flags & ~O_ACCMODE) | O_RDWR;
    else if (*p == 'e')
      flags |= O_CLOEXEC;
    else if (*p == 'x')
      flags |= O_EXCL;
  }
  return true;
}

// Opens a virtual path; returns the descriptor, -1 with errno, or -2 when
// the path is not virtual after all.
// `dir_wanted`: the path named a directory (a trailing slash), so the
// handler follows a last link and refuses anything else, whatever the
// flags say; the descriptor keeps the flags as given.
int open_locked(const provider *prov, const std::string &path, int flags, bool dir_wanted) {
  board_lock lock;
  ensure_ready();
  int err = 0;
  std::unique_ptr<file> f;
  if (is_missing(path)) {
    err = ENOENT;
  } else if (int e = open_fault_for(path)) {
    err = e;
  } else {
    const int r =
        prov->open(path.c_str(), dir_wanted ? (flags & ~O_NOFOLLOW) | O_DIRECTORY : flags, f);
    if (r == 1) return -2;
    if (r < 0) err = -r;
  }
  int fd = -1;
  if (err == 0) {
    // A real descriptor stands in for the virtual file, so numbers never
    // collide with real files and dup/fcntl/select keep working on it.
    fd = stand_in(flags);
    if (fd < 0) {
      err = errno;
    } else {
      auto d = std::make_shared<desc>();
      d->f = std::move(f);
      d->path = path;
      d->flags = flags;
      bind(fd, std::move(d));
    }
  }
  trace(VBOARD_OP_OPEN, path.c_str(), static_cast<unsigned long>(flags), 0, nullptr, 0,
        err == 0 ? fd : -1, err);
  return err == 0 ? fd : fail(err);
}

// Transfers up to this size go through a buffer of the call's own, so the
// caller's memory is touched only with no lock held: a buffer that is not
// the caller's to use then faults in the caller alone, as it does when
// libc copies a buffer the caller passed, and never with the board locked.
// A larger transfer first asks the file how much of the buffer it can
// copy (file::reach): a page at most for most files, so the call's own
// buffer serves; otherwise that much of the caller's buffer is touched
// before the lock is taken.
constexpr std::size_t kBounce = kPage;

// One read or write on a descriptor that may be virtual; `at` is the offset
// of a pread/pwrite, which leaves the descriptor's own offset alone.
// `waits` (reads only): set instead of reading when the file's reads wait
// (see file::read_waits); the descriptor need not have been looked at.
template <bool Writing>
routed v_transfer(int fd, std::conditional_t<Writing, const void *, void *> buf, std::size_t n,
                  const off_t *at, bool *waits = nullptr) {
  if (waits == nullptr && (!maybe_virtual(fd) || !is_virtual(fd))) return {false, 0};
  if (n != 0 && bad_address(buf)) {
    board_lock lock;
    auto d = lookup(fd);
    if (!d) return {false, 0};
    if (waits != nullptr && d->f->read_waits()) {
      *waits = true;
      return {false, 0};
    }
    trace(Writing ? VBOARD_OP_WRITE : VBOARD_OP_READ, d->path.c_str(), 0, n, nullptr, 0, -1,
          EFAULT);
    return {true, fail(EFAULT)};
  }
  unsigned char bounce[kBounce];
  std::size_t span = n;  // the most of `buf` the call may copy
  for (int asked = 0;; ++asked) {
    if (n > kBounce) {
      board_lock lock;
      ensure_ready();
      const desc *d = peek(fd);
      if (d == nullptr) return {false, 0};
      if (waits != nullptr && d->f->read_waits()) {
        *waits = true;
        return {false, 0};
      }
      // A reach that keeps growing (a queue filling meanwhile) is given up
      // on after a few askings: the whole buffer is touched then.
      span = asked < 4 ? std::min(d->f->reach(n), n) : n;
    }
    const bool bounced = span <= kBounce;
    if constexpr (Writing) {
      if (bounced && span != 0) std::memcpy(bounce, buf, span);
    }
    if (!bounced) touch(buf, span, !Writing);
    ssize_t r = -EBADF;
    {
      board_lock lock;
      ensure_ready();
      desc *d = peek(fd);
      if (d == nullptr) return {false, 0};
      if (waits != nullptr && d->f->read_waits()) {
        *waits = true;
        return {false, 0};
      }
      if (n > kBounce && span < n && d->f->reach(n) > span) continue;  // it changed: ask again
      void *place = bounced ? bounce : const_cast<void *>(static_cast<const void *>(buf));
      if ((d->flags & O_ACCMODE) != (Writing ? O_RDONLY : O_WRONLY)) {
        off_t positioned = at != nullptr ? *at : 0;
        off_t &off = at != nullptr ? positioned : d->offset;
        if constexpr (Writing) {
          r = d->f->write(place, n, off);
        } else {
          r = d->f->read(place, n, off);
        }
      }
      const int err = r < 0 ? static_cast<int>(-r) : 0;
      // A write traces the bytes offered (those the file could see); a
      // read the bytes it delivered.
      const std::size_t shown =
          Writing ? std::min(n, span) : (r > 0 ? static_cast<std::size_t>(r) : 0);
      trace(Writing ? VBOARD_OP_WRITE : VBOARD_OP_READ, d->path.c_str(), 0, n, place, shown,
            r < 0 ? -1 : r, err);
    }
    if constexpr (!Writing) {
      if (bounced && r > 0) std::memcpy(buf, bounce, static_cast<std::size_t>(r));
    }
    return {true, r < 0 ? fail(static_cast<int>(-r)) : r};
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// For the rest of the board

namespace {
// The devices' probes of the caller's memory, by request type: set while
// the library loads, read without the lock afterwards.
constinit ioctl_probe ioctl_probes[256] = {};
}  // namespace

bool add_ioctl_probe(unsigned magic, ioctl_probe probe) {
  ioctl_probes[magic & 0xffu] = probe;
  return true;
}

void touch_pages(const void *p, std::size_t n, bool writable) {
  if (n == 0 || bad_address(p)) return;
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(p);
  // A range past the end of the address space faults at its end anyway.
  const std::uintptr_t last = n - 1 > UINTPTR_MAX - first ? UINTPTR_MAX : first + (n - 1);
  for (std::uintptr_t a = first;; a = (a | (kPage - 1)) + 1) {
    touch_byte(reinterpret_cast<const void *>(a), writable);
    if ((a | (kPage - 1)) >= last) break;
  }
}

std::string normalise(const char *path) {
  // Most paths programs open are normal already: one copy, no parts.
  const std::string_view p(path);
  if (p.size() > 1 && p.front() == '/' && p.back() != '/' && p.find("//") == p.npos &&
      p.find("/./") == p.npos && p.find("/../") == p.npos && !p.ends_with("/.") &&
      !p.ends_with("/.."))
    return std::string(p);
  std::vector<std::string_view> parts;
  for (auto part : config::split(path, '/')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  if (parts.empty()) return std::string(1, '/');
  std::string out;
  for (auto part : parts) {
    out += '/';
    out += part;
  }
  return out;
}

namespace {
// The target of a board link at `path` (normalised), or false for a path
// that is no board link. Takes the lock.
bool board_link(const std::string &path, std::string &target) {
  const auto &t = providers();
  for (std::size_t i = t.count; i-- > 0;) {
    if (!path.starts_with(t.items[i].prefix)) continue;
    if (t.items[i].readlink == nullptr) return false;
    board_lock lock;
    ensure_ready();
    return t.items[i].readlink(path.c_str(), target) == 0;
  }
  return false;
}
}  // namespace

std::string walk_path(const char *path) {
  if (path == nullptr || std::strstr(path, "/..") == nullptr) return normalise(path);
  std::string done;
  for (auto part : config::split(path, '/')) {
    if (part.empty() || part == ".") continue;
    if (part != "..") {
      done += '/';
      done += part;
      continue;
    }
    std::string target;
    if (!done.empty() && board_link(done, target)) {
      done = normalise(target[0] == '/' ? target.c_str()
                                        : (done.substr(0, done.rfind('/')) + "/" + target).c_str());
      if (done == "/") done.clear();
    }
    const auto slash = done.rfind('/');
    done = slash == std::string::npos ? "" : done.substr(0, slash);
  }
  return done.empty() ? std::string(1, '/') : done;
}

bool configure_devices(bool restore) {
  bool ok = true;
  const auto &t = providers();
  for (std::size_t i = 0; i < t.count; ++i) {
    if (t.items[i].configure != nullptr && !t.items[i].configure(restore)) ok = false;
  }
  return ok;
}

void reset_devices() {
  const auto &t = providers();
  for (std::size_t i = 0; i < t.count; ++i) {
    if (t.items[i].reset != nullptr) t.items[i].reset();
  }
}

void clear_device_faults() {
  const auto &t = providers();
  for (std::size_t i = 0; i < t.count; ++i) {
    if (t.items[i].clear_faults != nullptr) t.items[i].clear_faults();
  }
}

int add_descriptor(std::unique_ptr<file> f, const std::string &path, int flags) {
  const int fd = stand_in(flags);
  if (fd < 0) return -errno;
  auto d = std::make_shared<desc>();
  d->f = std::move(f);
  d->path = path;
  d->flags = flags;
  bind(fd, std::move(d));
  return fd;
}

// Takes over the stand-ins this process inherited through exec. Lock held.
void adopt_inherited() {
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  const int dfd = dirfd(dir);
  while (const dirent *ent = readdir(dir)) {
    char *end = nullptr;
    const long fd = std::strtol(ent->d_name, &end, 10);
    if (end == ent->d_name || *end != '\0' || fd == dfd || fd < 0) continue;
    if (lookup(static_cast<int>(fd))) continue;
    char link[64], target[512];
    std::snprintf(link, sizeof link, "/proc/self/fd/%ld", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    std::string_view t(target, static_cast<std::size_t>(n));
    constexpr std::string_view memfd = "/memfd:";
    constexpr std::string_view deleted = " (deleted)";
    if (!t.starts_with(memfd)) continue;
    t.remove_prefix(memfd.size());
    if (t.ends_with(deleted)) t.remove_suffix(deleted.size());
    if (!t.starts_with(kStandInTag)) continue;
    // A stand-in that was not named before the exec (a spawn's copy the
    // board did not see): what it stood for is lost, so it answers ENODEV
    // rather than read as the empty file it is.
    const bool unnamed = t == kPlaceholder;
    t.remove_prefix(sizeof kStandInTag - 1);
    const auto colon = t.find(':');
    if (colon == std::string_view::npos && !unnamed) continue;
    const int flags =
        unnamed ? O_RDWR
                : static_cast<int>(
                      std::strtoul(std::string(t.substr(0, colon)).c_str(), nullptr, 16));
    std::string path(unnamed ? std::string_view("anon_inode:[vboard]") : t.substr(colon + 1));
    std::string norm;
    // A descriptor a device's request handed out has no path to open
    // again: its device takes it up from its token, or it answers ENODEV.
    const bool handed_out = path.starts_with("anon_inode:");
    const provider *prov = handed_out ? nullptr : find_provider(path.c_str(), norm);
    if (prov == nullptr && !handed_out) continue;
    std::string_view token;
    if (handed_out) {
      if (const auto hash = path.find('#'); hash != std::string::npos) {
        token = std::string_view(path).substr(hash + 1);
        norm = path.substr(0, hash);
      } else {
        norm = path;
      }
    }
    auto d = std::make_shared<desc>();
    std::unique_ptr<file> f;
    if (handed_out) {
      for (std::size_t i = 0; i < kMaxAdopters && !token.empty() && !f; ++i) {
        const adopt_fn fn = adopters[i].load();
        if (fn != nullptr && fn(token, f) != 0) f.reset();
      }
    } else if (prov->open(norm.c_str(), flags & ~(O_CREAT | O_EXCL | O_TRUNC), f) != 0) {
      // Re-opened without O_CREAT/O_TRUNC: the open already happened.
      f.reset();
    }
    if (!f) f = std::make_unique<gone_file>();
    d->f = std::move(f);
    d->path = norm;
    d->flags = flags;
    bind(static_cast<int>(fd), std::move(d));
  }
  closedir(dir);
  adopt_std_streams();
}

bool add_adopter(adopt_fn fn) {
  for (auto &a : adopters) {
    adopt_fn none = nullptr;
    if (a.compare_exchange_strong(none, fn)) return true;
  }
  return false;
}

void before_exec(bool all) {
  process_lock lock;
  auto &t = fds();
  for (std::size_t i = 0; i < t.size(); ++i) {
    desc *d = t[i].get();
    if (d == nullptr) continue;
    const int fd = static_cast<int>(i);
    const long fd_flags = raw_fcntl(fd, F_GETFD, 0);
    if (fd_flags < 0 || (!all && (fd_flags & FD_CLOEXEC) != 0)) continue;
    char name[250];
    int len = std::snprintf(name, sizeof name, "%s%x:%s", kStandInTag,
                            static_cast<unsigned>(d->flags), d->path.c_str());
    if (len < 0 || static_cast<std::size_t>(len) >= sizeof name - 2) continue;
    char token[64];
    if (const int n = d->f->exec_token(token, sizeof token);
        n > 0 && static_cast<std::size_t>(len + 1 + n) < sizeof name) {
      std::snprintf(name + len, sizeof name - static_cast<std::size_t>(len), "#%s", token);
    }
    const int named = memfd_create(name, (fd_flags & FD_CLOEXEC) != 0 ? MFD_CLOEXEC : 0U);
    if (named < 0) continue;
    (void)real_syscall(SYS_dup3, named, fd, (fd_flags & FD_CLOEXEC) != 0 ? O_CLOEXEC : 0);
    real_close(named);
  }
}

void after_exec() {
  process_lock lock;
  for (const auto &d : fds()) {
    if (d) d->f->exec_failed();
  }
}

// The first descriptor call after load adopts; see virtual_fds.
void adoption_done() { virtual_fds.fetch_sub(1, std::memory_order_relaxed); }

bool register_provider(const provider &p) {
  auto &t = providers();
  if (t.count >= kMaxProviders) return false;
  t.items[t.count++] = p;
  return true;
}

const provider *provider_for(const char *path, std::string &norm) {
  return find_provider(path, norm);
}

std::size_t provider_count() { return providers().count; }
const provider &provider_at(std::size_t i) { return providers().items[i]; }

file *virtual_file(int fd, std::string *path) {
  auto d = lookup(fd);
  if (!d) return nullptr;
  if (path != nullptr) *path = d->path;
  return d->f.get();
}

bool virtual_path(int dirfd, const char *path, std::string &out) {
  if (path == nullptr) return false;
  if (path[0] == '/') {
    out = path;
    return true;
  }
  if (dirfd == AT_FDCWD || !maybe_virtual(dirfd)) return false;
  board_lock lock;
  ensure_ready();
  auto d = lookup(dirfd);
  if (!d) return false;
  out = d->path + "/" + path;
  return true;
}

// ---------------------------------------------------------------------------
// Descriptor routing

bool maybe_virtual(int fd) { return fd >= 0 && virtual_fds.load(std::memory_order_relaxed) != 0; }

bool is_virtual(int fd) {
  if (inherited_adopted()) {
    // The table is this process's own: the board's shared lock is not
    // needed to look into it, and checks before an access stay cheap.
    process_lock lock;
    return peek(fd) != nullptr;
  }
  board_lock lock;
  ensure_ready();
  return peek(fd) != nullptr;
}

bool names_directory(const char *path) {
  if (path == nullptr) return false;
  const std::string_view p(path);
  return (p.size() > 1 && p.back() == '/') || p.ends_with("/.") || p.ends_with("/..");
}

namespace {

// The descriptor a path names through the kernel's magic links
// ("/dev/stdin", "/dev/fd/N", "/proc/self/fd/N", "/proc/PID/fd/N" of this
// process), or -1.
int named_descriptor(std::string_view p) {
  if (p == "/dev/stdin") return 0;
  if (p == "/dev/stdout") return 1;
  if (p == "/dev/stderr") return 2;
  if (!p.starts_with("/dev/fd/") && !p.starts_with("/proc/")) return -1;
  const std::string own = "/proc/" + std::to_string(own_pid()) + "/fd/";
  for (std::string_view dir : {std::string_view("/dev/fd/"), std::string_view("/proc/self/fd/"),
                               std::string_view("/proc/thread-self/fd/"), std::string_view(own)}) {
    if (!p.starts_with(dir)) continue;
    long n = 0;
    return config::parse_long(p.substr(dir.size()), n) && n >= 0 && n <= INT_MAX
               ? static_cast<int>(n)
               : -1;
  }
  return -1;
}

}  // namespace

// Through a magic link the kernel opens the descriptor's own file anew:
// for a board descriptor, its path on the board (a request's descriptor
// has none: ENXIO, as for any anonymous file). False when `path` names no
// board descriptor.
bool named_board_file(const char *path, std::string &out) {
  if (path == nullptr || path[0] != '/') return false;
  const int fd = named_descriptor(path);
  if (fd < 0 || !maybe_virtual(fd)) return false;
  board_lock lock;
  ensure_ready();
  const auto d = lookup(fd);
  if (!d) return false;
  out = d->path;
  return true;
}

int open_virtual(int dirfd, const char *path, int flags) {
  std::string full, norm;
  if (named_board_file(path, full)) {
    const provider *prov = find_provider(full.c_str(), norm);
    if (prov == nullptr) return fail(ENXIO);
    const int r = open_locked(prov, norm, flags, false);
    if (r >= 0 && r <= 2) retarget_std_stream(r, true, flags);
    return r;
  }
  if (!virtual_path(dirfd, path, full)) return -2;
  const provider *prov = find_provider(full.c_str(), norm);
  if (prov == nullptr) return -2;
  const int r = open_locked(prov, norm, flags, names_directory(full.c_str()));
  if (r >= 0 && r <= 2) retarget_std_stream(r, true, flags);
  return r;
}

namespace {
// Whether a read of `fd` must wait first (see file::read_waits), and the
// edge count to wait past. Takes the lock.
bool read_must_wait(int fd, std::uint32_t &seq) {
  if (inherited_adopted()) {
    // Whether a file's reads wait is its own: this process's table tells,
    // without the board's lock (most files never wait).
    process_lock lock;
    const desc *d = peek(fd);
    if (d == nullptr || !d->f->read_waits()) return false;
  }
  board_lock lock;
  ensure_ready();
  auto d = lookup(fd);
  if (!d || !d->f->read_waits()) return false;
  if ((d->flags & O_NONBLOCK) != 0) return false;
  if ((d->f->poll_mask() & (POLLIN | POLLERR | POLLHUP)) != 0) return false;
  seq = edge_sequence();
  return true;
}
}  // namespace

routed v_read(int fd, void *buf, std::size_t n, const off_t *at) {
  if (!maybe_virtual(fd)) return {false, 0};
  if (inherited_adopted()) {
    // Most files' reads never wait: the read itself looks, under the one
    // lock it takes anyway.
    bool waits = false;
    const routed r = v_transfer<false>(fd, buf, n, at, &waits);
    if (!waits) return r;
  }
  std::uint32_t seq = 0;
  while (read_must_wait(fd, seq)) {
    if (wait_for_edges(seq, -1) != 0) return {true, -1};  // EINTR
  }
  return v_transfer<false>(fd, buf, n, at);
}

routed v_write(int fd, const void *buf, std::size_t n, const off_t *at) {
  return v_transfer<true>(fd, buf, n, at);
}

routed v_close(int fd) {
  if (!maybe_virtual(fd)) return {false, 0};
  board_lock lock;
  ensure_ready();
  auto d = lookup(fd);
  if (!d) return {false, 0};
  const int r = real_close(fd);
  const int err = r < 0 ? errno : 0;
  unbind(static_cast<std::size_t>(fd)).reset();
  release(std::move(d), r, err);
  return {true, r < 0 ? fail(err) : r};
}

routed v_seek(int fd, off_t off, int whence) {
  if (!maybe_virtual(fd)) return {false, 0};
  board_lock lock;
  ensure_ready();
  desc *d = peek(fd);
  if (d == nullptr) return {false, 0};
  off_t base = 0;
  int err = 0;
  switch (whence) {
    case SEEK_SET:
      base = 0;
      break;
    case SEEK_CUR:
      base = d->offset;
      break;
    case SEEK_END: {
      struct stat st {};
      d->f->stat(st);
      base = st.st_size;
      break;
    }
    default:
      err = EINVAL;
      break;
  }
  if (err == 0 && ((off > 0 && base > std::numeric_limits<off_t>::max() - off) || base + off < 0)) {
    err = EINVAL;
  }
  if (err == 0) d->offset = base + off;
  // A refused seek is an access too: every call is one event.
  trace(VBOARD_OP_SEEK, d->path.c_str(), static_cast<unsigned long>(whence), 0, nullptr, 0,
        err == 0 ? d->offset : -1, err);
  return {true, err == 0 ? d->offset : fail(err)};
}

routed v_ioctl(int fd, unsigned long request, void *arg) {
  // The kernel answers these for any file before its driver sees them:
  // close-on-exec is the descriptor's, which the stand-in carries; the
  // other two set status flags of the open file (see fcntl_virtual).
  if (request == FIOCLEX || request == FIONCLEX) return {false, 0};
  if (!maybe_virtual(fd)) return {false, 0};
  const bool flag_request = request == FIONBIO || request == FIOASYNC;
  int on = 0;
  if (flag_request && !is_virtual(fd)) return {false, 0};
  if (flag_request) {
    if (bad_address(arg)) return {true, fail(EFAULT)};
    std::memcpy(&on, arg, sizeof on);
  }
  if (const ioctl_probe probe = ioctl_probes[_IOC_TYPE(request)];
      probe != nullptr && !bad_address(arg) &&
      (inherited_adopted() && static_cast<std::size_t>(fd) < kMarkedFds
           ? fd_marks[fd].load(std::memory_order_relaxed) != 0
           : is_virtual(fd)))
    probe(request, arg);
  board_lock lock;
  ensure_ready();
  // A request that hands out a descriptor takes a new number: the one
  // asked on stays bound, so no count needs to hold it.
  desc *d = peek(fd);
  if (d == nullptr) return {false, 0};
  if (flag_request) {
    const int flag = request == FIONBIO ? O_NONBLOCK : O_ASYNC;
    d->flags = on != 0 ? d->flags | flag : d->flags & ~flag;
    return {true, 0};
  }
  trace_note note;
  const int r = d->f->ioctl(request, arg, note);
  const int err = r < 0 ? -r : 0;
  trace(VBOARD_OP_IOCTL, d->path.c_str(), request, note.bytes, note.data, note.data_len,
        r < 0 ? -1 : r, err);
  return {true, r < 0 ? fail(err) : r};
}

int v_stat_path(int dirfd, const char *path, struct stat &st, bool follow) {
  std::string full, norm;
  if (follow && named_board_file(path, full)) {
    board_lock lock;
    ensure_ready();
    const provider *prov = find_provider(full.c_str(), norm);
    const int r = prov != nullptr ? prov->stat(norm.c_str(), st, true) : 1;
    return r < 0 ? fail(-r) : r;
  }
  if (!virtual_path(dirfd, path, full)) return 1;
  const provider *prov = find_provider(full.c_str(), norm);
  if (prov == nullptr) return 1;
  board_lock lock;
  ensure_ready();
  if (is_missing(norm)) return fail(ENOENT);
  const bool dir_wanted = names_directory(full.c_str());
  const int r = prov->stat(norm.c_str(), st, follow || dir_wanted);
  if (r == 1) return 1;
  if (r < 0) return fail(-r);
  if (dir_wanted && !S_ISDIR(st.st_mode)) return fail(ENOTDIR);
  return 0;
}

int v_stat_fd(int fd, struct stat &st) {
  if (!maybe_virtual(fd)) return 1;
  board_lock lock;
  ensure_ready();
  auto d = lookup(fd);
  if (!d) return 1;
  d->f->stat(st);
  return 0;
}

int v_access(int dirfd, const char *path, int mode, bool effective) {
  struct stat st {};
  const int r = v_stat_path(dirfd, path, st, true);
  if (r != 0) return r;
  if (mode == F_OK) return 0;
  // Root reads and writes any file, and executes one with any execute bit
  // or a folder, as the kernel lets a caller with CAP_DAC_OVERRIDE;
  // opening a file the node cannot serve (a read of export) still fails.
  if ((effective ? geteuid() : getuid()) == 0) {
    const bool can_exec = S_ISDIR(st.st_mode) || (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
    return (mode & X_OK) != 0 && !can_exec ? fail(EACCES) : 0;
  }
  // The owner's bits decide, as for a user in the board's gpio group.
  if (((mode & R_OK) && !(st.st_mode & S_IRUSR)) || ((mode & W_OK) && !(st.st_mode & S_IWUSR)) ||
      ((mode & X_OK) && !(st.st_mode & S_IXUSR))) {
    return fail(EACCES);
  }
  return 0;
}

int dup_virtual(int oldfd, int newfd, int flags, dup_fn real, bool onto) {
  const bool std_target = onto && newfd >= 0 && newfd <= 2 && newfd != oldfd;
  // What the stream buffered belongs to the descriptor's old file.
  if (std_target) {
    FILE *const streams[] = {stdin, stdout, stderr};
    if (streams[newfd] != nullptr && newfd != 0) fflush(streams[newfd]);
  }
  int r = -1;
  bool now_virtual = false;
  int now_flags = 0;
  {
    board_lock lock;
    ensure_ready();
    r = real(oldfd, newfd, flags);
    const int err = errno;
    if (r >= 0 && r != oldfd) bind(r, lookup(oldfd));
    if (std_target && r >= 0) {
      if (auto d = lookup(newfd)) {
        now_virtual = true;
        now_flags = d->flags;
      }
    }
    errno = err;
  }
  if (std_target && r >= 0) {
    const int err = errno;
    retarget_std_stream(newfd, now_virtual, now_flags);
    errno = err;
  }
  return r;
}

int fcntl_virtual(int fd, int cmd, void *arg, fcntl_fn real) {
  board_lock lock;
  ensure_ready();
  auto d = lookup(fd);
  if (d && cmd == F_GETFL) {
    // The stand-in descriptor is opened read-write; report the file's mode.
    return d->flags & (O_ACCMODE | O_APPEND | O_NONBLOCK | O_ASYNC);
  }
  if (d && cmd == F_SETFL) {
    // Status flags belong to the open file, which its dups share; the
    // stand-ins share one file among all of them, so they are kept here.
    const int asked = static_cast<int>(reinterpret_cast<std::intptr_t>(arg));
    if ((asked & O_DIRECT) != 0) return fail(EINVAL);  // sysfs and these devices have no direct I/O
    constexpr int kSettable = O_APPEND | O_NONBLOCK | O_ASYNC | O_NOATIME;
    d->flags = (d->flags & ~kSettable) | (asked & kSettable);
    return 0;
  }
  const int r = real(fd, cmd, arg);
  if (d && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) && r >= 0 && r != fd) {
    const int err = errno;
    bind(r, d);
    errno = err;
  }
  return r;
}

void after_close(int fd) { retarget_std_stream(fd, false, 0); }

void forget_range(unsigned int first, unsigned int last) {
  board_lock lock;
  ensure_ready();
  auto &t = fds();
  // Not last + 1: on a 32-bit build closefrom's ~0U would wrap to 0.
  const std::size_t end = last >= t.size() ? t.size() : static_cast<std::size_t>(last) + 1;
  for (std::size_t i = first; i < end; ++i) release(unbind(i), 0, 0);
}

FILE *stream_over(int fd, const char *mode) {
  static const cookie_io_functions_t io{cookie_read, cookie_write, cookie_seek, cookie_close};
  return open_stream(fd, mode, io);
}

int stream_fd(FILE *fp) {
  if (board_stream_count.load(std::memory_order_relaxed) == 0 || fp == nullptr) return -2;
  std::lock_guard<std::mutex> g(streams_mutex);
  for (const stream_cookie *c : board_streams()) {
    if (c->fp == fp) return c->fd;
  }
  return -2;
}

FILE *fopen_virtual(const char *path, const char *mode, bool &handled) {
  handled = false;
  std::string named, norm;
  if (named_board_file(path, named)) {
    if (find_provider(named.c_str(), norm) == nullptr) {
      handled = true;
      errno = ENXIO;
      return nullptr;
    }
    path = named.c_str();
  }
  const provider *prov = find_provider(path, norm);
  int flags = 0;
  if (prov == nullptr || !mode_flags(mode, flags)) return nullptr;
  const int fd = open_locked(prov, norm, flags, names_directory(path));
  if (fd == -2) return nullptr;
  handled = true;
  if (fd < 0) return nullptr;
  FILE *fp = stream_over(fd, mode);
  if (fp == nullptr) {
    const int e = errno;
    close(fd);
    errno = e;
  }
  return fp;
}

}  // namespace vboard
