// The board's spidev devices through bare requests, as any program drives
// them: the checks the driver makes and the frames the chip answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spidev.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vboard.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "fault_child.hpp"

namespace {

constexpr char kDevice[] = "/dev/spidev0.0";

// SPI_IOC_MESSAGE(n) for a run-time n (the kernel's macro wants a constant).
unsigned long message_request(std::size_t records) {
  return _IOC(_IOC_WRITE, SPI_IOC_MAGIC, 0, records * sizeof(spi_ioc_transfer));
}

spi_ioc_transfer record(void *tx, void *rx, std::uint32_t len) {
  spi_ioc_transfer x{};
  x.tx_buf = reinterpret_cast<std::uintptr_t>(tx);
  x.rx_buf = reinterpret_cast<std::uintptr_t>(rx);
  x.len = len;
  return x;
}

// The 10-bit reading in a converter reply.
int reading(const unsigned char *reply) { return ((reply[1] << 8) & 0x300) | reply[2]; }

class SpidevBoard : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vboard_reset(), 0);
    ASSERT_EQ(vboard_spidev_reset(), 0);
    ASSERT_EQ(vboard_set_code(0, 602), 0);
    ASSERT_EQ(vboard_set_code(1, 77), 0);
    fd_ = open(kDevice, O_RDWR);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
  }
  // Issues a message of `recs`; returns the result, errno in err_.
  int message(std::vector<spi_ioc_transfer> recs) {
    const int r = ioctl(fd_, message_request(recs.size()), recs.data());
    err_ = r < 0 ? errno : 0;
    return r;
  }
  // A frame kept open by cs_change on the last record, then `between`,
  // then a conversion of channel 1: its reading, or -1 when a message failed.
  int reading_after_kept_frame(const std::function<void()> &between) {
    std::array<unsigned char, 3> first{0x01, 0x80, 0x00};
    std::vector<spi_ioc_transfer> recs;
    for (auto &b : first) recs.push_back(record(&b, &b, 1));
    recs.back().cs_change = 1;
    if (message(recs) != 3 || reading(first.data()) != 602) return -1;
    between();
    std::array<unsigned char, 3> second{0x01, 0x90, 0x00};
    if (message({record(second.data(), second.data(), 3)}) != 3) return -1;
    return reading(second.data());
  }
  int fd_ = -1;
  int err_ = 0;
};

TEST_F(SpidevBoard, ChipSelectSpansTheWholeMessageUnlessARecordDropsIt) {
  // One three-byte record and three one-byte records read alike.
  std::array<unsigned char, 3> one{0x01, 0x80, 0x00};
  ASSERT_EQ(message({record(one.data(), one.data(), 3)}), 3);
  EXPECT_EQ(reading(one.data()), 602);

  // Two frames in one message: while chip select stays low the chip is
  // still shifting out its first answer and ignores the second request.
  std::array<unsigned char, 6> two{0x01, 0x80, 0x00, 0x01, 0x90, 0x00};
  std::vector<spi_ioc_transfer> recs;
  for (auto &b : two) recs.push_back(record(&b, &b, 1));
  ASSERT_EQ(message(recs), 6);
  EXPECT_EQ(reading(two.data()), 602);
  EXPECT_NE(reading(two.data() + 3), 77);

  // cs_change on the third record ends the first frame there.
  two = {0x01, 0x80, 0x00, 0x01, 0x90, 0x00};
  recs[2].cs_change = 1;
  ASSERT_EQ(message(recs), 6);
  EXPECT_EQ(reading(two.data()), 602);
  EXPECT_EQ(reading(two.data() + 3), 77);
}

TEST_F(SpidevBoard, EverySettingWrittenReleasesAChipSelectAMessageKept) {
  // The second message continues the first frame: it reads no fresh
  // conversion, though both messages went through.
  const auto continues = [this](const std::function<void()> &between) {
    const int r = reading_after_kept_frame(between);
    EXPECT_GE(r, 0);
    EXPECT_NE(r, 77);
  };
  continues([] {});

  std::uint8_t mode = SPI_MODE_0, lsb = 0, bits = 8;
  std::uint32_t mode32 = SPI_MODE_0, hz = 1000000;
  const std::vector<std::pair<unsigned long, void *>> settings{{SPI_IOC_WR_MODE, &mode},
                                                               {SPI_IOC_WR_MODE32, &mode32},
                                                               {SPI_IOC_WR_LSB_FIRST, &lsb},
                                                               {SPI_IOC_WR_BITS_PER_WORD, &bits},
                                                               {SPI_IOC_WR_MAX_SPEED_HZ, &hz}};
  for (const auto &[request, value] : settings) {
    int r = -1;
    EXPECT_EQ(reading_after_kept_frame([&] { r = ioctl(fd_, request, value); }), 77)
        << std::hex << request;
    EXPECT_EQ(r, 0);
  }

  // A setting refused before the core's setup leaves the frame open, as
  // does reading one back.
  std::uint8_t three_wire = SPI_3WIRE;
  continues([&] { EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_MODE, &three_wire), -1); });
  continues([&] { EXPECT_EQ(ioctl(fd_, SPI_IOC_RD_MODE, &mode), 0); });
}

