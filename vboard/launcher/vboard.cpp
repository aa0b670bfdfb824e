// vboard: runs programs on the virtual board, and looks at or powers off
// the board itself.
//
//   vboard run [--board NAME] [--strict] [--capture FILE] [VAR=VALUE ...] -- PROGRAM ARGS...
//   vboard show [--board NAME]
//   vboard reset [--board NAME]
//
// `run` finds the board library built for the program's machine and
// preloads it; an ARM program on another machine runs through qemu-arm,
// which is given the preload for the emulated program only. `show` and
// `reset` load the board library into this process and ask it.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

#ifndef ADCKIT_VERSION
#define ADCKIT_VERSION "unknown"
#endif

// Also the source of the manual page (help2man), so it is written as one.
constexpr const char *kUsage =
    "Usage: vboard run [--board NAME] [--strict] [--capture FILE] [VAR=VALUE ...] -- PROGRAM "
    "[ARGS...]\n"
    "  or:  vboard show [--board NAME]\n"
    "  or:  vboard reset [--board NAME]\n"
    "Run unmodified programs on the virtual board, a PC's stand-in for the target\n"
    "board's sysfs GPIO, spidev device and MCP3008, or show or reset a board.\n"
    "\n"
    "Commands:\n"
    "  run    runs PROGRAM on the virtual board, with VAR=VALUE (VBOARD_CH0=512 ...)\n"
    "         in its environment; an ARM program runs through qemu-arm\n"
    "  show   prints the exported pins, the chip's inputs and the spidev settings\n"
    "  reset  powers the board off: every process on it sees a board just powered on\n"
    "\n"
    "Options:\n"
    "  --board NAME  the board to use: a name (default \"default\"), a path, or private\n"
    "  --strict      the board models the target's limits (VBOARD_STRICT=1)\n"
    "  --capture FILE  records the board's lines into FILE as a Value Change Dump,\n"
    "                  for a waveform viewer or sigrok-cli (VBOARD_CAPTURE=FILE)\n"
    "  -h, --help    show this text\n"
    "  --version     show the version\n"
    "\n"
    "The board library is looked for in $VBOARD_LIBRARY, ../lib/adckit and ../lib\n"
    "beside this program, then in the build tree it was built in.\n"
    "\n"
    "Examples:\n"
    "  vboard run VBOARD_CH0=512 -- gpiosampler\n"
    "\n"
    "  vboard run -- adcread --channels 4\n"
    "\n"
    "  vboard run --capture adc.vcd -- adcread --channels 1\n"
    "\n"
    "  vboard show\n";

// What an ELF file says about the machine it runs on.
struct machine {
  int elf_class = 0;  // ELFCLASS32 or ELFCLASS64
  int number = 0;     // e_machine
  bool operator==(const machine &) const = default;
};

// The machine of the ELF file at `path`; false when it is no ELF file.
bool elf_machine(const std::string &path, machine &m) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char h[20] = {};
  const ssize_t n = read(fd, h, sizeof h);
  close(fd);
  if (n != static_cast<ssize_t>(sizeof h) || std::memcmp(h, ELFMAG, SELFMAG) != 0) return false;
  m.elf_class = h[EI_CLASS];
  // e_machine is in the file's byte order.
  m.number = h[EI_DATA] == ELFDATA2MSB ? (h[18] << 8) | h[19] : h[18] | (h[19] << 8);
  return true;
}

std::string machine_name(const machine &m) {
  switch (m.number) {
    case EM_ARM:
      return "ARM";
    case EM_X86_64:
      return "x86-64";
    case EM_386:
      return "x86";
    case EM_AARCH64:
      return "AArch64";
    default:
      return "machine " + std::to_string(m.number) + (m.elf_class == ELFCLASS64 ? "/64" : "/32");
  }
}

std::string self_dir() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string p(buf, static_cast<std::size_t>(n));
  const auto slash = p.rfind('/');
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

// The places to look for the board library, in order.
std::vector<std::string> library_candidates() {
  std::vector<std::string> out;
  if (const char *v = std::getenv("VBOARD_LIBRARY"); v != nullptr && *v != '\0') out.push_back(v);
  const std::string dir = self_dir();
  out.push_back(dir + "/../lib/adckit/libvboard.so");
  out.push_back(dir + "/../lib/libvboard.so");
#ifdef VBOARD_BUILD_LIBRARY
  out.push_back(VBOARD_BUILD_LIBRARY);
#endif
  return out;
}

