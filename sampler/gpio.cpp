// Pin access through sysfs: one open, one transfer and one close per call.
//
// Descriptor calls instead of stdio on purpose: fopen would add an fstat and
// two heap allocations to every access, and the sampler exists to measure
// what the bare sysfs path costs.
#include "gpio.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <string_view>

extern "C" {
// Sized by its literal, so a literal that differs from the header's 21 bytes
// does not compile.
const char path[] = "/sys/class/gpio/gpio";
char pinpath[40];
}

namespace {

constexpr const char *sysfs_dir = "/sys/class/gpio/";

// The longest path ends in "/direction": the buffer holds the prefix and a
// pin number of up to nine characters; longer numbers are refused.
static_assert(sizeof pinpath == sizeof path - 1 + 9 + std::string_view{"/direction"}.size() + 1);
// The export and unexport paths always fit their own buffers.
static_assert(std::string_view{"/sys/class/gpio/unexport"}.size() < 40);

// What fopen's "w" and "r" modes amount to.
constexpr int write_flags = O_WRONLY | O_CREAT | O_TRUNC;
constexpr int read_flags = O_RDONLY;
constexpr mode_t create_mode = 0666;

constexpr useconds_t settle_us = 250000;

// Composes a pin's file path in pinpath.  A number that would not fit leaves
// pinpath empty, so no stale path from an earlier call is taken for this one.
bool compose_pin_path(int pin, const char *suffix) {
  const int n = std::snprintf(pinpath, sizeof pinpath, "%s%d%s", path, pin, suffix);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof pinpath) {
    pinpath[0] = '\0';
    return false;
  }
  return true;
}

// Opens the file for writing, writes the text and closes it.  Returns false
// only when the open fails: the kernel refusing the text (a pin that is
// already exported, a level for an input pin) is not treated as a failure by
// any caller, so the write and close results are not looked at.
bool write_file(const char *file, const char *text, std::size_t len) {
  const int fd = ::open(file, write_flags, create_mode);
  if (fd < 0) {
    return false;
  }
  [[maybe_unused]] const ssize_t written = ::write(fd, text, len);
  [[maybe_unused]] const int closed = ::close(fd);
  return true;
}

// Writes the number in decimal, no newline, as the export files expect.
bool write_number(const char *file, int number) {
  char text[12];  // "-2147483648" and the terminator
  const int len = std::snprintf(text, sizeof text, "%d", number);
  return len > 0 && write_file(file, text, static_cast<std::size_t>(len));
}

}  // namespace

extern "C" {

void gpio_write(int pin, int value) {
  if (!compose_pin_path(pin, "/value")) {
    return;
  }
  // A pin that is not exported or not ours is silently left alone: the
  // callers drive clock and data lines and have no use for a result.
  write_number(pinpath, value);
}

int gpio_read(int pin) {
  if (!compose_pin_path(pin, "/value")) {
    return -1;
  }
  const int fd = ::open(pinpath, read_flags);
  if (fd < 0) {
    // Not 0: a conversion over an unreadable data pin must come out as the
    // impossible 2047, never as a plausible reading.
    return -1;
  }
  char first = 0;
  const ssize_t got = ::read(fd, &first, 1);
  [[maybe_unused]] const int closed = ::close(fd);
  if (got != 1) {
    return -1;
  }
  return first == '1' ? 1 : 0;
}

int exportGPIO(int pin) {
  char file[40];
  static_cast<void>(std::snprintf(file, sizeof file, "%sexport", sysfs_dir));  // always fits
  std::printf("creating file %s\n", file);
  if (!write_number(file, pin)) {
    std::printf("Unable to export gpio %d..\n", pin);
    return -1;
  }
  // udev gives the new pin files their group and mode a moment after the
  // export; a caller that is not root would otherwise fail to open them.
  usleep(settle_us);
  return 0;
}

int unexportGPIO(int pin) {
  char file[40];
  static_cast<void>(std::snprintf(file, sizeof file, "%sunexport", sysfs_dir));
  std::printf("creating file %s\n", file);
  if (!write_number(file, pin)) {
    std::printf("Unable to unexport gpio %d..\n", pin);
    return -1;
  }
  usleep(settle_us);
  return 0;
}

int gpio_init(int pin, const char *direction) {
  if (!compose_pin_path(pin, "/direction")) {
    // Same wording as a missing file, composed on the fly so the message
    // still names the pin although its path does not fit pinpath.
    std::printf("Unable to open %s%d/direction..\n", path, pin);
    return 0;
  }
  if (direction == nullptr) {
    return 0;  // nothing to write; leave the pin's direction as it is
  }
  if (!write_file(pinpath, direction, std::string_view{direction}.size())) {
    std::printf("Unable to open %s..\n", pinpath);
    return 0;
  }
  return 1;
}

}  // extern "C"