TEST_F(SpidevBoard, RecordsAreCheckedBeforeAnythingMoves) {
  EXPECT_EQ(ioctl(fd_, message_request(0), nullptr), 0);
  // A size that is not a whole number of records.
  EXPECT_EQ(ioctl(fd_, _IOC(_IOC_WRITE, SPI_IOC_MAGIC, 0, 33), nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ioctl(fd_, _IOC(_IOC_WRITE, SPI_IOC_MAGIC, 7, 1), nullptr), -1);
  EXPECT_EQ(errno, ENOTTY);
  EXPECT_EQ(ioctl(fd_, TCGETS, nullptr), -1);
  EXPECT_EQ(errno, ENOTTY);

  std::array<unsigned char, 3> frame{0x01, 0x80, 0x00};
  auto x = record(frame.data(), frame.data(), 3);
  x.bits_per_word = 16;  // the controller moves 8-bit words only
  EXPECT_EQ(message({x}), -1);
  EXPECT_EQ(err_, EINVAL);
  x.bits_per_word = 0;
  x.tx_nbits = 2;  // one data line each way
  EXPECT_EQ(message({x}), -1);
  EXPECT_EQ(err_, EINVAL);
  EXPECT_EQ(frame, (std::array<unsigned char, 3>{0x01, 0x80, 0x00}));

  // The driver's buffer holds 4096 bytes each way.
  std::vector<unsigned char> big(4097, 0);
  EXPECT_EQ(message({record(big.data(), big.data(), 4096)}), 4096);
  EXPECT_EQ(message({record(big.data(), nullptr, 4097)}), -1);
  EXPECT_EQ(err_, EMSGSIZE);
  EXPECT_EQ(message({record(big.data(), nullptr, 2048), record(nullptr, big.data(), 2048),
                     record(big.data(), nullptr, 2049)}),
            -1);
  EXPECT_EQ(err_, EMSGSIZE);

  // Rate and word size 0 mean the device's own; a rate is never refused.
  frame = {0x01, 0x80, 0x00};
  x = record(frame.data(), frame.data(), 3);
  x.speed_hz = 0;
  EXPECT_EQ(message({x}), 3);
  EXPECT_EQ(reading(frame.data()), 602);
}

// A buffer the program may not use faults in the program, before the board
// lock: one that survives the fault goes on using the board.
TEST_F(SpidevBoard, ABadBufferFaultsBeforeTheBoardIsTaken) {
  const long page = sysconf(_SC_PAGESIZE);
  auto *none = static_cast<unsigned char *>(
      mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  auto *read_only = static_cast<unsigned char *>(
      mmap(nullptr, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(none, MAP_FAILED);
  ASSERT_NE(read_only, MAP_FAILED);
  unsigned char tx[3] = {1, 0x80, 0}, rx[3] = {};
  const std::vector<std::vector<spi_ioc_transfer>> bad = {
      {record(none, rx, 3)},                                // nothing to send from
      {record(tx, read_only, 3)},                           // nowhere to receive into
      {record(tx, rx, 3), record(tx, none + page - 1, 2)},  // the next page
  };
  for (std::size_t i = 0; i < bad.size(); ++i) {
    EXPECT_EQ(fault_child::survive(
                  [&] { ioctl(fd_, message_request(bad[i].size()), bad[i].data()); },
                  [&] { return message({record(tx, rx, 3)}) == 3 && reading(rx) == 602; }),
              "")
        << "message " << i;
  }
  // A setting read back into a read-only page.
  EXPECT_EQ(fault_child::survive([&] { ioctl(fd_, SPI_IOC_RD_MODE, read_only); },
                                 [&] { return message({record(tx, rx, 3)}) == 3; }),
            "");
  EXPECT_EQ(message({record(tx, rx, 3)}), 3);
  EXPECT_EQ(reading(rx), 602);
  munmap(none, page);
  munmap(read_only, page);
}

// A read or write longer than a page: the board copies what the kernel
// would copy, touching it before the lock, and no more.
TEST_F(SpidevBoard, ALargeTransferTouchesWhatTheKernelCopiesBeforeTheBoardIsTaken) {
  close(fd_);
  setenv("VBOARD_SPIDEV_BUFSIZ", "16384", 1);
  ASSERT_EQ(vboard_spidev_reset(), 0);
  unsetenv("VBOARD_SPIDEV_BUFSIZ");
  fd_ = open(kDevice, O_RDWR);
  ASSERT_GE(fd_, 0);
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  // Two pages to use, then one that may not be used.
  auto *mem = static_cast<unsigned char *>(
      mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(mem, MAP_FAILED);
  ASSERT_EQ(mprotect(mem + 2 * page, page, PROT_NONE), 0);
  const int chip = open("/sys/class/gpio/gpiochip0/ngpio", O_RDONLY);
  const int exporter = open("/sys/class/gpio/export", O_WRONLY);
  ASSERT_GE(chip, 0);
  ASSERT_GE(exporter, 0);
  unsigned char tx[3] = {1, 0x80, 0}, rx[3] = {};
  const auto converts = [&] { return message({record(tx, rx, 3)}) == 3 && reading(rx) == 602; };
  const std::vector<std::function<void()>> bad = {
      [&] { (void)!read(fd_, mem, 3 * page); },               // a transfer into the bad page
      [&] { (void)!write(fd_, mem + page, 2 * page); },       // and out of it
      [&] { (void)!write(exporter, mem + 2 * page, 5000); },  // sysfs copies its first page
  };
  for (std::size_t i = 0; i < bad.size(); ++i) {
    EXPECT_EQ(fault_child::survive(bad[i], converts), "") << "transfer " << i;
  }
  // What the kernel does not copy is not touched: a refused transfer, and
  // the room past what a file has to give.
  EXPECT_EQ(read(fd_, mem + 2 * page, 16385), -1);
  EXPECT_EQ(errno, EMSGSIZE);
  EXPECT_EQ(read(chip, mem + page, 2 * page), 3);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(mem + page), 3), "54\n");
  EXPECT_EQ(write(exporter, mem, 2 * page), -1);  // read as "" then a page of NULs
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(converts());
  close(chip);
  close(exporter);
  munmap(mem, 3 * page);
}

TEST_F(SpidevBoard, SettingsAreCheckedAndReadBack) {
  std::uint8_t byte = 0;
  std::uint32_t word = 0;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_MAX_SPEED_HZ, &word), -1);  // 0 Hz
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_BITS_PER_WORD, &byte), 0);  // 0 is the default
  byte = 99;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_RD_BITS_PER_WORD, &byte), 0);
  EXPECT_EQ(byte, 8);
  byte = SPI_3WIRE;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_MODE, &byte), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_MODE, nullptr), -1);
  EXPECT_EQ(errno, EFAULT);

  // Mode 3 samples on the same edge as mode 0, so the chip still answers.
  byte = SPI_MODE_3;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_MODE, &byte), 0);
  byte = 0;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_RD_MODE, &byte), 0);
  EXPECT_EQ(byte, SPI_MODE_3);
  std::array<unsigned char, 3> frame{0x01, 0x80, 0x00};
  EXPECT_EQ(message({record(frame.data(), frame.data(), 3)}), 3);
  EXPECT_EQ(reading(frame.data()), 602);

  // Settings belong to the device, not to the descriptor.
  word = 500000;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_MAX_SPEED_HZ, &word), 0);
  const int other = open(kDevice, O_RDONLY);
  ASSERT_GE(other, 0);
  word = 0;
  EXPECT_EQ(ioctl(other, SPI_IOC_RD_MAX_SPEED_HZ, &word), 0);
  EXPECT_EQ(word, 500000U);
  close(other);
}