// The first board library built for machine `m`; empty after saying where
// it looked when there is none.
std::string find_library(const machine &m) {
  const auto candidates = library_candidates();
  for (const auto &c : candidates) {
    machine lm;
    if (access(c.c_str(), R_OK) == 0 && elf_machine(c, lm) && lm == m) return c;
  }
  std::fprintf(stderr, "vboard: no libvboard.so built for %s found; looked at:\n",
               machine_name(m).c_str());
  for (const auto &c : candidates) std::fprintf(stderr, "  %s\n", c.c_str());
  std::fprintf(stderr,
               "Set VBOARD_LIBRARY to one built for %s (for ARM programs: the armv6 preset "
               "builds one).\n",
               machine_name(m).c_str());
  return {};
}

machine own_machine() {
  machine m;
  if (!elf_machine("/proc/self/exe", m)) {
    m.elf_class = sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32;
#if defined(__x86_64__)
    m.number = EM_X86_64;
#elif defined(__aarch64__)
    m.number = EM_AARCH64;
#elif defined(__arm__)
    m.number = EM_ARM;
#elif defined(__i386__)
    m.number = EM_386;
#endif
  }
  return m;
}

// PROGRAM as exec would find it through PATH.
std::string find_program(const std::string &name) {
  if (name.find('/') != std::string::npos) return name;
  const char *path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
    const std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

bool valid_name(const std::string &s) {
  if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
  for (char c : s) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) {
      return false;
    }
  }
  return true;
}

int usage_error(const char *what) {
  std::fprintf(stderr, "vboard: %s\n\n%s", what, kUsage);
  return 2;
}

// Takes "--board NAME" (also "--board=NAME") at argv[i]; true when it was one.
bool board_option(int argc, char **argv, int &i, bool &bad) {
  const std::string a = argv[i];
  if (a == "--board") {
    if (i + 1 >= argc || argv[i + 1][0] == '\0') {
      bad = true;
      return true;
    }
    setenv("VBOARD_BOARD", argv[++i], 1);
    return true;
  }
  if (a.starts_with("--board=")) {
    if (a.size() == 8) bad = true;
    setenv("VBOARD_BOARD", a.c_str() + 8, 1);
    return true;
  }
  return false;
}

int run(int argc, char **argv) {
  int i = 2;
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    bool bad = false;
    if (a == "--") {
      ++i;
      break;
    }
    if (board_option(argc, argv, i, bad)) {
      if (bad) return usage_error("--board needs a name");
      continue;
    }
    if (a == "--strict") {
      setenv("VBOARD_STRICT", "1", 1);
      continue;
    }
    if (a == "--capture" || a.starts_with("--capture=")) {
      std::string file = a.size() > 9 ? a.substr(10) : i + 1 < argc ? argv[++i] : "";
      if (file.empty()) return usage_error("--capture needs a file");
      // Absolute, so that every program of the run appends to the one file
      // wherever it changes directory to.
      if (file[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) != nullptr) file = std::string(cwd) + "/" + file;
      }
      setenv("VBOARD_CAPTURE", file.c_str(), 1);
      continue;
    }
    const auto eq = a.find('=');
    if (eq != std::string::npos && valid_name(a.substr(0, eq))) {
      setenv(a.substr(0, eq).c_str(), a.c_str() + eq + 1, 1);
      continue;
    }
    return usage_error(
        ("not an option nor VAR=VALUE: " + a + " (the program goes after --)").c_str());
  }
  if (i >= argc) return usage_error("no program to run (give it after --)");

  const std::string program = find_program(argv[i]);
  if (program.empty() || access(program.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "vboard: %s: program not found\n", argv[i]);
    return 127;
  }
  const machine own = own_machine();
  machine target;
  // A script runs under an interpreter of this machine.
  if (!elf_machine(program, target)) target = own;
  const std::string library = find_library(target);
  if (library.empty()) return 127;

  std::vector<char *> args;
  std::vector<std::string> held;
  auto exec_direct = [&] {
    std::string preload = library;
    if (const char *old = std::getenv("LD_PRELOAD"); old != nullptr && *old != '\0') {
      preload += ":";
      preload += old;
    }
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execv(program.c_str(), argv + i);
    const int err = errno;
    unsetenv("LD_PRELOAD");
    return err;
  };
  auto exec_emulated = [&] {
    const char *qemu = std::getenv("VBOARD_QEMU");
    held.push_back(qemu != nullptr && *qemu != '\0' ? qemu : "qemu-arm");
    const char *prefix = std::getenv("QEMU_LD_PREFIX");
    std::string sysroot = prefix != nullptr && *prefix != '\0' ? prefix : "";
    if (sysroot.empty() && access("/usr/arm-linux-gnueabihf/lib", F_OK) == 0) {
      sysroot = "/usr/arm-linux-gnueabihf";
    }
    if (!sysroot.empty()) {
      held.push_back("-L");
      held.push_back(sysroot);
    }
    // The preload goes to the emulated program, not to qemu itself.
    held.push_back("-E");
    held.push_back("LD_PRELOAD=" + library);
    held.push_back(program);
    for (auto &h : held) args.push_back(h.data());
    for (int k = i + 1; k < argc; ++k) args.push_back(argv[k]);
    args.push_back(nullptr);
    execvp(args[0], args.data());
    return errno;
  };

  int err = 0;
  if (target == own) {
    err = exec_direct();
    // This launcher may itself run under qemu without the kernel knowing
    // how to start ARM programs: the emulator then starts this one too.
    if (err == ENOEXEC && target.number == EM_ARM) err = exec_emulated();
  } else if (target.number == EM_ARM) {
    err = exec_emulated();
  } else {
    err = exec_direct();
  }
  std::fprintf(stderr, "vboard: cannot run %s: %s\n", program.c_str(), std::strerror(err));
  return err == ENOENT ? 127 : 126;
}

