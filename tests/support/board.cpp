#include "support/board.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char **environ;

namespace adckit::test::board {

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

Running::Running(const std::vector<std::string> &argv,
                 const std::map<std::string, std::string> &env, bool target_program, bool preload) {
  const test::Command c =
      command({.argv = argv, .env = env, .board = preload, .host = !target_program});

  std::map<std::string, std::string> vars;
  for (char **e = environ; *e != nullptr; ++e) {
    const char *eq = std::strchr(*e, '=');
    if (eq != nullptr) vars[std::string(*e, static_cast<std::size_t>(eq - *e))] = eq + 1;
  }
  for (const auto &[k, v] : c.env) {
    if (v) {
      vars[k] = *v;
    } else {
      vars.erase(k);
    }
  }

  const std::string out_path = tmp_ / "out", err_path = tmp_ / "err";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);

  std::vector<std::string> env_strings, args = c.argv;
  for (const auto &[k, v] : vars) env_strings.push_back(k + "=" + v);
  std::vector<char *> envp, argp;
  for (auto &s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  for (auto &s : args) argp.push_back(s.data());
  argp.push_back(nullptr);

  const int rc = posix_spawnp(&pid_, argp[0], &fa, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    pid_ = -1;
    spawn_error_ = std::string("spawn failed: ") + std::strerror(rc);
  }
}

Running::~Running() {
  if (pid_ > 0) (void)wait();
}

Outcome Running::wait() {
  Outcome o;
  if (pid_ <= 0) {
    o.err = spawn_error_;
    return o;
  }
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  o.out = read_file(tmp_ / "out");
  o.err = read_file(tmp_ / "err");
  return o;
}

Outcome run_on_board(const std::vector<std::string> &argv,
                     const std::map<std::string, std::string> &env, bool target_program) {
  const auto r = run({.argv = argv, .env = env, .board = true, .host = !target_program});
  return {r.status, r.out, r.err};
}

BoardCommand on_board(const std::string &program) {
  std::map<std::string, std::string> env;
  for (char ch = '0'; ch <= '7'; ++ch) {
    env[std::string("VBOARD_CH").append(1, ch)] = std::to_string(reading(ch - '0'));
  }
  // The board keeps a trace of every access in the program's memory, up to
  // a limit; a long run keeps none, so what it measures is the program's.
  env.emplace("VBOARD_TRACE_LIMIT", std::string(1, '0'));
  const test::Command started = command({.argv = {program}, .env = env, .board = true});
  BoardCommand c;
  c.argv = started.argv;
  for (const auto &[name, value] : started.env) {
    if (!value) continue;
    std::string entry;
    entry.reserve(name.size() + 1 + value->size());
    entry.append(name).append(1, '=').append(*value);
    c.env.push_back(std::move(entry));
  }
  return c;
}

BoardEnvironment::BoardEnvironment(const BoardCommand &command) {
  for (const auto &entry : command.env) {
    const auto eq = entry.find('=');
    env_.set(entry.substr(0, eq), entry.substr(eq + 1));
  }
}

long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

int open_descriptors(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR *dir = ::opendir(path.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent *e = ::readdir(dir)) {
    if (e->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

long scale(const char *variable, long fallback) {
  const char *v = std::getenv(variable);
  if (v == nullptr || *v == '\0') return fallback;
  char *end = nullptr;
  long n = std::strtol(v, &end, 10);
  return end != v && *end == '\0' && n > 0 ? n : fallback;
}

}  // namespace adckit::test::board
