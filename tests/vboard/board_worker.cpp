// A program for tests of one board shared by several processes: it runs
// on the board (preloaded) and hammers it the way a client would.
//
//   board_worker spi COUNT CHANNEL EXPECTED   COUNT conversions of CHANNEL
//                                             through /dev/spidev0.0, each
//                                             expected to read EXPECTED
//   board_worker pin COUNT PIN                exports PIN, writes and reads
//                                             back its value COUNT times,
//                                             unexports it
//   board_worker export PIN                   exports PIN as an output
//                                             driven high, and leaves it
//   board_worker write PATH TEXT              one write of TEXT to PATH
//   board_worker signals COUNT PIN           exports PIN as an output; a
//                                             timer's handler writes its
//                                             value while the program
//                                             reads it COUNT times
//   board_worker watch PIN EDGE HOW MS READY  sets EDGE on PIN's value,
//                                             reads it, creates the file
//                                             READY, then waits up to MS
//                                             milliseconds for an edge
//                                             with HOW (poll, select or
//                                             epoll) and prints what the
//                                             wait said: "edge LEVEL" (the
//                                             level read at offset 0
//                                             after it) or "timeout"
//   board_worker churn COUNT READY            creates READY once on the
//                                             board, then makes every kind
//                                             of access COUNT times, its
//                                             answers ignored
//   board_worker sweep PIN                    closes and overwrites every
//                                             descriptor number as a
//                                             daemon might (close, dup2,
//                                             close_range, closefrom) and
//                                             checks that the board's own
//                                             descriptors of its object
//                                             (VBOARD_BOARD) stay open and
//                                             the board keeps working
//   board_worker across PIN READY GO         reads PIN's value, creates
//                                             READY, waits up to 30 s for
//                                             GO, then prints what the
//                                             board shows: "before V",
//                                             "after: V" or "after: no
//                                             pin", then exports PIN again
//                                             and prints its direction
//
// Exits 0 when every result was the expected one, else 1 after saying
// what went wrong.
#include <dirent.h>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/select.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

int spi(long count, int channel, int expected) {
  const int fd = open("/dev/spidev0.0", O_RDWR);
  if (fd < 0) {
    std::fprintf(stderr, "open: %s\n", std::strerror(errno));
    return 1;
  }
  long wrong = 0;
  for (long i = 0; i < count; ++i) {
    unsigned char tx[3] = {0x01, static_cast<unsigned char>(0x80 | (channel << 4)), 0};
    unsigned char rx[3] = {};
    spi_ioc_transfer x{};
    x.tx_buf = reinterpret_cast<unsigned long>(tx);
    x.rx_buf = reinterpret_cast<unsigned long>(rx);
    x.len = 3;
    x.speed_hz = 1000000;
    x.bits_per_word = 8;
    if (ioctl(fd, SPI_IOC_MESSAGE(1), &x) != 3) {
      std::fprintf(stderr, "transfer %ld: %s\n", i, std::strerror(errno));
      return 1;
    }
    const int code = ((rx[1] & 3) << 8) | rx[2];
    if (code != expected && wrong++ < 5) {
      std::fprintf(stderr, "conversion %ld of channel %d read %d, not %d\n", i, channel, code,
                   expected);
    }
  }
  close(fd);
  return wrong == 0 ? 0 : 1;
}

// open, one write, close: what `echo` does. Returns 0 or errno.
int store(const std::string &path, const std::string &text) {
  const int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) return errno;
  const ssize_t w = write(fd, text.data(), text.size());
  const int err = w < 0 ? errno : 0;
  close(fd);
  return err;
}