TEST_F(SpidevBoard, ReadAndWriteAreHalfDuplexTransfers) {
  std::array<unsigned char, 3> frame{0x01, 0x80, 0x00};
  EXPECT_EQ(write(fd_, frame.data(), 3), 3);
  EXPECT_EQ(read(fd_, frame.data(), 3), 3);
  std::vector<unsigned char> big(4097);
  EXPECT_EQ(write(fd_, big.data(), big.size()), -1);
  EXPECT_EQ(errno, EMSGSIZE);
}

TEST_F(SpidevBoard, EnvironmentChoosesDevicesAndDriverQuirks) {
  close(fd_);
  fd_ = -1;
  setenv("VBOARD_SPIDEV_DEVICES", "/dev/spidev0.1,/dev/spidev2.0", 1);
  setenv("VBOARD_SPIDEV_READBACK_HZ", "15600", 1);
  setenv("VBOARD_SPIDEV_BUFSIZ", "64", 1);
  EXPECT_EQ(vboard_spidev_reset(), 0);
  EXPECT_EQ(open(kDevice, O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
  struct stat st {};
  ASSERT_EQ(stat("/dev/spidev2.0", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(major(st.st_rdev), 153U);  // the driver's, as ls -l shows it
  EXPECT_EQ(minor(st.st_rdev), 1U);    // the second device
  fd_ = open("/dev/spidev2.0", O_RDWR);
  ASSERT_GE(fd_, 0);
  std::uint32_t hz = 15625;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_MAX_SPEED_HZ, &hz), 0);
  EXPECT_EQ(ioctl(fd_, SPI_IOC_RD_MAX_SPEED_HZ, &hz), 0);
  EXPECT_EQ(hz, 15600U);
  std::vector<unsigned char> bytes(65);
  EXPECT_EQ(message({record(bytes.data(), bytes.data(), 65)}), -1);
  EXPECT_EQ(err_, EMSGSIZE);

  // A malformed value is reported and its default kept.
  setenv("VBOARD_SPIDEV_WORD_SIZES", "8,abc", 1);
  errno = 0;
  EXPECT_EQ(vboard_spidev_reset(), -1);
  EXPECT_EQ(errno, EINVAL);
  for (const char *name : {"VBOARD_SPIDEV_DEVICES", "VBOARD_SPIDEV_READBACK_HZ",
                           "VBOARD_SPIDEV_BUFSIZ", "VBOARD_SPIDEV_WORD_SIZES"}) {
    unsetenv(name);
  }
  EXPECT_EQ(vboard_spidev_reset(), 0);
  // The device this descriptor belonged to is gone with the reset.
  EXPECT_EQ(message({record(bytes.data(), bytes.data(), 3)}), -1);
  EXPECT_EQ(err_, ESHUTDOWN);
}

TEST_F(SpidevBoard, WideDataLinesAreDroppedAndTheRateComesBackAtTheLastClose) {
  // A controller without dual or quad lines takes such a mode and goes on
  // with one line; the bits never read back.
  std::uint32_t mode = SPI_MODE_3 | SPI_TX_DUAL | SPI_RX_QUAD;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_MODE32, &mode), 0);
  mode = 0;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_RD_MODE32, &mode), 0);
  EXPECT_EQ(mode, static_cast<std::uint32_t>(SPI_MODE_3));
  // Bits the driver does not know are refused before anything changes.
  mode = SPI_CS_WORD;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_MODE32, &mode), -1);
  EXPECT_EQ(errno, EINVAL);
  std::uint8_t byte = 0;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_RD_MODE, &byte), 0);
  EXPECT_EQ(byte, SPI_MODE_3);

  // The rate is the device's while any file is open on it, and its
  // maximum again once the last one closes; mode and word size stay.
  std::uint32_t hz = 15625;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_MAX_SPEED_HZ, &hz), 0);
  const int other = open(kDevice, O_RDWR);
  ASSERT_GE(other, 0);
  close(fd_);
  fd_ = other;
  hz = 0;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_RD_MAX_SPEED_HZ, &hz), 0);
  EXPECT_EQ(hz, 15625U);
  const int copy = dup(fd_);  // one open file, two descriptors
  close(fd_);
  fd_ = copy;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_RD_MAX_SPEED_HZ, &hz), 0);
  EXPECT_EQ(hz, 15625U);
  close(fd_);
  fd_ = open(kDevice, O_RDWR);
  ASSERT_GE(fd_, 0);
  EXPECT_EQ(ioctl(fd_, SPI_IOC_RD_MAX_SPEED_HZ, &hz), 0);
  EXPECT_EQ(hz, 125000000U);
  EXPECT_EQ(ioctl(fd_, SPI_IOC_RD_MODE, &byte), 0);
  EXPECT_EQ(byte, SPI_MODE_3);
}

