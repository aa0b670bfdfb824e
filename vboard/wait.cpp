// Waiting on virtual descriptors: poll (and select, through it) and epoll
// report what each virtual file's poll routine says, as the kernel does,
// alongside the real descriptors in the same call. An edge on a GPIO value
// file wakes a waiter at once, whichever process made it; with real
// descriptors in the same wait they are polled in slices of a few
// milliseconds meanwhile.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "internal.h"

namespace vboard {

namespace {

constexpr std::int64_t kWaitSliceNs = 5 * 1000 * 1000;

std::int64_t clock_ns() { return static_cast<std::int64_t>(monotonic_ns()); }

// What is left of a wait that ends at `deadline` (-1: never), >= 0.
std::int64_t left(std::int64_t deadline) {
  if (deadline < 0) return -1;
  const std::int64_t now = clock_ns();
  return deadline > now ? deadline - now : 0;
}

int slice_ms(std::int64_t remaining) {
  const std::int64_t ns = remaining < 0 ? kWaitSliceNs : std::min(remaining, kWaitSliceNs);
  return static_cast<int>((ns + 999999) / 1000000);
}

struct registration {
  std::uint32_t events;
  epoll_data_t data;
  const file *f;               // the file it was made for; a reused number is another
  std::uint32_t reported = 0;  // for EPOLLET: the events last seen
  bool disarmed = false;       // EPOLLONESHOT after its report
};

std::map<int, std::map<int, registration>> &epolls() {
  using table = std::map<int, std::map<int, registration>>;
  static table &sets = *new table();
  return sets;
}

// A thread already waiting in the kernel's epoll_wait on a set that had
// no board descriptor would sleep through an add (epoll(7) wakes it): each
// set a board descriptor joins also holds an eventfd of the board's, rung
// by every add and change; its reports are taken out before the caller
// sees them, and the wait goes on with the board's part.
constexpr std::uint64_t kWakeTag = 0x76626f6172647776ULL;
std::atomic<bool> any_waker{false};

// The eventfds are the board's own descriptors (see keep_fd): a program
// that closes every number it does not know, and opens a file that takes
// one, must not find the board ringing into its file.
std::map<int, std::atomic<int>> &wakers() {
  static auto &m = *new std::map<int, std::atomic<int>>();
  return m;
}

// Lock held.
void ring(int epfd) {
  auto &w = wakers();
  auto it = w.find(epfd);
  if (it == w.end()) {
    const int efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (efd < 0) return;
    it = w.try_emplace(epfd, efd).first;
    keep_fd(it->second);
    any_waker.store(true, std::memory_order_relaxed);
  }
  // Added again each time: the set's number may have been closed and
  // reused since (EEXIST otherwise, harmless).
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeTag;
  (void)real_epoll_ctl(epfd, EPOLL_CTL_ADD, it->second, &ev);
  const std::uint64_t one = 1;
  (void)real_write(it->second, &one, sizeof one);
}

// Events of `f` that `events` asks for (errors and hang-ups always).
std::uint32_t wanted(const file &f, std::uint32_t events) {
  return static_cast<std::uint32_t>(f.poll_mask()) & (events | EPOLLERR | EPOLLHUP);
}

}  // namespace

int v_poll(struct pollfd *fds, unsigned long n, std::int64_t timeout_ns, bool &handled) {
  handled = false;
  bool maybe = false;
  for (unsigned long i = 0; i < n && !maybe; ++i) maybe = maybe_virtual(fds[i].fd);
  if (!maybe) return 0;
  // The caller's array, copied with no lock held.
  const std::vector<pollfd> requests(fds, fds + n);
  std::vector<char> is_virtual(n, 0);
  std::vector<int> masks(n, 0);
  bool any = false;
  {
    board_lock lock;
    ensure_ready();
    for (unsigned long i = 0; i < n; ++i) {
      is_virtual[i] = requests[i].fd >= 0 && virtual_file(requests[i].fd) != nullptr;
      any = any || is_virtual[i] != 0;
    }
  }
  if (!any) return 0;
  handled = true;
  std::vector<pollfd> real;
  std::vector<unsigned long> where;
  for (unsigned long i = 0; i < n; ++i) {
    if (is_virtual[i] == 0) {
      real.push_back(fds[i]);
      where.push_back(i);
    }
  }
  const std::int64_t deadline = timeout_ns < 0 ? -1 : clock_ns() + timeout_ns;
  while (true) {
    int ready = 0;
    std::uint32_t seq = 0;
    {
      board_lock lock;
      seq = edge_sequence();
      for (unsigned long i = 0; i < n; ++i) {
        if (is_virtual[i] == 0) continue;
        const file *f = virtual_file(requests[i].fd);
        masks[i] = f != nullptr ? f->poll_mask() : POLLNVAL;
      }
    }
    // The caller's array is written with no lock held (it may fault).
    for (unsigned long i = 0; i < n; ++i) {
      if (is_virtual[i] == 0) continue;
      fds[i].revents =
          static_cast<short>(masks[i] & (requests[i].events | POLLERR | POLLHUP | POLLNVAL));
      if (fds[i].revents != 0) ++ready;
    }
    const std::int64_t remaining = left(deadline);
    if (!real.empty()) {
      const int wait_ms = ready > 0 || remaining == 0 ? 0 : slice_ms(remaining);
      const int r = real_poll(real.data(), real.size(), wait_ms);
      if (r < 0) return -1;
      for (std::size_t k = 0; k < real.size(); ++k) fds[where[k]].revents = real[k].revents;
      ready += r;
    } else if (ready == 0 && remaining != 0) {
      if (wait_for_edges(seq, remaining) != 0) return -1;
    }
    if (ready > 0 || left(deadline) == 0) return ready;
  }
}

int v_epoll_ctl(int epfd, int op, int fd, struct epoll_event *ev) {
  if (!maybe_virtual(fd)) return 1;
  board_lock lock;
  ensure_ready();
  const file *f = virtual_file(fd);
  if (f == nullptr) return 1;
  if (fd == epfd) return fail(EINVAL);
  auto &set = epolls()[epfd];
  auto it = set.find(fd);
  if (it != set.end() && it->second.f != f) {
    set.erase(it);  // the number was closed and reused
    it = set.end();
  }
  switch (op) {
    case EPOLL_CTL_ADD:
      if (ev == nullptr) return fail(EFAULT);
      if (it != set.end()) return fail(EEXIST);
      set[fd] = registration{ev->events, ev->data, f};
      ring(epfd);
      return 0;
    case EPOLL_CTL_MOD:
      if (ev == nullptr) return fail(EFAULT);
      if (it == set.end()) return fail(ENOENT);
      it->second = registration{ev->events, ev->data, f};
      ring(epfd);
      return 0;
    case EPOLL_CTL_DEL:
      if (it == set.end()) return fail(ENOENT);
      set.erase(it);
      return 0;
    default:
      return fail(EINVAL);
  }
}

void epoll_closed(int epfd) {
  // Every set that ever held a board descriptor has a waker (see ring).
  if (!any_waker.load(std::memory_order_relaxed)) return;
  board_lock lock;
  auto &w = wakers();
  const auto it = w.find(epfd);
  if (it == w.end()) return;
  close_kept(it->second);
  w.erase(it);
  // A set made later under the same number starts empty.
  epolls().erase(epfd);
}

int epoll_drop_wakes(int epfd, struct epoll_event *events, int n, bool &woken) {
  if (n <= 0 || !any_waker.load(std::memory_order_relaxed)) return n;
  int kept = 0;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == kWakeTag) {
      woken = true;
      continue;
    }
    events[kept++] = events[i];
  }
  if (woken) {
    board_lock lock;
    const auto it = wakers().find(epfd);
    std::uint64_t count = 0;
    if (it != wakers().end()) (void)real_read(it->second, &count, sizeof count);
  }
  return kept;
}

