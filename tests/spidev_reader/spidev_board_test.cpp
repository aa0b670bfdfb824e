// The board's spidev devices through bare requests, as any program drives
// them: the checks the driver makes and the frames the chip answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spidev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vboard.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

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

}  // namespace
