// The spidev connection and the MCP3008 channel scan.
//
// Fixed buffers only: the transfer records live on the caller's stack and
// nothing here touches the heap, so a scan can run in a tight sampling loop.

#include "adcscan.h"

#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

extern "C" {
uint8_t mode = 0;
uint8_t bitsPerWord = 0;
uint32_t speed = 0;
// -1, not 0, so a transfer or close before spiOpen fails with EBADF
// instead of acting on standard input.
int spifd = -1;
uint32_t usleepdelay = 0;
}

namespace {

constexpr uint8_t kMode = SPI_MODE_0;
constexpr uint8_t kBitsPerWord = 8;
constexpr uint32_t kSpeedHz = 15625;

// The record layout and request numbers the driver on the board expects;
// a different ABI would silently garble every transfer.
static_assert(sizeof(spi_ioc_transfer) == 32);
static_assert(SPI_IOC_WR_MODE == 0x40016b01);
static_assert(SPI_IOC_RD_MODE == 0x80016b01);
static_assert(SPI_IOC_WR_BITS_PER_WORD == 0x40016b03);
static_assert(SPI_IOC_RD_BITS_PER_WORD == 0x80016b03);
static_assert(SPI_IOC_WR_MAX_SPEED_HZ == 0x40046b04);
static_assert(SPI_IOC_RD_MAX_SPEED_HZ == 0x80046b04);

// One byte per record, so the size field (14 bits) caps a message at 511
// records; 512 would wrap to a size of 0.
constexpr int kMaxLength = 511;

// The kernel's SPI_IOC_MESSAGE(n) worked out at run time: its macro sizes an
// array type by n, which a run-time n turns into a variable-length array.
constexpr unsigned long message_request(int records) {
  const unsigned long size = static_cast<unsigned long>(records) * sizeof(spi_ioc_transfer);
  const unsigned long field = size < (1UL << _IOC_SIZEBITS) ? size : 0;
  return _IOC(_IOC_WRITE, SPI_IOC_MAGIC, 0, field);
}
static_assert(message_request(3) == SPI_IOC_MESSAGE(3));
static_assert(message_request(kMaxLength) == SPI_IOC_MESSAGE(kMaxLength));
static_assert(message_request(3) == 0x40606b00);
static_assert(message_request(kMaxLength) == 0x7fe06b00);
static_assert(message_request(kMaxLength + 1) == 0x40006b00);

struct setting {
  unsigned long request;
  void *value;
  const char *failure;
  bool newline;
};

// Each write is followed by its read-back, which overwrites the global with
// what the driver actually holds.  The rate-write message has always gone
// out without a line end (whatever is printed next continues that line),
// and output parsed by callers stays as it was.
constexpr std::array<setting, 6> kSettings{{
    {SPI_IOC_WR_MODE, &mode, "Could not set SPIMode (WR)...ioctl fail", true},
    {SPI_IOC_RD_MODE, &mode, "Could not set SPIMode (RD)...ioctl fail", true},
    {SPI_IOC_WR_BITS_PER_WORD, &bitsPerWord, "Could not set SPI bitsPerWord (WR)...ioctl fail",
     true},
    {SPI_IOC_RD_BITS_PER_WORD, &bitsPerWord, "Could not set SPI bitsPerWord(RD)...ioctl fail",
     true},
    {SPI_IOC_WR_MAX_SPEED_HZ, &speed, "Could not set SPI speed (WR)...ioctl fail", false},
    {SPI_IOC_RD_MAX_SPEED_HZ, &speed, "Could not set SPI speed (RD)...ioctl fail", true},
}};

constexpr const char *kTransferFailure = "Problem transmitting spi data..ioctl\n";

// MCP3008 frame: start bit alone in byte 0, then SGL + channel in the top
// nibble of byte 1; the reply's B9..B8 land in bits 1-0 of byte 1 and
// B7..B0 fill byte 2.
constexpr uint8_t kStartByte = 0x01;
constexpr uint8_t kSingleEnded = 0x80;
constexpr int kFrameLength = 3;

// A device that keeps failing (unplugged, closed, never opened) must not
// hang the scan; five attempts ride out the occasional transient error.
constexpr int kMaxAttempts = 5;
constexpr int kMaxCount = 255;  // the entry index is one byte wide

void report_transfer_failure(int error) {
  errno = error;
  perror(kTransferFailure);
}

}  // namespace

