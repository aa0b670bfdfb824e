// libFuzzer target over the virtual board, linked into the process: its
// configuration variables, then a sequence of file operations and requests
// on its paths through the ordinary libc calls, and control calls between
// them.  The board must answer every one with a result or an error, never
// crash or touch memory it was not given.
//
// Input: up to four variables (a byte picking the name, a length byte, the
// value), ended by 0xff; then operations, one opcode byte each:
//   0 open a board path into one of 8 slots (byte: which, below 80 a fixed
//     path, else pin (which - 80) / 2 % 40's value or direction; byte: flags)
//   1 write (byte: slot, byte: length, bytes)     2 read (slot, length)
//   3 close (slot)                                4 ioctl (slot, u32 request,
//                                                   64 argument bytes)
//   5 lseek (slot, byte: offset)                  6 a control call (bytes)
// Message requests get their buffer pointers aimed into a scratch area with
// room for any length they name, or null, as a caller's records would be.
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vboard.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// What the board reads from the environment; a trace file, a state file and
// a pass-through switch would reach outside the process, so they are left
// out.
constexpr const char* kVariables[] = {
    "VBOARD_CH0", "VBOARD_CH3", "VBOARD_CH7", "VBOARD_VREF", "VBOARD_PIN_CLK", "VBOARD_PIN_DOUT", "VBOARD_PIN_DIN",
    "VBOARD_PIN_CS", "VBOARD_DOUT_IDLE", "VBOARD_TRACE_LIMIT", "VBOARD_FAIL_OPEN", "VBOARD_MISSING",
    "VBOARD_EMPTY_VALUE", "VBOARD_SPIDEV_FAIL_OPEN", "VBOARD_SPIDEV_MISSING", "VBOARD_SPIDEV_FAIL_REQUEST",
    "VBOARD_SPIDEV_FAIL_TRANSFERS", "VBOARD_SPIDEV_DEVICES", "VBOARD_SPIDEV_READBACK_HZ",
    "VBOARD_SPIDEV_WORD_SIZES", "VBOARD_SPIDEV_BUFSIZ", "VBOARD_SPIDEV_SCRIBBLE", "VBOARD_SPIDEV_VANISH_AFTER",
};
constexpr std::size_t kVariableCount = sizeof kVariables / sizeof kVariables[0];

constexpr const char* kPaths[] = {
    "/sys/class/gpio/export", "/sys/class/gpio/unexport", "/dev/spidev0.0", "/dev/spidev0.1", "/dev/spidev1.0",
};
constexpr int kFlags[] = {O_RDONLY, O_WRONLY, O_RDWR, O_WRONLY | O_TRUNC, O_RDWR | O_APPEND};
constexpr std::size_t kScratch = std::size_t{1} << 17;

struct Input {
  const std::uint8_t* at;
  const std::uint8_t* end;
  bool empty() const { return at >= end; }
  std::uint8_t byte() { return at < end ? *at++ : 0; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(byte()) << (8 * i);
    return v;
  }
  std::string bytes(std::size_t n) {
    n = std::min<std::size_t>(n, static_cast<std::size_t>(end - at));
    std::string s(reinterpret_cast<const char*>(at), n);
    at += n;
    return s;
  }
};

std::string pinPath(int pin, const char* leaf) {
  return "/sys/class/gpio/gpio" + std::to_string(pin) + "/" + leaf;
}

void controlCall(Input& in) {
  const int which = in.byte() % 8;
  const int a = static_cast<std::int8_t>(in.byte());
  const int b = in.byte() | (in.byte() << 8);
  switch (which) {
    case 0: (void)vboard_set_code(a, b - 1); break;
    case 1: (void)vboard_set_pins(a, in.byte(), in.byte(), in.byte()); break;
    case 2: (void)vboard_set_voltage(a, (b - 1000) / 100.0); break;
    case 3: (void)vboard_fault_empty_value(a, b & 1); break;
    case 4: (void)vboard_spidev_fail_transfers(a, b % 3 - 1, EIO); break;
    case 5: (void)vboard_spidev_vanish_after("/dev/spidev0.0", a); break;
    case 6: (void)vboard_set_dout_idle(a); break;
    default: (void)vboard_spidev_fail_request("/dev/spidev0.0", in.u32(), b % 40); break;
  }
}

