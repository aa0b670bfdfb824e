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
//
// Exits 0 when every result was the expected one, else 1 after saying
// what went wrong.
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

}  // namespace

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
  std::fprintf(stderr,
               "usage: board_worker spi COUNT CHANNEL EXPECTED | pin COUNT PIN | export PIN\n");
  return 2;
}
