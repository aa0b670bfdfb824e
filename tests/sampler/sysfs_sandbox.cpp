#include "sysfs_sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace sampler_test {
namespace {

constexpr const char *class_dir = "/sys/class";

std::string errno_text(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

bool write_proc(const char *file, const std::string &text) {
  const int fd = ::open(file, O_WRONLY);
  if (fd < 0) {
    return false;
  }
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

// Without root a user namespace gives the capabilities to mount; it maps
// our own ids to root inside so the files stay ours.
std::string enter_user_namespace() {
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
    return errno_text("neither root nor user namespaces are available (unshare CLONE_NEWUSER)");
  }
  if (!write_proc("/proc/self/setgroups", "deny") ||
      !write_proc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
      !write_proc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
    return errno_text("could not map ids in the user namespace");
  }
  return {};
}

// Once per process: every later mount stays invisible to the rest of the
// machine.
const std::string &enter_private_namespace() {
  static const std::string reason = [] {
    std::string why;
    if (::unshare(CLONE_NEWNS) != 0) {
      if (errno != EPERM) {
        return errno_text("unshare CLONE_NEWNS");
      }
      why = enter_user_namespace();
      if (!why.empty()) {
        return why;
      }
    }
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return errno_text("making / private");
    }
    return why;
  }();
  return reason;
}

}  // namespace

std::string SysfsSandbox::mount() {
  if (const std::string &why = enter_private_namespace(); !why.empty()) {
    return why;
  }
  if (::mount("adckit-test", class_dir, "tmpfs", 0, "mode=0755") != 0) {
    return errno_text("mounting a tmpfs over /sys/class");
  }
  mounted_ = true;
  if (::mkdir("/sys/class/gpio", 0755) != 0) {
    return errno_text("mkdir /sys/class/gpio");
  }
  return {};
}

SysfsSandbox::~SysfsSandbox() {
  if (mounted_) {
    ::umount2(class_dir, MNT_DETACH);
  }
}

void SysfsSandbox::make_pin(int pin, const char *value) {
  const std::string dir = "/sys/class/gpio/gpio" + std::to_string(pin);
  std::filesystem::create_directory(dir);
  if (value != nullptr) {
    write_file(dir + "/value", value);
  }
}

std::string read_file(const std::string &file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + file);
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string &file, const std::string &content) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + file);
  }
}

bool exists(const std::string &file) {
  struct stat st {};
  return ::lstat(file.c_str(), &st) == 0;
}

}  // namespace sampler_test
