#include "board.hpp"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace soak {

namespace {
std::vector<std::string> split(const std::string& text, char bar) {
  std::vector<std::string> words;
  std::stringstream in(text);
  std::string word;
  while (std::getline(in, word, bar)) {
    if (!word.empty()) words.push_back(word);
  }
  return words;
}
}  // namespace

Command onBoard(const std::string& program) {
  Command c;
  c.argv = split(SOAK_EMULATOR, '|');
  for (int ch = 0; ch < 8; ++ch) c.env.push_back("VBOARD_CH" + std::to_string(ch) + "=" + std::to_string(reading(ch)));
  // The board keeps a trace of every access in the program's memory, up to
  // a limit; a long run keeps none, so what it measures is the program's.
  c.env.push_back("VBOARD_TRACE_LIMIT=0");
  if (c.argv.empty()) {
    c.env.push_back(std::string("LD_PRELOAD=") + SOAK_VBOARD);
    // The board library is loaded ahead of a sanitizer runtime on purpose.
    const char* asan = std::getenv("ASAN_OPTIONS");
    c.env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":verify_asan_link_order=0");
  } else {
    c.argv.insert(c.argv.end(), {"-E", std::string("LD_PRELOAD=") + SOAK_VBOARD});
  }
  c.argv.push_back(program);
  return c;
}

BoardEnvironment::BoardEnvironment(const Command& command) {
  for (const auto& entry : command.env) {
    auto eq = entry.find('=');
    std::string name = entry.substr(0, eq);
    if (const char* old = std::getenv(name.c_str()); old != nullptr) {
      saved_.emplace_back(name, old);
    } else {
      absent_.push_back(name);
    }
    ::setenv(name.c_str(), entry.c_str() + eq + 1, 1);
  }
}

BoardEnvironment::~BoardEnvironment() {
  for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
  for (const auto& name : absent_) ::unsetenv(name.c_str());
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
