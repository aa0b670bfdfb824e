#include "run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace vboard_test {

namespace {

std::vector<std::string> split_list(const std::string &s) {
  std::vector<std::string> out;
  std::string item;
  std::istringstream in(s);
  while (std::getline(in, item, '|')) {
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

}  // namespace

temp_dir::temp_dir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "vboard-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

temp_dir::~temp_dir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

bool host_programs_usable() { return split_list(VBOARD_EMULATOR).empty(); }

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

running::running(const std::vector<std::string> &argv,
                 const std::map<std::string, std::string> &env, bool target_program, bool preload) {
  std::map<std::string, std::string> vars;
  for (char **e = environ; *e != nullptr; ++e) {
    const char *eq = std::strchr(*e, '=');
    if (eq != nullptr) vars[std::string(*e, static_cast<std::size_t>(eq - *e))] = eq + 1;
  }
  for (const auto &[k, v] : env) vars[k] = v;
  // A sanitized program lists its runtime first; the board is preloaded
  // ahead of it, which is harmless as the board has no sanitizer runtime.
  if (std::string(VBOARD_SANITIZE).find("address") != std::string::npos) {
    auto &opts = vars["ASAN_OPTIONS"];
    opts += (opts.empty() ? "" : ":") + std::string("verify_asan_link_order=0");
  }

  std::vector<std::string> args;
  const auto emulator = split_list(VBOARD_EMULATOR);
  if (target_program && !emulator.empty()) {
    args = emulator;
    if (preload) {
      args.push_back("-E");
      args.push_back(std::string("LD_PRELOAD=") + VBOARD_LIBRARY);
    }
  } else if (preload) {
    vars["LD_PRELOAD"] = VBOARD_LIBRARY;
  }
  args.insert(args.end(), argv.begin(), argv.end());

  const std::string out_path = tmp_ / "out", err_path = tmp_ / "err";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);

  std::vector<std::string> env_strings;
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
  running r(argv, env, true, false);
  return r.wait();
}

outcome run_on_board(const std::vector<std::string> &argv,
                     const std::map<std::string, std::string> &env, bool target_program) {
  running r(argv, env, target_program);
  return r.wait();
}

}  // namespace vboard_test