// The strict profile: the board holds programs to what the target does.
// What a run of messages gave back: each result, then every byte received,
// and what the trace shows of each request (its bytes each way).
struct replies {
  std::vector<int> results;
  std::vector<unsigned char> bytes;
  std::vector<std::string> traced;
};

// A converter command starting somewhere in a few bytes, zeros to clock the
// result out, or bytes that are no command.
unsigned char some_byte(std::mt19937 &rng) {
  switch (rng() % 5) {
    case 0:
      return 0x01;
    case 1:
      return static_cast<unsigned char>(0x80 | ((rng() % 16) << 3));
    case 2:
    case 3:
      return 0;
    default:
      return static_cast<unsigned char>(rng());
  }
}

// Writes `text` to a file of the board's GPIO tree; false when it failed.
bool store(const std::string &path, const std::string &text) {
  const int fd = open(path.c_str(), O_WRONLY);
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok;
}

// Another program bit-banging the converter's clock, DIN or chip select
// through GPIO (pins 4, 5 and 17) between messages: a frame half done, a
// clock left at its active level.
void drive_a_line(std::mt19937 &rng) {
  static constexpr int kPins[] = {4, 5, 17};
  const int pin = kPins[rng() % 3];
  const std::string dir = "/sys/class/gpio/gpio" + std::to_string(pin);
  (void)store("/sys/class/gpio/export", std::to_string(pin));
  (void)store(dir + "/direction", "out");
  (void)store(dir + "/value", rng() % 2 == 0 ? "1" : "0");
}

