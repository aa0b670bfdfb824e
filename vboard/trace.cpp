// The trace of accesses: one event per call on a virtual file, kept in
// memory for the control calls and, with VBOARD_TRACE naming a file,
// appended to it as one line per event (shared by every process that
// names the same file).
#include <fcntl.h>
#include <link.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "internal.h"

namespace vboard {
namespace {

constexpr std::size_t kDefaultTraceLimit = 262144;

struct trace_state {
  std::vector<vboard_event> events;
  std::size_t limit = kDefaultTraceLimit;
  bool limit_set = false;
  int fd = -1;
  after_access pending;
};

trace_state &log() {
  static trace_state &t = *new trace_state();
  return t;
}

void append_escaped(std::string &out, const unsigned char *data, std::size_t n) {
  static constexpr char hex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char c = data[i];
    if (c == '\n')
      out += "\\n";
    else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f)
      out += static_cast<char>(c);
    else {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
}

std::string format_event(const vboard_event &e) {
  char head[256];
  const char *errname = e.err != 0 ? strerrorname_np(e.err) : nullptr;
  char errbuf[16];
  if (e.err == 0) {
    std::snprintf(errbuf, sizeof errbuf, "0");
  } else if (errname == nullptr) {
    std::snprintf(errbuf, sizeof errbuf, "%d", e.err);
  }
  std::snprintf(head, sizeof head, "seq=%" PRIu64 " t=%" PRIu64 " pid=%d op=%s file=", e.seq,
                e.time_ns, e.pid, vboard_op_name(e.op));
  std::string line(head);
  const std::size_t flen = strnlen(e.file, sizeof e.file);
  append_escaped(line, reinterpret_cast<const unsigned char *>(e.file), flen);
  std::snprintf(head, sizeof head, " req=0x%lx bytes=%" PRIu64 " res=%" PRId64 " err=%s data=\"",
                e.request, e.bytes, e.result, errname != nullptr ? errname : errbuf);
  line += head;
  append_escaped(line, e.data, e.data_len < sizeof e.data ? e.data_len : sizeof e.data);
  line += "\"\n";
  return line;
}

}  // namespace

// Opens a file the board writes for its user (the trace), without letting
// another user steer the write elsewhere, whatever the system's
// fs.protected_* settings: a symbolic link is followed only when it is
// this user's or root's (so /dev/stdout and /dev/fd/N work, a link planted
// in /tmp does not), and a FIFO or device only when it is this user's or
// root's (one planted with no reader would hold the program up at the
// open). Created 0644 as any program's output file: the trace holds no
// secret and is often read by another account than the one that wrote it.
// Returns the descriptor, or -errno with `why` saying what was found (ELOOP
// for a link refused).
int open_output(const char *path, int flags, char (&why)[160]) {
  const int base = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | flags;
  const uid_t me = geteuid();
  auto trusted = [me](uid_t owner) { return owner == me || owner == 0; };
  // What `path` names itself, link or not; false when it cannot be examined.
  auto owner_of = [&](struct stat &st) {
    const int pfd = real_open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC, 0);
    if (pfd < 0) return false;
    const bool ok = real_fstat(pfd, &st) == 0;
    real_close(pfd);
    return ok;
  };
  int fd = real_open(path, base | O_NOFOLLOW | O_NONBLOCK, 0644);
  // A link (ELOOP; some kernels say EACCES when creating through another
  // user's link in a sticky directory) or a FIFO with no reader (ENXIO):
  // looked at to decide.
  if (fd < 0 && (errno == ELOOP || errno == ENXIO || errno == EACCES)) {
    const int first = errno;
    struct stat st {};
    const bool link = owner_of(st) && S_ISLNK(st.st_mode);
    const bool fifo = !link && first == ENXIO && S_ISFIFO(st.st_mode);
    if (!link && !fifo) {
      errno = first;
    } else if (!trusted(st.st_uid)) {
      std::snprintf(why, sizeof why, "it is %s owned by uid %u, which the board does not %s",
                    link ? "a symbolic link" : "a FIFO", static_cast<unsigned>(st.st_uid),
                    link ? "follow" : "write to");
      return link ? -ELOOP : -EACCES;
    } else {
      // A FIFO of this user's with no reader yet: wait for one, as before.
      fd = real_open(path, base | (link ? O_NONBLOCK : 0), 0644);
    }
  }
  if (fd < 0) {
    const int err = errno;
    std::snprintf(why, sizeof why, "%s", std::strerror(err));
    return -err;
  }
  struct stat st {};
  if (real_fstat(fd, &st) != 0 || (!S_ISREG(st.st_mode) && !trusted(st.st_uid))) {
    std::snprintf(why, sizeof why, "it is not a regular file, and is owned by uid %u",
                  static_cast<unsigned>(st.st_uid));
    real_close(fd);
    return -EACCES;
  }
  // Blocking again: the trace's writes keep their behaviour. fcntl itself
  // is one of the board's entry points.
  const long fl = real_syscall(SYS_fcntl, fd, F_GETFL);
  if (fl >= 0) (void)real_syscall(SYS_fcntl, fd, F_SETFL, fl & ~static_cast<long>(O_NONBLOCK));
  return fd;
}

