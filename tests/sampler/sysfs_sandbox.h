// A private view of /sys/class for tests and benchmarks that need the real
// GPIO paths and real system calls without touching the machine's sysfs.
#pragma once

#include <string>

namespace sampler_test {

// Owns one empty tmpfs mounted over /sys/class, holding an empty gpio/
// directory, inside a mount namespace private to this process (entered on
// first use; as root directly, otherwise through a user namespace).
class SysfsSandbox {
 public:
  SysfsSandbox() = default;
  SysfsSandbox(const SysfsSandbox &) = delete;
  SysfsSandbox &operator=(const SysfsSandbox &) = delete;
  ~SysfsSandbox();

  // Returns an empty string when the tmpfs is in place, otherwise why it
  // could not be set up (callers skip with that reason).
  std::string mount();

  // Makes /sys/class/gpio/gpio<pin>/ and, unless `value` is null, its value
  // file holding `value`.
  static void make_pin(int pin, const char *value = "0\n");

 private:
  bool mounted_ = false;
};

// Whole-file helpers that fail the current test on error.
std::string read_file(const std::string &file);
void write_file(const std::string &file, const std::string &content);
bool exists(const std::string &file);

}  // namespace sampler_test