// A converter frame in `len` words of `bits` bits: the start bit anywhere
// it leaves room for the command and the sample, single-ended or
// differential, zeros after it or noise the chip ignores.
void converter_frame(std::mt19937 &rng, std::vector<unsigned char> &tx, unsigned bits) {
  const unsigned total = static_cast<unsigned>(tx.size()) * bits;
  const unsigned start = rng() % (total > 6 ? total - 6 : 1);
  const unsigned command = 0x10U | (rng() % 16);
  const bool noise = rng() % 3 == 0;
  std::fill(tx.begin(), tx.end(), 0);
  for (unsigned k = 0; k < total; ++k) {
    bool bit = k >= start && k <= start + 4 ? ((command >> (start + 4 - k)) & 1U) != 0
                                            : k > start + 4 && noise && rng() % 2 == 0;
    if (bit) tx[k / bits] |= static_cast<unsigned char>(1U << (bits - 1 - k % bits));
  }
}

// Random messages on a board just powered on: modes 0 to 3 with or without
// LSB-first, chip select polarity, no chip select and loopback; word sizes
// 1 to 16; records without a buffer either way; cs_change in the middle and
// at the end, so frames run on across records and messages; whole converter
// frames with the start bit anywhere; lines another program left driven.
replies random_messages(unsigned seed) {
  replies out;
  if (vboard_reset() != 0 || vboard_spidev_set_word_sizes(0xffffU) != 0) return out;
  for (int ch = 0; ch < 8; ++ch) (void)vboard_set_code(ch, 37 + 131 * ch);
  vboard_trace_clear();
  const int fd = open(kDevice, O_RDWR);
  if (fd < 0) return out;
  std::mt19937 rng(seed);
  for (int m = 0; m < 150; ++m) {
    if (rng() % 5 == 0) {
      std::uint32_t mode = rng() % 4;
      if (rng() % 4 == 0) mode |= SPI_LSB_FIRST;
      if (rng() % 8 == 0) mode |= SPI_CS_HIGH;
      if (rng() % 8 == 0) mode |= SPI_NO_CS;
      if (rng() % 10 == 0) mode |= SPI_LOOP;
      out.results.push_back(ioctl(fd, SPI_IOC_WR_MODE32, &mode));
    }
    if (rng() % 12 == 0) drive_a_line(rng);
    const std::size_t n = 1 + rng() % 4;
    std::vector<spi_ioc_transfer> recs(n);
    std::vector<std::vector<unsigned char>> tx(n), rx(n);
    for (std::size_t i = 0; i < n; ++i) {
      const bool frame = rng() % 3 == 0;
      const unsigned bits = rng() % 4 == 0 ? 1 + rng() % (frame ? 8 : 16) : 0;
      const std::size_t len = frame ? 3 + rng() % (bits == 0 || bits >= 6 ? 3 : 8)
                                    : (bits > 8 ? 2 : 1) * (1 + rng() % 4);
      tx[i].resize(len);
      rx[i].assign(len, 0xa5);
      for (auto &b : tx[i]) b = some_byte(rng);
      if (frame) converter_frame(rng, tx[i], bits == 0 ? 8 : bits);
      recs[i] = record(rng() % 8 == 0 ? nullptr : tx[i].data(),
                       rng() % 8 == 0 ? nullptr : rx[i].data(), static_cast<std::uint32_t>(len));
      recs[i].bits_per_word = static_cast<std::uint8_t>(bits);
      recs[i].cs_change = rng() % 4 == 0 ? 1 : 0;
      recs[i].speed_hz = rng() % 2 == 0 ? 0 : 50000 + rng() % 4000000;
    }
    out.results.push_back(ioctl(fd, message_request(n), recs.data()));
    for (const auto &r : rx) out.bytes.insert(out.bytes.end(), r.begin(), r.end());
  }
  close(fd);
  for (std::size_t i = 0; i < vboard_trace_count(); ++i) {
    vboard_event e{};
    if (vboard_trace_get(i, &e) != 0 || e.op != VBOARD_OP_IOCTL) continue;
    out.traced.push_back(std::to_string(e.request) + " " + std::to_string(e.bytes) + " " +
                         std::to_string(e.result) + " " + std::to_string(e.err) + " " +
                         std::string(reinterpret_cast<const char *>(e.data), e.data_len));
  }
  return out;
}

// Where two runs of the same messages first differ, or null.
template <typename T>
const char *first_difference(const std::vector<T> &a, const std::vector<T> &b, const char *what,
                             char (&where)[96]) {
  if (a == b) return nullptr;
  std::size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  std::snprintf(where, sizeof where, "%s differ from number %zu on", what, i);
  return where;
}

