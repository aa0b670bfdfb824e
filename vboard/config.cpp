// Variables to configuration: the readers every part of the board uses
// for its VBOARD_* variables (numbers, lists, errno names), the one
// routine that reports a malformed value, and the core's configuration
// step that hands each part its variables.
#include <string.h>

#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "internal.h"

namespace vboard {

void tell(const char *fmt, ...) {
  char line[1024];
  va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(line, sizeof line, fmt, args);
  va_end(args);
  if (n <= 0) return;
  const auto len =
      static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n) : sizeof line - 1;
  (void)!real_write(2, line, len);
}


namespace config {

const char *env(const char *name) {
  const char *v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : nullptr;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  while (true) {
    const auto p = s.find(sep);
    parts.push_back(s.substr(0, p));
    if (p == std::string_view::npos) break;
    s.remove_prefix(p + 1);
  }
  return parts;
}

bool parse_double(std::string_view s, double &out) {
  std::string tmp(s);
  char *end = nullptr;
  errno = 0;
  out = std::strtod(tmp.c_str(), &end);
  return !tmp.empty() && end == tmp.c_str() + tmp.size() && errno == 0 && std::isfinite(out);
}

bool parse_long(std::string_view s, long &out) {
  std::string tmp(s);
  char *end = nullptr;
  errno = 0;
  out = std::strtol(tmp.c_str(), &end, 0);
  return !tmp.empty() && end == tmp.c_str() + tmp.size() && errno == 0;
}

bool parse_unsigned(std::string_view s, unsigned long &out) {
  std::string tmp(s);
  char *end = nullptr;
  errno = 0;
  out = std::strtoul(tmp.c_str(), &end, 0);
  return !tmp.empty() && tmp[0] != '-' && tmp[0] != '+' && tmp[0] != ' ' &&
         end == tmp.c_str() + tmp.size() && errno == 0;
}

bool parse_errno(std::string_view s, int &err) {
  long n = 0;
  if (parse_long(s, n)) {
    if (n <= 0 || n > 4095) return false;
    err = static_cast<int>(n);
    return true;
  }
  for (int e = 1; e < 200; ++e) {
    const char *name = strerrorname_np(e);
    if (name != nullptr && s == name) {
      err = e;
      return true;
    }
  }
  return false;
}

void complain(const char *var, const char *value, const char *why) {
  if (why != nullptr)
    tell("vboard: ignoring %s=%s (malformed; expected %s)\n", var, value, why);
  else
    tell("vboard: ignoring %s=%s (malformed; see the board's documentation)\n", var, value);
}

bool strict(reader &r) {
  const char *v = r.get("VBOARD_STRICT");
  if (v == nullptr) return false;
  if (std::string_view(v) == "0" || std::string_view(v) == "1") return *v == '1';
  r.bad("VBOARD_STRICT", v, "0 or 1");
  return false;
}

}  // namespace config

bool configure_core(bool restore) {
  config::reader r(restore);
  configure_parts(r);
  configure_trace(r);
  configure_capture(r);
  configure_timing(r);
  configure_path_faults(r);
  configure_strict(r);
  return r.ok();
}

}  // namespace vboard