void request(int fd, Input& in, std::vector<std::uint8_t>& scratch) {
  const unsigned long number = in.u32();
  // The argument: as much room as the request's size field can name.
  std::vector<std::uint8_t> arg(std::max<std::size_t>(64, _IOC_SIZE(number)));
  std::string given = in.bytes(64);
  std::memcpy(arg.data(), given.data(), given.size());
  if (_IOC_TYPE(number) == SPI_IOC_MAGIC && _IOC_NR(number) == 0 && _IOC_DIR(number) == _IOC_WRITE) {
    const std::size_t records = _IOC_SIZE(number) / sizeof(spi_ioc_transfer);
    auto* r = reinterpret_cast<spi_ioc_transfer*>(arg.data());
    for (std::size_t i = 0; i < records; ++i) {
      const std::uint32_t length = r[i].len;
      const std::size_t room = std::min<std::size_t>(length, kScratch);
      const std::size_t offset = (r[i].tx_buf % 64) * 512 % (kScratch - room + 1);
      auto aim = [&](std::uint64_t bits) -> std::uint64_t {
        return bits % 5 == 0 ? 0 : reinterpret_cast<std::uintptr_t>(scratch.data() + offset);
      };
      r[i].tx_buf = aim(r[i].tx_buf);
      r[i].rx_buf = aim(r[i].rx_buf);
      // A length beyond the scratch area is one the caller has no room for.
      if (length > kScratch) r[i].len = static_cast<std::uint32_t>(kScratch);
    }
  }
  (void)ioctl(fd, number, arg.data());
}

void configure(Input& in, std::vector<const char*>& set) {
  for (int n = 0; n < 4 && !in.empty(); ++n) {
    const std::uint8_t pick = in.byte();
    if (pick == 0xff) break;
    const char* name = kVariables[pick % kVariableCount];
    const std::string value = in.bytes(in.byte() % 48);
    if (value.find('\0') != std::string::npos) continue;
    ::setenv(name, value.c_str(), 1);
    set.push_back(name);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::vector<std::uint8_t> scratch(kScratch);
  Input in{data, data + size};
  std::vector<const char*> set;
  configure(in, set);
  (void)vboard_reset();

  std::array<int, 8> slots;
  slots.fill(-1);
  char buffer[256];
  for (int steps = 0; steps < 256 && !in.empty(); ++steps) {
    const int op = in.byte() % 7;
    const int slot = in.byte() % 8;
    int& fd = slots[static_cast<std::size_t>(slot)];
    switch (op) {
      case 0: {
        const int which = in.byte();
        const int flags = kFlags[in.byte() % 5];
        std::string path;
        if (which < 80) {
          path = kPaths[which % 5];
        } else {
          path = pinPath((which - 80) / 2 % 40, which % 2 == 0 ? "value" : "direction");
        }
        if (fd >= 0) ::close(fd);
        fd = ::open(path.c_str(), flags | O_CLOEXEC);
        break;
      }
      case 1: {
        const std::string bytes = in.bytes(in.byte() % 32);
        if (fd >= 0) (void)::write(fd, bytes.data(), bytes.size());
        break;
      }
      case 2:
        if (fd >= 0) (void)::read(fd, buffer, in.byte() % sizeof buffer);
        break;
      case 3:
        if (fd >= 0) ::close(fd);
        fd = -1;
        break;
      case 4:
        if (fd >= 0) request(fd, in, scratch);
        break;
      case 5:
        if (fd >= 0) (void)::lseek(fd, in.byte() % 8, SEEK_SET);
        break;
      default:
        controlCall(in);
        break;
    }
  }
  for (int fd : slots) {
    if (fd >= 0) ::close(fd);
  }
  for (const char* name : set) ::unsetenv(name);
  return 0;
}