// The messages of `seed` without and then with the wires recorded, in a
// child process (a capture, once open, stays open for the process): its
// exit status is 0 when both runs answered alike.
int compare_recorded(unsigned seed, const std::string &capture) {
  return fault_child::in_child(
      [&] {
        const replies whole = random_messages(seed);
        setenv("VBOARD_CAPTURE_LIMIT", "1000000000", 1);
        setenv("VBOARD_CAPTURE", capture.c_str(), 1);
        const replies edges = random_messages(seed);
        std::error_code ec;
        char where[96];
        const char *differ =
            whole.results.empty() ? "no message went"
            : first_difference(whole.results, edges.results, "results", where) != nullptr ? where
            : first_difference(whole.bytes, edges.bytes, "bytes received", where) != nullptr
                ? where
            : first_difference(whole.traced, edges.traced, "traced requests", where) != nullptr
                ? where
            // The recorded run did clock the edges: the capture holds them.
            : std::filesystem::file_size(capture, ec) < 100000 ? "the capture is short"
                                                               : nullptr;
        if (differ != nullptr) std::fprintf(stderr, "seed %u: %s\n", seed, differ);
        return differ != nullptr ? 1 : 0;
      },
      300);
}

// While the wires are recorded the chip is clocked edge by edge; otherwise
// a word goes through it whole. Both must answer alike, byte for byte.
TEST_F(SpidevBoard, MessagesAnswerAlikeWhetherTheWiresAreRecordedOrNot) {
  char tmpl[] = "/tmp/vboard-spidev-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string capture = std::string(tmpl) + "/wires.vcd";
  for (unsigned seed = 1; seed <= 12; ++seed) {
    EXPECT_EQ(compare_recorded(seed, capture), 0) << "seed " << seed;
    std::error_code ec;
    std::filesystem::remove(capture, ec);
  }
  std::filesystem::remove_all(tmpl);
}

// Once the trace is full an event only takes its number, and a message
// keeps no bytes for it. Room made again (a clear) must be seen by the
// very next message on a device opened while the trace was full: its
// event is kept, with the frame's bytes both ways and the number that
// follows every event the full trace let go.
TEST_F(SpidevBoard, AMessageIsTracedAgainOnceTheFullTraceIsCleared) {
  close(fd_);
  fd_ = -1;
  ASSERT_EQ(setenv("VBOARD_TRACE_LIMIT", "2", 1), 0);
  ASSERT_EQ(vboard_reset(), 0);
  ASSERT_EQ(unsetenv("VBOARD_TRACE_LIMIT"), 0);
  ASSERT_EQ(vboard_set_code(0, 602), 0);
  vboard_trace_clear();
  fd_ = open(kDevice, O_RDWR);
  ASSERT_GE(fd_, 0);
  std::array<unsigned char, 3> frame{};
  for (int i = 0; i < 4; ++i) {
    frame = {0x01, 0x80, 0x00};
    ASSERT_EQ(message({record(frame.data(), frame.data(), 3)}), 3);
    EXPECT_EQ(reading(frame.data()), 602);
  }
  vboard_event opened{};
  ASSERT_EQ(vboard_trace_count(), 2U);
  ASSERT_EQ(vboard_trace_get(0, &opened), 0);
  EXPECT_EQ(opened.op, VBOARD_OP_OPEN);
  EXPECT_EQ(vboard_trace_dropped(), 3U);

  vboard_trace_clear();
  std::array<unsigned char, 3> tx{0x01, 0x80, 0x00}, rx{};
  ASSERT_EQ(message({record(tx.data(), rx.data(), 3)}), 3);
  ASSERT_EQ(vboard_trace_count(), 1U);
  vboard_event e{};
  ASSERT_EQ(vboard_trace_get(0, &e), 0);
  EXPECT_EQ(e.op, VBOARD_OP_IOCTL);
  EXPECT_EQ(e.seq, opened.seq + 5);
  EXPECT_EQ(e.bytes, 3U);
  ASSERT_EQ(e.data_len, 6U);
  EXPECT_EQ(std::memcmp(e.data, tx.data(), 3), 0);
  EXPECT_EQ(std::memcmp(e.data + 3, rx.data(), 3), 0);
  EXPECT_EQ(reading(rx.data()), 602);

  // Full again after two: the third message only counts.
  ASSERT_EQ(message({record(tx.data(), rx.data(), 3)}), 3);
  ASSERT_EQ(message({record(tx.data(), rx.data(), 3)}), 3);
  EXPECT_EQ(vboard_trace_count(), 2U);
  EXPECT_EQ(vboard_trace_dropped(), 1U);
  ASSERT_EQ(vboard_reset(), 0);  // back to the default limit for the next cases
}