int v_epoll_wait(int epfd, struct epoll_event *events, int max, std::int64_t timeout_ns) {
  {
    board_lock lock;
    auto it = epolls().find(epfd);
    if (it == epolls().end() || it->second.empty()) return -2;
  }
  if (max <= 0 || events == nullptr) return fail(EINVAL);
  const std::int64_t deadline = timeout_ns < 0 ? -1 : clock_ns() + timeout_ns;
  std::vector<epoll_event> found;
  while (true) {
    found.clear();
    {
      board_lock lock;
      auto &set = epolls()[epfd];
      for (auto it = set.begin(); it != set.end() && found.size() < static_cast<std::size_t>(max);) {
        const file *f = virtual_file(it->first);
        if (f != it->second.f) {
          it = set.erase(it);  // closed: the kernel drops it from the set
          continue;
        }
        registration &reg = it->second;
        const std::uint32_t now = wanted(*f, reg.events);
        std::uint32_t report = reg.disarmed ? 0 : now;
        if ((reg.events & EPOLLET) != 0) report &= ~reg.reported;
        reg.reported = now;
        if (report != 0) {
          found.push_back(epoll_event{report, reg.data});
          if ((reg.events & EPOLLONESHOT) != 0) reg.disarmed = true;
        }
        ++it;
      }
    }
    // The caller's array is written with no lock held (it may fault).
    int count = static_cast<int>(found.size());
    if (count > 0) std::memcpy(events, found.data(), found.size() * sizeof(epoll_event));
    const std::int64_t remaining = left(deadline);
    const int wait_ms = count > 0 || remaining == 0 ? 0 : slice_ms(remaining);
    if (count < max) {
      const int r = real_epoll_wait(epfd, events + count, max - count, wait_ms);
      if (r < 0) return count > 0 ? count : -1;
      bool woken = false;
      count += epoll_drop_wakes(epfd, events + count, r, woken);
    }
    if (count > 0 || left(deadline) == 0) return count;
  }
}

}  // namespace vboard
