// A device that lives wholly in this file, as a new device would: the
// character device /dev/tally, whose count of writes lives in the board
// object, in a slice of its own, and is shown by `vboard show`. Linked
// with the board's sources into a program, so it registers before the
// board's first use:
//
//   tally_device   one write to /dev/tally, then the count it reads back
//                  and the board as `vboard show` describes it
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "internal.h"

namespace {

using namespace vboard;

struct tally_slice {
  std::uint64_t writes;
  char label[16];  // NUL-terminated
};

std::size_t slice_at = 0;

tally_slice &tally() { return *static_cast<tally_slice *>(board_slice(board(), slice_at)); }

class tally_file : public file {
 public:
  ssize_t read(void *buf, std::size_t n, off_t &offset) override {
    const std::string text = std::to_string(tally().writes) + "\n";
    if (offset >= static_cast<off_t>(text.size())) return 0;
    const std::size_t k = std::min(n, text.size() - static_cast<std::size_t>(offset));
    std::memcpy(buf, text.data() + offset, k);
    offset += static_cast<off_t>(k);
    return static_cast<ssize_t>(k);
  }
  ssize_t write(const void *, std::size_t n, off_t &) override {
    ++tally().writes;
    return static_cast<ssize_t>(n);
  }
  void stat(struct stat &st) const override { fill_stat(st, "/dev/tally", S_IFCHR | 0660, 0); }
};

int tally_open(const char *path, int, std::unique_ptr<file> &out) {
  if (std::strcmp(path, "/dev/tally") != 0) return 1;
  out = std::make_unique<tally_file>();
  return 0;
}

int tally_stat(const char *path, struct stat &st, bool) {
  if (std::strcmp(path, "/dev/tally") != 0) return 1;
  fill_stat(st, path, S_IFCHR | 0660, 0);
  return 0;
}

void tally_power_on(shared_board &b) {
  std::snprintf(static_cast<tally_slice *>(board_slice(b, slice_at))->label, 16, "tally");
}

const char *tally_damage(const shared_board &b) {
  const auto &t = *static_cast<const tally_slice *>(board_slice(b, slice_at));
  return std::memchr(t.label, 0, sizeof t.label) == nullptr ? "the tally is invalid" : nullptr;
}

void tally_show(const shared_board &b, std::string &out) {
  const auto &t = *static_cast<const tally_slice *>(board_slice(b, slice_at));
  show_line(out, "%s: %llu writes\n", t.label, static_cast<unsigned long long>(t.writes));
}

// The part, then the handler, before the board's first use; without its
// slice the device would write into another's: no file either.
bool registered = false;
[[gnu::constructor(kRegisterPriority)]] void add_tally() {
  registered = add_part({"tally", 70, tally_power_on, tally_damage, tally_show, nullptr, nullptr,
                         sizeof(tally_slice), alignof(tally_slice), 70, &slice_at, nullptr, 0}) &&
               add_provider({"/dev/tally", tally_open, tally_stat, nullptr, nullptr, nullptr,
                             nullptr, nullptr});
}

}  // namespace

int main() {
  (void)registered;
  const int fd = open("/dev/tally", O_RDWR);
  if (fd < 0 || write(fd, "x", 1) != 1) {
    std::perror("/dev/tally");
    return 1;
  }
  char count[32] = "";
  const ssize_t n = pread(fd, count, sizeof count - 1, 0);
  close(fd);
  std::printf("count %s", n > 0 ? count : "?\n");
  char text[8192];
  vboard_describe(text, sizeof text);
  std::fputs(text, stdout);
  return 0;
}