class StrictSpidev : public SpidevBoard {
 protected:
  void SetUp() override {
    setenv("VBOARD_STRICT", "1", 1);
    SpidevBoard::SetUp();
    vboard_trace_clear();
  }
  void TearDown() override {
    SpidevBoard::TearDown();
    unsetenv("VBOARD_STRICT");
    unsetenv("VBOARD_VDD");
    vboard_reset();
  }
  // One converter frame of channel 0 at `hz`; the reading, or -1.
  int frame_at(std::uint32_t hz) {
    std::array<unsigned char, 3> frame{0x01, 0x80, 0x00};
    auto x = record(frame.data(), frame.data(), 3);
    x.speed_hz = hz;
    return message({x}) == 3 ? reading(frame.data()) : -1;
  }
  // Back to the environment's configuration, as SetUp leaves it.
  void reopen() {
    close(fd_);
    ASSERT_EQ(vboard_reset(), 0);
    ASSERT_EQ(vboard_set_code(0, 602), 0);
    fd_ = open(kDevice, O_RDWR);
    ASSERT_GE(fd_, 0);
    vboard_trace_clear();
  }
  // The notes in the trace since the last clear, one reason each.
  std::vector<std::string> notes() {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < vboard_trace_count(); ++i) {
      vboard_event e{};
      if (vboard_trace_get(i, &e) == 0 && e.op == VBOARD_OP_NOTE) {
        out.emplace_back(std::string(e.file) + ": " +
                         std::string(reinterpret_cast<const char *>(e.data), e.data_len));
      }
    }
    vboard_trace_clear();
    return out;
  }
};

TEST_F(StrictSpidev, TheTargetControllerRefusesLsbFirstAndLoopback) {
  std::uint8_t byte = 1;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_LSB_FIRST, &byte), -1);
  EXPECT_EQ(errno, EINVAL);
  byte = SPI_MODE_0 | SPI_LOOP;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_MODE, &byte), -1);
  EXPECT_EQ(errno, EINVAL);
  std::uint32_t mode = SPI_LSB_FIRST;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_MODE32, &mode), -1);
  EXPECT_EQ(errno, EINVAL);
  const auto told = notes();
  ASSERT_EQ(told.size(), 3U);
  EXPECT_EQ(told[0], "/dev/spidev0.0: LSB-first refused");
  EXPECT_EQ(told[1], "/dev/spidev0.0: mode 0x20: loopback refused");
  EXPECT_EQ(told[2], "/dev/spidev0.0: mode 0x8: LSB-first refused");
  // What it has is kept, and clearing LSB-first is no request to refuse.
  byte = 0;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_LSB_FIRST, &byte), 0);
  byte = SPI_MODE_3 | SPI_CS_HIGH;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_MODE, &byte), 0);
  byte = SPI_NO_CS;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_MODE, &byte), 0);
  EXPECT_TRUE(notes().empty());

  // The default profile's controller has both.
  unsetenv("VBOARD_STRICT");
  reopen();
  byte = 1;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_LSB_FIRST, &byte), 0);
  byte = SPI_LOOP;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_WR_MODE, &byte), 0);
}

// The target's chip selects are GPIOs, active low: SPI_CS_HIGH is taken but
// never read back, and the chip stays selected by a low line.
TEST_F(StrictSpidev, GpioChipSelectsHideCsHighAndKeepTheirPolarity) {
  for (const bool wide : {false, true}) {
    std::uint32_t mode = SPI_MODE_3 | SPI_CS_HIGH;
    if (wide) {
      ASSERT_EQ(ioctl(fd_, SPI_IOC_WR_MODE32, &mode), 0);
    } else {
      std::uint8_t byte = static_cast<std::uint8_t>(mode);
      ASSERT_EQ(ioctl(fd_, SPI_IOC_WR_MODE, &byte), 0);
    }
    std::uint8_t byte = 0xff;
    std::uint32_t word = 0xffffffff;
    EXPECT_EQ(ioctl(fd_, SPI_IOC_RD_MODE, &byte), 0);
    EXPECT_EQ(byte, SPI_MODE_3);
    EXPECT_EQ(ioctl(fd_, SPI_IOC_RD_MODE32, &word), 0);
    EXPECT_EQ(word, static_cast<std::uint32_t>(SPI_MODE_3));
    EXPECT_EQ(frame_at(1000000), 602) << (wide ? "MODE32" : "MODE");
  }
  EXPECT_TRUE(notes().empty());

  // A controller that drives its own chip selects inverts the line: the
  // chip, selected by a low line, then sees no frame.
  unsetenv("VBOARD_STRICT");
  reopen();
  std::uint8_t byte = SPI_MODE_0 | SPI_CS_HIGH;
  ASSERT_EQ(ioctl(fd_, SPI_IOC_WR_MODE, &byte), 0);
  byte = 0;
  EXPECT_EQ(ioctl(fd_, SPI_IOC_RD_MODE, &byte), 0);
  EXPECT_EQ(byte, SPI_CS_HIGH);
  EXPECT_NE(frame_at(1000000), 602);
}

