#pragma once
// Waiting for edges: poll, select and epoll over virtual descriptors
// (wait.cpp), and the edges that wake them (gpio.cpp, state.cpp).
// Included by internal.h; the entry points and the GPIO devices use it.
// See internal.h for where things live and the locking rule.
#include <poll.h>
#include <sys/epoll.h>

#include <cstdint>

namespace vboard {

// poll and epoll (wait.cpp), for the libc entry points; each takes the
// lock itself.

// poll over descriptors that may be virtual: the count, or -1 with errno;
// `handled` false when none is. timeout_ns < 0 waits without limit.
int v_poll(struct pollfd *fds, unsigned long n, std::int64_t timeout_ns, bool &handled);
// epoll registrations of virtual descriptors, kept by the board since the
// kernel's epoll cannot see them: 0, -1 with errno, or 1 when real.
int v_epoll_ctl(int epfd, int op, int fd, struct epoll_event *ev);
// epoll_wait over an epoll set with virtual registrations: the count, -1
// with errno, or -2 when the set has none.
int v_epoll_wait(int epfd, struct epoll_event *events, int max, std::int64_t timeout_ns);
// Takes the board's own wake-ups (an add to a set another thread waits
// on) out of `n` events the kernel reported; `woken` when there was one.
// The events left.
int epoll_drop_wakes(int epfd, struct epoll_event *events, int n, bool &woken);
// The program closed `epfd`: the eventfd the board added to it goes too,
// and so do the board descriptors it held.
void epoll_closed(int epfd);

// After the chip's lines or a pin changed: looks for edges on the pins
// that notify them and wakes their pollers. Lock held.
void pins_changed();

// Tells every process waiting in poll that an edge was notified. Lock held.
void notify_edges();
// Sleeps until an edge is notified after `seen` (a value of edge_seq) or
// `timeout_ns` passes (negative: no limit), with the lock released.
// Returns 0, or -1 with errno EINTR when a signal came. Called without the
// lock.
int wait_for_edges(std::uint32_t seen, std::int64_t timeout_ns);
// The current edge_seq. Lock held.
std::uint32_t edge_sequence();

}  // namespace vboard
