#include "board.hpp"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <utility>

namespace soak {

Command onBoard(const std::string& program) {
  std::map<std::string, std::string> env;
  for (char ch = '0'; ch <= '7'; ++ch) {
    env[std::string("VBOARD_CH").append(1, ch)] = std::to_string(reading(ch - '0'));
  }
  // The board keeps a trace of every access in the program's memory, up to
  // a limit; a long run keeps none, so what it measures is the program's.
  env.emplace("VBOARD_TRACE_LIMIT", std::string(1, '0'));
  const adckit::test::Command started = adckit::test::command({.argv = {program}, .env = env, .board = true});
  Command c;
  c.argv = started.argv;
  for (const auto& [name, value] : started.env) {
    if (!value) continue;
    std::string entry;
    entry.reserve(name.size() + 1 + value->size());
    entry.append(name).append(1, '=').append(*value);
    c.env.push_back(std::move(entry));
  }
  return c;
}

BoardEnvironment::BoardEnvironment(const Command& command) {
  for (const auto& entry : command.env) {
    const auto eq = entry.find('=');
    env_.set(entry.substr(0, eq), entry.substr(eq + 1));
  }
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

int openDescriptors(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

long scale(const char* variable, long fallback) {
  const char* v = std::getenv(variable);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  long n = std::strtol(v, &end, 10);
  return end != v && *end == '\0' && n > 0 ? n : fallback;
}

}  // namespace soak
