#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

extern char **environ;

namespace adckit::test {

namespace {

// The build's facts come in as compile definitions: the emulator's words
// separated by '|', the board library's path, the sanitizer list.
std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> words;
  while (!text.empty()) {
    const auto at = text.find(separator);
    if (at != 0) words.emplace_back(text.substr(0, at));
    if (at == std::string_view::npos) break;
    text.remove_prefix(at + 1);
  }
  return words;
}

std::map<std::string, std::string> inherited_environment() {
  std::map<std::string, std::string> vars;
  for (char **e = environ; *e != nullptr; ++e) {
    const char *eq = std::strchr(*e, '=');
    if (eq != nullptr) vars[std::string(*e, static_cast<std::size_t>(eq - *e))] = eq + 1;
  }
  return vars;
}

bool matches(const std::string &name, const std::string &pattern) {
  if (!pattern.empty() && pattern.back() == '*') {
    return name.starts_with(std::string_view(pattern).substr(0, pattern.size() - 1));
  }
  return name == pattern;
}

// The whole environment of a program started with `changes`.
std::vector<std::string> environment_with(const std::map<std::string, std::optional<std::string>> &changes) {
  auto vars = inherited_environment();
  for (const auto &[name, value] : changes) {
    if (value) {
      vars[name] = *value;
    } else {
      vars.erase(name);
    }
  }
  std::vector<std::string> entries;
  for (const auto &[name, value] : vars) entries.push_back(name + "=" + value);
  return entries;
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
  std::vector<char *> out;
  for (auto &s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

pid_t spawn(const Program &program, posix_spawn_file_actions_t *actions, std::string *error) {
  Command c = command(program);
  std::vector<std::string> env = environment_with(c.env);
  auto argv = pointers(c.argv);
  auto envp = pointers(env);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], actions, nullptr, argv.data(), envp.data());
  if (rc != 0) {
    if (error != nullptr) *error = "cannot start " + c.argv[0] + ": " + std::strerror(rc);
    return -1;
  }
  return pid;
}

int decode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

const std::vector<std::string> &emulator() {
  static const std::vector<std::string> words = split(ADCKIT_TEST_EMULATOR, '|');
  return words;
}

const std::string &board_library() {
  static const std::string path = ADCKIT_TEST_VBOARD;
  return path;
}

bool sanitized_with(std::string_view sanitizer) {
  for (const auto &name : split(ADCKIT_TEST_SANITIZE, ',')) {
    if (name == sanitizer) return true;
  }
  return false;
}

bool host_programs_on_board() { return emulator().empty(); }

Command command(const Program &program) {
  Command c;
  for (const auto &[name, value] : inherited_environment()) {
    for (const auto &pattern : program.unset) {
      if (matches(name, pattern)) c.env[name] = std::nullopt;
    }
  }
  for (const auto &[name, value] : program.env) c.env[name] = value;

  const bool emulated = !program.host && !emulator().empty();
  if (emulated) c.argv = emulator();
  if (program.board) {
    // Unless the test names one, each program gets a board of its own, so
    // suites run in parallel never share pins or a chip.
    const auto named = [&c](const char *name) {
      const auto it = c.env.find(name);
      return it != c.env.end() && it->second;
    };
    if (!named("VBOARD_BOARD") && !named("VBOARD_STATE")) c.env["VBOARD_BOARD"] = "private";
    if (emulated) {
      // The emulator itself is a program of this machine: the preload goes
      // to the guest only.
      c.argv.insert(c.argv.end(), {"-E", "LD_PRELOAD=" + board_library()});
    } else {
      c.env["LD_PRELOAD"] = board_library();
    }
  }
  // The board carries no sanitizer runtime and is loaded ahead of one on
  // purpose, in this program or in one it starts (the vboard launcher), so
  // every program of a sanitized build gets the option; it changes nothing
  // for the others.
  if (sanitized_with("address")) {
    const char *own = std::getenv("ASAN_OPTIONS");
    std::string options = own != nullptr ? own : "";
    if (auto it = c.env.find("ASAN_OPTIONS"); it != c.env.end() && it->second) options = *it->second;
    c.env["ASAN_OPTIONS"] = options + (options.empty() ? "" : ":") + "verify_asan_link_order=0";
  }
  c.argv.insert(c.argv.end(), program.argv.begin(), program.argv.end());
  return c;
}

Outcome run(const Program &program, std::string_view input, std::chrono::milliseconds limit) {
  Outcome outcome;
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) {
    outcome.err = "pipe failed";
    return outcome;
  }
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    outcome.err = "pipe failed";
    return outcome;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  const pid_t pid = spawn(program, &actions, &outcome.err);
  posix_spawn_file_actions_destroy(&actions);
  for (int fd : {in[0], out[1], err[1]}) ::close(fd);
  if (pid < 0) {
    for (int fd : {in[1], out[0], err[0]}) ::close(fd);
    return outcome;
  }

  // Input, output and error are served together, so a program that writes
  // much before it reads cannot block on a full pipe.
  std::string_view pending = input;
  pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
  if (pending.empty()) {
    ::close(in[1]);
    fds[2].fd = -1;
  } else {
    ::fcntl(in[1], F_SETFL, O_NONBLOCK);
  }
  // A program that ends before reading all its input must not end the test.
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old);

  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool killed = false;
  std::string text[2];
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    const int ready = ::poll(fds, 3, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        text[i].append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
    if (fds[2].fd >= 0 && fds[2].revents != 0) {
      const ssize_t n = ::write(fds[2].fd, pending.data(), pending.size());
      if (n > 0) pending.remove_prefix(static_cast<std::size_t>(n));
      if (pending.empty() || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        ::close(fds[2].fd);
        fds[2].fd = -1;
      }
    }
  }
  for (const auto &p : fds) {
    if (p.fd >= 0) ::close(p.fd);
  }
  ::sigaction(SIGPIPE, &old, nullptr);
  outcome.status = wait_exit(pid);
  outcome.out = std::move(text[0]);
  outcome.err = std::move(text[1]);
  if (killed) {
    outcome.err += "\n[killed: still running after " + std::to_string(limit.count()) + " ms]\n";
  }
  return outcome;
}

pid_t start(const Program &program, std::string *error) { return spawn(program, nullptr, error); }

int wait_exit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return decode(status);
}

ScopedEnv::ScopedEnv(const std::map<std::string, std::optional<std::string>> &changes) {
  for (const auto &[name, value] : changes) {
    if (value) {
      set(name, *value);
    } else {
      unset(name);
    }
  }
}

ScopedEnv::~ScopedEnv() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->second) {
      ::setenv(it->first.c_str(), it->second->c_str(), 1);
    } else {
      ::unsetenv(it->first.c_str());
    }
  }
}

void ScopedEnv::save(const std::string &name) {
  const char *old = std::getenv(name.c_str());
  saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
}

void ScopedEnv::set(const std::string &name, const std::string &value) {
  save(name);
  ::setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnv::unset(const std::string &name) {
  save(name);
  ::unsetenv(name.c_str());
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

}  // namespace adckit::test
