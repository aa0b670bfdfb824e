// What `vboard show` prints, as one text (vboard_describe): the board's
// name and time, then what each part of the board object (part.h) says
// about itself, in the parts' order.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "internal.h"

namespace vboard {

void show_line(std::string &out, const char *fmt, ...) {
  char line[256];
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n > 0) out.append(line, static_cast<std::size_t>(n) < sizeof line ? n : sizeof line - 1);
}

namespace {
std::string describe(const char *name) {
  std::string out;
  show_line(out, "board %s, time %.3f s since power-on\n", name,
            static_cast<double>(now_ns()) / 1e9);
  show_parts(board(), out);
  return out;
}
}  // namespace

}  // namespace vboard

extern "C" int vboard_describe(char *buf, size_t size) {
  std::string text;
  {
    vboard::board_lock lock;
    vboard::ensure_ready();
    text = vboard::describe(vboard::board_name());
  }
  if (buf != nullptr && size > 0) std::snprintf(buf, size, "%s", text.c_str());
  return static_cast<int>(text.size());
}
