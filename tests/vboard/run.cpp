// The board suites' way of starting programs, on top of the one every
// suite shares (support/process.hpp): the command line, the emulator of a
// cross build, the preload and its sanitizer option all come from there.
// What this adds is a program that runs while the test starts others, with
// its output collected into files until the test waits for it.
#include "run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "support/process.hpp"

extern char **environ;

namespace vboard_test {

temp_dir::temp_dir() : dir_("vboard"), path_(dir_.path().string()) {}

temp_dir::~temp_dir() = default;

bool host_programs_usable() { return adckit::test::host_programs_on_board(); }

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

running::running(const std::vector<std::string> &argv,
                 const std::map<std::string, std::string> &env, bool target_program, bool preload) {
  const adckit::test::Command c = adckit::test::command(
      {.argv = argv, .env = env, .board = preload, .host = !target_program});

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

running::~running() {
  if (pid_ > 0) (void)wait();
}

outcome running::wait() {
  outcome o;
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

outcome run_plain(const std::vector<std::string> &argv,
                  const std::map<std::string, std::string> &env) {
  const auto r = adckit::test::run({.argv = argv, .env = env});
  return {r.status, r.out, r.err};
}

outcome run_on_board(const std::vector<std::string> &argv,
                     const std::map<std::string, std::string> &env, bool target_program) {
  const auto r =
      adckit::test::run({.argv = argv, .env = env, .board = true, .host = !target_program});
  return {r.status, r.out, r.err};
}

}  // namespace vboard_test
