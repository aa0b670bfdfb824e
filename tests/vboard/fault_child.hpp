// Code run in a forked child, bounded in time: in_child. And a program that
// survives a fault of its own (survive): `bad` runs with a SIGSEGV handler
// that jumps back out, then `after` (the board used again) must give true.
// The board promises that a bad pointer faults in the program that passed
// it before the board lock is taken, so nothing of the board is left held
// once the program goes on.
#pragma once

#include <setjmp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace fault_child {

constexpr int kHung = -1, kKilled = -2;

// What `body` returned, as the child's exit status; kHung when it did not
// end within `seconds` (it is killed), kKilled when a signal ended it.
inline int in_child(const std::function<int()> &body, int seconds) {
  const pid_t child = fork();
  if (child < 0) return kKilled;
  if (child == 0) _exit(body());
  int status = 0;
  pid_t done = 0;
  for (int waited = 0; waited < seconds * 100 && done == 0; ++waited) {
    done = waitpid(child, &status, WNOHANG);
    if (done == 0) usleep(10000);
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return kHung;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : kKilled;
}

inline sigjmp_buf exit_point;
inline void leave(int) { siglongjmp(exit_point, 1); }

// "" when `bad` faulted and `after` then gave true within 5 s, else what
// went wrong.
inline std::string survive(const std::function<void()> &bad, const std::function<bool()> &after) {
  switch (in_child(
      [&] {
        struct sigaction sa {};
        sa.sa_handler = leave;
        sigaction(SIGSEGV, &sa, nullptr);
        if (sigsetjmp(exit_point, 1) == 0) {
          bad();
          return 2;
        }
        return after() ? 0 : 3;
      },
      5)) {
    case 0:
      return "";
    case 2:
      return "no fault";
    case 3:
      return "the board answered wrongly after the fault";
    case kHung:
      return "hung on the board after its fault";
    default:
      return "died";
  }
}

}  // namespace fault_child
