// Signals and the board: a signal that arrives while its thread is inside
// the board (holding the board lock) waits until the thread is out, as a
// kernel finishes a system call before the signal's handler runs. So a
// handler may read or write a board file, as it may call read(2) and
// write(2), without meeting the board half-way through another access of
// its own thread.
//
// To tell, the board installs its own handler in place of the program's
// (sigaction, signal, bsd_signal, sysv_signal) and calls the program's
// handler from it, at once outside the board or when the thread leaves it.
// A program asking what a signal does gets its own handler back. Signals
// the processor raises for the instruction running (a fault) are never
// held: returning to the instruction would raise them again.
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <string.h>

#include <atomic>
#include <cstdint>

#include "internal.h"
#include "interposed.h"

namespace vboard {
namespace {

constexpr int kSignals = 65;  // 1 to 64, the real-time signals included

// What the program asked for, per signal; sa_handler is the program's.
struct sigaction program_action[kSignals];
bool wrapped[kSignals];

// What came with a held signal (of whichever thread held it last).
siginfo_t held_info[kSignals];

bool raised_by_instruction(int sig) {
  return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL || sig == SIGTRAP ||
         sig == SIGSYS;
}

void call_program(int sig, siginfo_t *info, void *context) {
  const struct sigaction &a = program_action[sig];
  if ((a.sa_flags & SA_SIGINFO) != 0) {
    if (a.sa_sigaction != nullptr) a.sa_sigaction(sig, info, context);
  } else if (a.sa_handler != SIG_DFL && a.sa_handler != SIG_IGN && a.sa_handler != nullptr) {
    a.sa_handler(sig);
  }
}

void board_handler(int sig, siginfo_t *info, void *context) {
  if (sig <= 0 || sig >= kSignals) return;
  held_signals &held = signal_hold;
  if (held.depth > 0 && !raised_by_instruction(sig)) {
    if (info != nullptr) held_info[sig] = *info;
    held.pending |= std::uint64_t{1} << (sig - 1);
    return;
  }
  call_program(sig, info, context);
}

using sigaction_t = int (*)(int, const struct sigaction *, struct sigaction *);
sigaction_t real_sigaction() {
  static std::atomic<void *> slot{nullptr};
  void *p = slot.load(std::memory_order_acquire);
  if (p == nullptr) {
    p = dlsym(RTLD_NEXT, "sigaction");
    slot.store(p, std::memory_order_release);
  }
  return reinterpret_cast<sigaction_t>(p);
}

bool is_handler(const struct sigaction &a) {
  if ((a.sa_flags & SA_SIGINFO) != 0) return a.sa_sigaction != nullptr;
  return a.sa_handler != SIG_DFL && a.sa_handler != SIG_IGN && a.sa_handler != SIG_ERR;
}

// sigaction with the program's handler replaced by the board's.
int set_action(int sig, const struct sigaction *act, struct sigaction *old) {
  sigaction_t real = real_sigaction();
  if (real == nullptr) return fail(ENOSYS);
  if (sig <= 0 || sig >= kSignals || raised_by_instruction(sig)) return real(sig, act, old);
  const struct sigaction before = program_action[sig];
  const bool was_wrapped = wrapped[sig];
  int r = 0;
  if (act != nullptr && is_handler(*act)) {
    struct sigaction ours = *act;
    ours.sa_flags |= SA_SIGINFO;
    ours.sa_sigaction = board_handler;
    program_action[sig] = *act;
    wrapped[sig] = true;
    r = real(sig, &ours, old);
    if (r != 0) {
      program_action[sig] = before;
      wrapped[sig] = was_wrapped;
    }
  } else {
    r = real(sig, act, old);
    if (r == 0 && act != nullptr) wrapped[sig] = false;
  }
  // The program is told of its own handler, never of the board's.
  if (r == 0 && old != nullptr && was_wrapped && old->sa_sigaction == board_handler) {
    const int flags = old->sa_flags;
    *old = before;
    old->sa_flags = (flags & ~SA_SIGINFO) | (before.sa_flags & SA_SIGINFO);
  }
  return r;
}

// signal() and its kin: a handler installed with the given flags.
sighandler_t set_handler(int sig, sighandler_t handler, int flags) {
  struct sigaction act {}, old {};
  act.sa_handler = handler;
  act.sa_flags = flags;
  sigemptyset(&act.sa_mask);
  if (set_action(sig, &act, &old) != 0) return SIG_ERR;
  return old.sa_handler;
}

}  // namespace

constinit thread_local held_signals signal_hold __attribute__((tls_model("initial-exec"))){};

void run_held_signals() {
  held_signals &held = signal_hold;
  const int saved_errno = errno;
  while (held.pending != 0) {
    const int sig = __builtin_ctzll(held.pending) + 1;
    held.pending &= ~(std::uint64_t{1} << (sig - 1));
    // Run as the kernel would have: with the handler's mask in force.
    const struct sigaction &a = program_action[sig];
    sigset_t mask = a.sa_mask, before;
    if ((a.sa_flags & SA_NODEFER) == 0) sigaddset(&mask, sig);
    pthread_sigmask(SIG_BLOCK, &mask, &before);
    call_program(sig, &held_info[sig], nullptr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }
  errno = saved_errno;
}

}  // namespace vboard

extern "C" {

int sigaction(int sig, const struct sigaction *act, struct sigaction *old) {
  return vboard::set_action(sig, act, old);
}

sighandler_t signal(int sig, sighandler_t handler) {
  return vboard::set_handler(sig, handler, SA_RESTART);
}

sighandler_t bsd_signal(int sig, sighandler_t handler) {
  return vboard::set_handler(sig, handler, SA_RESTART);
}

sighandler_t sysv_signal(int sig, sighandler_t handler) {
  return vboard::set_handler(sig, handler, SA_RESETHAND | SA_NODEFER);
}

}  // extern "C"