namespace {

// True when the program itself was linked with the board library, so it
// can read the in-memory trace through the control calls: the libraries
// its dynamic section needs name it. A program the board is only
// preloaded into never reads that trace.
int find_board_library(dl_phdr_info *info, std::size_t, void *found) {
  const ElfW(Dyn) *dyn = nullptr;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type == PT_DYNAMIC) {
      dyn = reinterpret_cast<const ElfW(Dyn) *>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
    }
  }
  if (dyn == nullptr) return 1;
  ElfW(Addr) strtab = 0;
  for (const ElfW(Dyn) *d = dyn; d->d_tag != DT_NULL; ++d) {
    if (d->d_tag == DT_STRTAB) strtab = d->d_un.d_ptr;
  }
  // The loader may or may not have relocated the entry in place.
  if (strtab != 0 && strtab < info->dlpi_addr) strtab += info->dlpi_addr;
  for (const ElfW(Dyn) *d = dyn; strtab != 0 && d->d_tag != DT_NULL; ++d) {
    if (d->d_tag != DT_NEEDED) continue;
    const char *name = reinterpret_cast<const char *>(strtab + d->d_un.d_val);
    if (std::strncmp(name, "libvboard.so", 12) == 0) *static_cast<bool *>(found) = true;
  }
  return 1;  // the first object is the program: stop there
}

bool program_links_board() {
  bool found = false;
  dl_iterate_phdr(find_board_library, &found);
  return found;
}

}  // namespace

void configure_trace(config::reader &r) {
  trace_state &t = log();
  // A reset without the variable goes back to the default limit.
  if (r.restore()) t.limit_set = false;
  if (const char *v = r.get("VBOARD_TRACE_LIMIT")) {
    long n = 0;
    if (config::parse_long(v, n) && n >= 0) {
      t.limit = static_cast<std::size_t>(n);
      t.limit_set = true;
    } else {
      r.bad("VBOARD_TRACE_LIMIT", v, "a count of events, 0 or more");
    }
  } else if (!t.limit_set) {
    static const bool linked = program_links_board();
    t.limit = linked ? kDefaultTraceLimit : 0;
  }
  if (const char *v = r.get("VBOARD_TRACE")) {
    if (t.fd < 0) {
      char why[160] = "";
      t.fd = open_output(v, O_APPEND, why);
      if (t.fd < 0) {
        t.fd = -1;
        char expected[224];
        std::snprintf(expected, sizeof expected, "a file the board can append to; %s", why);
        r.bad("VBOARD_TRACE", v, expected);
      }
    }
  }
  refresh_trace_watch();
}

void refresh_trace_watch() {
  const trace_state &t = log();
  watch.trace_quiet = t.fd < 0 && t.events.size() >= t.limit && !access_costs_time();
}

void clear_trace() {
  log().events.clear();
  watch.trace_dropped = 0;
  refresh_trace_watch();
}