int pin(long count, int number) {
  const std::string dir = "/sys/class/gpio/gpio" + std::to_string(number);
  if (int e = store("/sys/class/gpio/export", std::to_string(number)); e != 0) {
    std::fprintf(stderr, "export %d: %s\n", number, std::strerror(e));
    return 1;
  }
  if (int e = store(dir + "/direction", "out"); e != 0) {
    std::fprintf(stderr, "direction: %s\n", std::strerror(e));
    return 1;
  }
  const int fd = open((dir + "/value").c_str(), O_RDWR);
  if (fd < 0) return 1;
  for (long i = 0; i < count; ++i) {
    const char level = (i & 1) != 0 ? '1' : '0';
    char back[4] = {};
    if (pwrite(fd, &level, 1, 0) != 1 || pread(fd, back, sizeof back, 0) != 2 || back[0] != level) {
      std::fprintf(stderr, "pin %d: wrote %c, read back \"%s\" (%s)\n", number, level, back,
                   std::strerror(errno));
      return 1;
    }
  }
  close(fd);
  if (int e = store("/sys/class/gpio/unexport", std::to_string(number)); e != 0) {
    std::fprintf(stderr, "unexport %d: %s\n", number, std::strerror(e));
    return 1;
  }
  return 0;
}

// Waits for an edge on `fd` the way `how` names; 1 edge, 0 timeout, -1
// failed (said why).
int wait_edge(int fd, const std::string &how, int ms) {
  if (how == "poll") {
    pollfd p{fd, POLLPRI | POLLERR, 0};
    const int r = poll(&p, 1, ms);
    if (r < 0) {
      std::fprintf(stderr, "poll: %s\n", std::strerror(errno));
      return -1;
    }
    if (r == 1 && (p.revents & (POLLPRI | POLLERR)) != (POLLPRI | POLLERR)) {
      std::fprintf(stderr, "poll: revents 0x%x, not POLLPRI|POLLERR\n", p.revents);
      return -1;
    }
    return r;
  }
  if (how == "select") {
    fd_set except;
    FD_ZERO(&except);
    FD_SET(fd, &except);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    const int r = select(fd + 1, nullptr, nullptr, &except, &tv);
    if (r < 0) {
      std::fprintf(stderr, "select: %s\n", std::strerror(errno));
      return -1;
    }
    return r == 1 && FD_ISSET(fd, &except) ? 1 : r;
  }
  if (how == "epoll") {
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLPRI | EPOLLERR | EPOLLET;
    ev.data.fd = fd;
    if (ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0) {
      std::fprintf(stderr, "epoll: %s\n", std::strerror(errno));
      return -1;
    }
    epoll_event got{};
    const int r = epoll_wait(ep, &got, 1, ms);
    close(ep);
    if (r < 0) {
      std::fprintf(stderr, "epoll_wait: %s\n", std::strerror(errno));
      return -1;
    }
    if (r == 1 && (got.data.fd != fd || (got.events & EPOLLPRI) == 0)) {
      std::fprintf(stderr, "epoll_wait: events 0x%x on %d\n", got.events, got.data.fd);
      return -1;
    }
    return r;
  }
  std::fprintf(stderr, "no way to wait called %s\n", how.c_str());
  return -1;
}