// `show` and `reset` load the board library into this process: its
// constructor joins the board VBOARD_BOARD names.
int board_command(const std::string &cmd, int argc, char **argv) {
  for (int i = 2; i < argc; ++i) {
    bool bad = false;
    if (!board_option(argc, argv, i, bad) || bad) {
      return usage_error(bad ? "--board needs a name"
                             : ("unexpected argument: " + std::string(argv[i])).c_str());
    }
  }
  const std::string library = find_library(own_machine());
  if (library.empty()) return 1;
  void *h = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    std::fprintf(stderr, "vboard: cannot load %s: %s\n", library.c_str(), dlerror());
    return 1;
  }
  if (cmd == "show") {
    std::printf("library %s\n", library.c_str());
    using describe_fn = int (*)(char *, size_t);
    auto describe = reinterpret_cast<describe_fn>(dlsym(h, "vboard_describe"));
    if (describe == nullptr) {
      std::fprintf(stderr, "vboard: the board library is too old for show\n");
      return 1;
    }
    std::string text(static_cast<std::size_t>(describe(nullptr, 0)) + 1, '\0');
    const int n = describe(text.data(), text.size());
    std::fwrite(text.data(), 1, static_cast<std::size_t>(n), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  using power_fn = int (*)();
  using name_fn = const char *(*)();
  auto power = reinterpret_cast<power_fn>(dlsym(h, "vboard_power_cycle"));
  auto name = reinterpret_cast<name_fn>(dlsym(h, "vboard_board_name"));
  if (power == nullptr || name == nullptr) {
    std::fprintf(stderr, "vboard: the board library is too old for reset\n");
    return 1;
  }
  if (power() != 0) {
    const int err = errno;
    // The library runs on a private board when it cannot have the one asked
    // for, and names that one: the message names the board asked for.
    const char *asked = std::getenv("VBOARD_BOARD");
    if (asked == nullptr || *asked == '\0') asked = std::getenv("VBOARD_STATE");
    if (asked == nullptr || *asked == '\0') asked = "default";
    std::fprintf(stderr, "vboard: powering off the board %s failed: %s\n", asked,
                 std::strerror(err));
    return 1;
  }
  std::printf("board %s powered off and on\n", name());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "run") return run(argc, argv);
  if (cmd == "show" || cmd == "reset") return board_command(cmd, argc, argv);
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cmd == "--version") {
    std::printf("vboard (adckit) %s\n", ADCKIT_VERSION);
    return 0;
  }
  return usage_error(cmd.empty() ? "no command" : ("unknown command: " + cmd).c_str());
}