void trace_event(int op, const char *file, unsigned long request, std::uint64_t bytes,
                 const void *data, std::size_t data_len, std::int64_t result, int err) {
  trace_state &t = log();
  if (const std::int64_t cost = access_cost(op, file); cost != 0) {
    t.pending.spend_ns += cost;
    watch.pending = true;
  }
  const bool kept = t.events.size() < t.limit;
  if (!kept && t.fd < 0) {
    ++watch.trace_seq;
    ++watch.trace_dropped;
    return;
  }
  vboard_event e{};
  e.seq = watch.trace_seq++;
  e.time_ns = now_ns();
  e.op = op;
  e.pid = static_cast<int>(own_pid());
  if (file != nullptr) std::memcpy(e.file, file, strnlen(file, sizeof e.file - 1));
  e.request = request;
  e.bytes = bytes;
  e.result = result;
  e.err = err;
  e.data_len = static_cast<std::uint32_t>(data_len < sizeof e.data ? data_len : sizeof e.data);
  if (e.data_len != 0 && data != nullptr) std::memcpy(e.data, data, e.data_len);
  if (kept) {
    t.events.push_back(e);
    // The one that fills the trace: the next ones only take their numbers.
    if (t.events.size() >= t.limit) refresh_trace_watch();
  } else {
    ++watch.trace_dropped;
  }
  if (t.fd >= 0) {
    t.pending.fd = t.fd;
    t.pending.lines += format_event(e);
    watch.pending = true;
  }
}

after_access take_after_access() {
  trace_state &t = log();
  watch.pending = false;
  if (t.pending.lines.empty() && t.pending.spend_ns == 0) return {};
  after_access out = std::move(t.pending);
  t.pending = after_access{};
  return out;
}

void after_access::run() {
  if (fd >= 0 && !lines.empty()) {
    // One write for the access's lines: with O_APPEND, lines of several
    // processes sharing the file never interleave. A reader that does not
    // keep up holds up this program alone.
    std::size_t done = 0;
    while (done < lines.size()) {
      const ssize_t w = real_write(fd, lines.data() + done, lines.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) break;
      done += static_cast<std::size_t>(w);
    }
  }
  capture_flush();
  spend(spend_ns);
}

}  // namespace vboard

using namespace vboard;

extern "C" {

size_t vboard_trace_count(void) {
  board_lock lock;
  ensure_ready();
  return log().events.size();
}

int vboard_trace_get(size_t index, struct vboard_event *event) {
  if (event == nullptr) return fail(EINVAL);
  vboard_event found;
  {
    board_lock lock;
    ensure_ready();
    const auto &ev = log().events;
    if (index >= ev.size()) return fail(EINVAL);
    found = ev[index];
  }
  *event = found;  // the caller's memory, with no lock held
  return 0;
}

size_t vboard_trace_dropped(void) {
  board_lock lock;
  ensure_ready();
  return static_cast<std::size_t>(watch.trace_dropped);
}

void vboard_trace_clear(void) {
  board_lock lock;
  ensure_ready();
  clear_trace();
}

int vboard_trace_write(const char *path) {
  if (path == nullptr) return fail(EINVAL);
  // The events are copied under the lock and written after it: the file
  // may be a FIFO nobody reads, and the board must not wait on it.
  std::vector<vboard_event> events;
  {
    board_lock lock;
    ensure_ready();
    events = log().events;
  }
  char why[160];
  const int fd = open_output(path, O_TRUNC, why);
  if (fd < 0) return fail(-fd);
  for (const auto &e : events) {
    const std::string line = format_event(e);
    std::size_t done = 0;
    while (done < line.size()) {
      const ssize_t w = real_write(fd, line.data() + done, line.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        const int err = w < 0 ? errno : EIO;
        real_close(fd);
        return fail(err);
      }
      done += static_cast<std::size_t>(w);
    }
  }
  if (real_close(fd) != 0) return -1;
  return 0;
}

int vboard_trace_format(const struct vboard_event *event, char *buf, size_t size) {
  if (event == nullptr) return fail(EINVAL);
  const std::string line = format_event(*event);
  if (buf != nullptr && size > 0) std::snprintf(buf, size, "%s", line.c_str());
  return static_cast<int>(line.size());
}

const char *vboard_op_name(int op) {
  static constexpr const char *names[] = {"open", "read", "write", "close", "ioctl", "seek",
                                                 "note"};
  return op >= 0 && op < static_cast<int>(std::size(names)) ? names[op] : "unknown";
}

}  // extern "C"