int watch(const std::string &pin, const std::string &edge, const std::string &how, int ms,
          const std::string &ready) {
  const std::string dir = "/sys/class/gpio/gpio" + pin;
  if (int e = store(dir + "/edge", edge); e != 0) {
    std::fprintf(stderr, "edge %s: %s\n", edge.c_str(), std::strerror(e));
    return 1;
  }
  const int fd = open((dir + "/value").c_str(), O_RDONLY);
  char level[4] = {};
  if (fd < 0 || read(fd, level, sizeof level) != 2) {
    std::fprintf(stderr, "value: %s\n", std::strerror(errno));
    return 1;
  }
  const int r = open(ready.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (r < 0) return 1;
  close(r);
  const int got = wait_edge(fd, how, ms);
  if (got < 0) return 1;
  if (got == 0) {
    std::printf("timeout\n");
  } else {
    // What the kernel's documentation says to do after the wait: back to
    // the start, read the new level.
    if (lseek(fd, 0, SEEK_SET) != 0 || read(fd, level, sizeof level) != 2) {
      std::fprintf(stderr, "value after the edge: %s\n", std::strerror(errno));
      return 1;
    }
    std::printf("edge %c\n", level[0]);
  }
  close(fd);
  return 0;
}

int value_fd = -1;
volatile sig_atomic_t handled = 0;

void write_from_handler(int) {
  const char level = (handled & 1) != 0 ? '1' : '0';
  if (pwrite(value_fd, &level, 1, 0) == 1) handled = handled + 1;
}

// A handler that writes a pin while the program is inside the board with
// the same pin: on a kernel write(2) may be called from a handler.
int signals(long count, int number) {
  const std::string n = std::to_string(number), dir = "/sys/class/gpio/gpio" + n;
  struct sigaction asked {};
  if (store("/sys/class/gpio/export", n) != 0 || store(dir + "/direction", "out") != 0 ||
      (value_fd = open((dir + "/value").c_str(), O_RDWR)) < 0 ||
      signal(SIGALRM, write_from_handler) == SIG_ERR || sigaction(SIGALRM, nullptr, &asked) != 0 ||
      asked.sa_handler != write_from_handler) {
    std::fprintf(stderr, "signals: no pin %s, or sigaction hides the program's handler\n",
                 n.c_str());
    return 1;
  }
  itimerval timer{{0, 200}, {0, 200}};
  setitimer(ITIMER_REAL, &timer, nullptr);
  char buf[4];
  for (long i = 0; i < count; ++i) {
    if (pread(value_fd, buf, sizeof buf, 0) != 2) {
      std::fprintf(stderr, "signals: read %ld failed: %s\n", i, std::strerror(errno));
      return 1;
    }
  }
  timer = {};
  setitimer(ITIMER_REAL, &timer, nullptr);
  if (handled == 0) std::fprintf(stderr, "signals: the handler never wrote\n");
  return handled == 0 ? 1 : 0;
}

// Every kind of access, its answers ignored: for a board whose object
// another process scribbles over, where only faults and hangs count.
int churn(long count, const std::string &ready) {
  if (close(open(ready.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644)) != 0) return 1;
  const std::string g = "/sys/class/gpio/";
  char buf[64];
  for (long i = 0; i < count; ++i) {
    const std::string n = std::to_string(i % 60), dir = g + "gpio" + n;
    (void)store(g + "export", n);
    (void)store(dir + "/direction", (i & 1) != 0 ? "high" : "in");
    for (const auto &[leaf, text] :
         {std::pair{"/active_low", "1"}, {"/edge", "both"}, {"/value", "1"}}) {
      (void)store(dir + leaf, text);
    }
    for (const std::string &path :
         {dir + "/value", dir + "/direction", dir + "/edge", dir + "/active_low",
          g + "gpiochip0/base", g + "gpiochip0/ngpio", g + "gpiochip512/ngpio"}) {
      const int fd = open(path.c_str(), O_RDONLY);
      pollfd p{fd, POLLPRI, 0};
      (void)!read(fd, buf, sizeof buf);
      (void)poll(&p, 1, 0);
      close(fd);
    }
    if (DIR *d = opendir(g.c_str())) {
      while (readdir(d) != nullptr) {
      }
      closedir(d);
    }
    (void)store(g + "unexport", n);
    const int fd = open("/dev/spidev0.0", O_RDWR);
    std::uint8_t bits = 0, mode = 0;
    std::uint32_t hz = 0;
    (void)ioctl(fd, SPI_IOC_RD_BITS_PER_WORD, &bits);
    (void)ioctl(fd, SPI_IOC_RD_MODE, &mode);
    (void)ioctl(fd, SPI_IOC_RD_MAX_SPEED_HZ, &hz);
    unsigned char tx[64] = {0x01, 0x80, 0}, rx[64] = {};
    spi_ioc_transfer x{};
    x.tx_buf = reinterpret_cast<unsigned long>(tx);
    x.rx_buf = reinterpret_cast<unsigned long>(rx);
    x.len = static_cast<std::uint32_t>(1 + i % 64);
    (void)ioctl(fd, SPI_IOC_MESSAGE(1), &x);
    (void)!write(fd, tx, 3);
    (void)!read(fd, rx, 3);
    close(fd);
  }
  return 0;
}

// This process's descriptors of the board object.
std::vector<int> object_fds() {
  struct stat board {};
  std::vector<int> fds;
  if (stat(std::getenv("VBOARD_BOARD"), &board) != 0) return fds;
  for (int fd = 3; fd < 1024; ++fd) {
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_dev == board.st_dev && st.st_ino == board.st_ino)
      fds.push_back(fd);
  }
  return fds;
}