extern "C" int spiOpen(const char *device) {
  mode = kMode;
  bitsPerWord = kBitsPerWord;
  speed = kSpeedHz;
  spifd = -1;
  // From the requested rate, before the driver has a say.
  usleepdelay = 1000000U / speed;

  if (device != nullptr) spifd = open(device, O_RDWR);
  if (spifd < 0) {
    spifd = -1;
    puts("could not open SPI device");
    return -1;
  }

  for (const setting &s : kSettings) {
    if (ioctl(spifd, s.request, s.value) < 0) {
      if (s.newline) {
        puts(s.failure);
      } else {
        (void)fputs(s.failure, stdout);
      }
      return -1;
    }
  }

  // Give the controller time to settle on the new clock before the first
  // transfer.  An interrupted sleep only shortens that margin.
  (void)usleep(usleepdelay);
  return 0;
}

extern "C" int spiWriteRead(unsigned char *data, int length) {
  if (length < 1 || length > kMaxLength) {
    report_transfer_failure(EINVAL);
    return -1;
  }
  if (data == nullptr) {
    report_transfer_failure(EFAULT);
    return -1;
  }
  // Not open: say so the same way everywhere (an emulator may not even
  // look at the descriptor of a request it does not know).
  if (spifd < 0) {
    report_transfer_failure(EBADF);
    return -1;
  }

  // Sized for the longest message so no stack size depends on the caller;
  // only the records in use are cleared and handed to the driver.
  std::array<spi_ioc_transfer, kMaxLength> records;
  const auto count = static_cast<size_t>(length);
  std::memset(records.data(), 0, count * sizeof(spi_ioc_transfer));
  for (size_t i = 0; i < count; ++i) {
    // Same address both ways: each byte is replaced by the one received
    // while it was shifted out.
    const auto address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(data + i));
    records[i].tx_buf = address;
    records[i].rx_buf = address;
    records[i].len = 1;
    records[i].speed_hz = speed;
    records[i].bits_per_word = bitsPerWord;
  }

  const int result = ioctl(spifd, message_request(length), records.data());
  if (result < 0) perror(kTransferFailure);
  return result;
}

extern "C" int spiClose(void) {
  int result = -1;
  if (spifd >= 0) {
    result = close(spifd);
  } else {
    errno = EBADF;
  }
  if (result < 0) puts("Could not close SPI device");
  // Even a failed close releases the number on Linux; forgetting it keeps a
  // later call from closing a descriptor the program has opened since.
  spifd = -1;
  return result;
}

extern "C" int get_mcp3008_channels(int32_t *values, int count, struct timespec *timestamp) {
  if (values == nullptr || timestamp == nullptr || count > kMaxCount) return -1;

  int failures = 0;
  for (int index = 0; index < count; ++index) {
    const auto command = static_cast<uint8_t>(kSingleEnded + 16 * (index & 7));
    std::array<uint8_t, kFrameLength> frame{};
    bool done = false;
    for (int attempt = 0; attempt < kMaxAttempts && !done; ++attempt) {
      // A failed exchange may have overwritten the frame; resend it whole.
      frame = {kStartByte, command, 0x00};
      done = spiWriteRead(frame.data(), kFrameLength) > 0;
      if (!done) ++failures;
    }
    // -1 is never a reading, so a dead channel can't pass for a voltage.
    values[index] = done ? (((frame[1] << 8) & 0x300) | frame[2]) : -1;
  }

  // The scan's only time mark; a failing clock is not worth losing the
  // readings over.
  (void)clock_gettime(CLOCK_REALTIME, timestamp);
  return failures;
}