TEST_F(StrictSpidev, EachRecordTakesACacheLineOfTheMessageBuffer) {
  std::uint32_t hz = 1000000;  // the chip cannot follow the power-on rate
  ASSERT_EQ(ioctl(fd_, SPI_IOC_WR_MAX_SPEED_HZ, &hz), 0);
  // 128 one-byte records each way fill the 4096 bytes exactly.
  std::vector<unsigned char> bytes(129, 0);
  std::vector<spi_ioc_transfer> recs;
  for (std::size_t i = 0; i < 128; ++i) recs.push_back(record(&bytes[i], &bytes[i], 1));
  EXPECT_EQ(message(recs), 128);
  EXPECT_TRUE(notes().empty());
  recs.push_back(record(&bytes[128], &bytes[128], 1));
  EXPECT_EQ(message(recs), -1);
  EXPECT_EQ(err_, EMSGSIZE);
  const auto told = notes();
  ASSERT_EQ(told.size(), 1U);
  EXPECT_EQ(told[0], "/dev/spidev0.0: record 128: 4128 > 4096 bytes");
  // A record of 33 bytes takes two lines; the sizes themselves are as before.
  recs = {record(bytes.data(), nullptr, 33)};
  for (int i = 0; i < 127; ++i) recs.push_back(record(bytes.data(), nullptr, 1));
  EXPECT_EQ(message(recs), -1);
  EXPECT_EQ(err_, EMSGSIZE);
  recs.pop_back();
  EXPECT_EQ(message(recs), 33 + 126);
  notes();
  std::vector<unsigned char> big(4096);
  EXPECT_EQ(message({record(big.data(), big.data(), 4096)}), 4096);
}

TEST_F(StrictSpidev, AClockTheChipCannotFollowGivesWrongCodesAndSaysWhy) {
  // At 3.3 V the chip's limit lies between 1.35 MHz (2.7 V) and 3.6 MHz
  // (5 V): 1.94 MHz. The controller gives 250 MHz over an even divisor.
  EXPECT_EQ(frame_at(15625), 602);
  EXPECT_EQ(frame_at(1900000), 602);  // 1.89 MHz on the wire
  EXPECT_TRUE(notes().empty());
  const int fast = frame_at(2000000);  // 1.98 MHz
  EXPECT_NE(fast, 602);
  EXPECT_NE(fast, -1);
  auto told = notes();
  ASSERT_EQ(told.size(), 1U);
  EXPECT_EQ(told[0], "mcp3008: clock 1.98 MHz > 1.94 MHz max");

  // At 5 V the chip takes 3.5 MHz but not 3.7.
  setenv("VBOARD_VDD", "5", 1);
  reopen();
  EXPECT_EQ(frame_at(3500000), 602);
  EXPECT_TRUE(notes().empty());
  EXPECT_NE(frame_at(3700000), 602);
  told = notes();
  ASSERT_EQ(told.size(), 1U);
  EXPECT_EQ(told[0], "mcp3008: clock 3.68 MHz > 3.6 MHz max");

  // A supply the chip does not run on is refused.
  setenv("VBOARD_VDD", "2.5", 1);
  EXPECT_EQ(vboard_reset(), -1);
}

TEST_F(StrictSpidev, AConversionClockedTooSlowlyDroopsAndSaysWhy) {
  // The ten data bits must be out within 1.2 ms of the sample: 10 kHz does
  // it (B0 after 1 ms), 5 kHz does not (B3 comes 1.4 ms after the sample).
  EXPECT_EQ(frame_at(10000), 602);
  EXPECT_TRUE(notes().empty());
  const int slow = frame_at(5000);
  EXPECT_LT(slow, 602);
  EXPECT_EQ(slow, 602 & ~0xf);  // B3..B0 read 0
  const auto told = notes();
  ASSERT_EQ(told.size(), 1U);
  EXPECT_EQ(told[0], "mcp3008: droop: B3 at 1.4 ms > 1.2 ms");
}

TEST_F(StrictSpidev, ModesOtherThanZeroAndThreeGiveWrongCodesAndSayWhy) {
  for (std::uint8_t m : {SPI_MODE_1, SPI_MODE_2}) {
    std::uint8_t byte = m;
    ASSERT_EQ(ioctl(fd_, SPI_IOC_WR_MODE, &byte), 0);
    EXPECT_NE(frame_at(15625), 602) << "mode " << int{m};
    const auto told = notes();
    ASSERT_EQ(told.size(), 1U);
    EXPECT_EQ(told[0], "/dev/spidev0.0: SPI mode " + std::to_string(m) + ": chip takes 0 or 3");
  }
  std::uint8_t byte = SPI_MODE_3;
  ASSERT_EQ(ioctl(fd_, SPI_IOC_WR_MODE, &byte), 0);
  EXPECT_EQ(frame_at(15625), 602);
  EXPECT_TRUE(notes().empty());
}

}  // namespace