int sweep(int number) {
  if (pin(1, number) != 0) return 1;
  const std::vector<int> kept = object_fds();
  if (kept.empty()) {
    std::fprintf(stderr, "no descriptor of the board object\n");
    return 1;
  }
  for (int fd : kept) {
    if (close(fd) != -1 || errno != EBADF) {
      std::fprintf(stderr, "close(%d) of the board's own: %s\n", fd, std::strerror(errno));
      return 1;
    }
    if (dup2(0, fd) != fd || close(fd) != 0) {
      std::fprintf(stderr, "dup2 onto %d: %s\n", fd, std::strerror(errno));
      return 1;
    }
  }
  if (close_range(3, ~0U, 0) != 0) std::fprintf(stderr, "close_range: %s\n", std::strerror(errno));
  closefrom(3);
  const std::vector<int> after = object_fds();
  if (after.size() != kept.size()) {
    std::fprintf(stderr, "%zu descriptors of the board object before, %zu after\n", kept.size(),
                 after.size());
    return 1;
  }
  return pin(1, number);
}

}  // namespace

// The text of a board file, or "" when it cannot be read.
std::string text_of(const std::string &path) {
  char buf[64];
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "";
  const ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  std::string t(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
  while (!t.empty() && t.back() == '\n') t.pop_back();
  return t;
}

// A program that stays on the board across what the test does meanwhile
// (a reset), and says what it sees before and after.
int across(const std::string &pin, const std::string &ready, const std::string &go) {
  const std::string dir = "/sys/class/gpio/gpio" + pin;
  std::printf("before %s\n", text_of(dir + "/value").c_str());
  std::fflush(stdout);
  if (close(open(ready.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644)) != 0) return 1;
  struct stat st {};
  for (int i = 0; i < 3000 && stat(go.c_str(), &st) != 0; ++i) usleep(10000);
  const std::string after = text_of(dir + "/value");
  std::printf("after: %s\n", after.empty() ? "no pin" : after.c_str());
  const int e = store("/sys/class/gpio/export", pin);
  std::printf("exported again: %s\n",
              e == 0 ? text_of(dir + "/direction").c_str() : std::strerror(e));
  return 0;
}

int main(int argc, char **argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "spi" && argc == 5) {
    return spi(std::atol(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
  }
  if (mode == "pin" && argc == 4) return pin(std::atol(argv[2]), std::atoi(argv[3]));
  if (mode == "export" && argc == 3) {
    const std::string n = argv[2];
    const int e1 = store("/sys/class/gpio/export", n);
    const int e2 = store("/sys/class/gpio/gpio" + n + "/direction", "high");
    if (e1 != 0 || e2 != 0) {
      std::fprintf(stderr, "export %s: %s\n", n.c_str(), std::strerror(e1 != 0 ? e1 : e2));
      return 1;
    }
    return 0;
  }
  if (mode == "write" && argc == 4) {
    const int e = store(argv[2], argv[3]);
    if (e != 0) std::fprintf(stderr, "write %s: %s\n", argv[2], std::strerror(e));
    return e == 0 ? 0 : 1;
  }
  if (mode == "signals" && argc == 4) return signals(std::atol(argv[2]), std::atoi(argv[3]));
  if (mode == "watch" && argc == 7)
    return watch(argv[2], argv[3], argv[4], std::atoi(argv[5]), argv[6]);
  if (mode == "churn" && argc == 4) return churn(std::atol(argv[2]), argv[3]);
  if (mode == "sweep" && argc == 3) return sweep(std::atoi(argv[2]));
  if (mode == "across" && argc == 5) return across(argv[2], argv[3], argv[4]);
  std::fprintf(stderr,
               "usage: board_worker spi COUNT CHANNEL EXPECTED | pin COUNT PIN | export PIN |\n"
               "       write PATH TEXT | signals COUNT PIN | watch PIN EDGE HOW MS READY |\n"
               "       churn COUNT READY | sweep PIN | across PIN READY GO\n");
  return 2;
}
