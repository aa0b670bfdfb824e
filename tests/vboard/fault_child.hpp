// A program that survives a fault of its own: `bad` runs in a forked child
// with a SIGSEGV handler that jumps back out, then `after` (the board used
// again) must give true. The board promises that a bad pointer faults in
// the program that passed it before the board lock is taken, so nothing
// of the board is left held once the program goes on.
#pragma once

#include <setjmp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace fault_child {

inline sigjmp_buf exit_point;
inline void leave(int) { siglongjmp(exit_point, 1); }

// "" when the child faulted in `bad` and `after` gave true within 5 s, else
// what went wrong.
inline std::string survive(const std::function<void()> &bad, const std::function<bool()> &after) {
  const pid_t child = fork();
  if (child < 0) return "no fork";
  if (child == 0) {
    struct sigaction sa {};
    sa.sa_handler = leave;
    sigaction(SIGSEGV, &sa, nullptr);
    if (sigsetjmp(exit_point, 1) == 0) {
      bad();
      _exit(2);
    }
    _exit(after() ? 0 : 3);
  }
  int status = 0;
  pid_t done = 0;
  for (int waited = 0; waited < 500 && done == 0; ++waited) {
    done = waitpid(child, &status, WNOHANG);
    if (done == 0) usleep(10000);
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return "hung on the board after its fault";
  }
  if (!WIFEXITED(status)) return "died of signal " + std::to_string(WTERMSIG(status));
  switch (WEXITSTATUS(status)) {
    case 0: return "";
    case 2: return "no fault";
    default: return "the board answered wrongly after the fault";
  }
}

}  // namespace fault_child
