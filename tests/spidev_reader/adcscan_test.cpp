// adcscan against the virtual board in this process: what a caller sees on
// its standard streams and in its buffers, and what reaches the device.
#include <adckit/adcscan.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <adckit/vboard.h>

#include "support/capture.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

extern "C" int adcscan_header_from_c(void);

namespace {

constexpr char kDevice[] = "/dev/spidev0.0";
constexpr unsigned long kMessage3 = 0x40606b00;

// Read before any test can open the device.
const int spifd_at_start = spifd;

using adckit::test::capture;

std::string report(int err) {
  return std::string("Problem transmitting spi data..ioctl\n: ") + std::strerror(err) + "\n";
}

std::string repeat(const std::string &s, int n) {
  std::string all;
  for (int i = 0; i < n; ++i) all += s;
  return all;
}

std::vector<vboard_event> device_events() {
  std::vector<vboard_event> events;
  for (std::size_t i = 0; i < vboard_trace_count(); ++i) {
    vboard_event e{};
    if (vboard_trace_get(i, &e) == 0 && std::string(e.file) == kDevice) events.push_back(e);
  }
  return events;
}

std::vector<vboard_event> ioctls() {
  std::vector<vboard_event> out;
  for (const auto &e : device_events()) {
    if (e.op == VBOARD_OP_IOCTL) out.push_back(e);
  }
  return out;
}

std::vector<vboard_spi_record> records() {
  std::vector<vboard_spi_record> out(vboard_spidev_record_count());
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(vboard_spidev_record_get(i, &out[i]), 0);
  return out;
}

// Bytes sent (first half of the event's data) and received (second half).
std::vector<unsigned> sent(const vboard_event &e) { return {e.data, e.data + e.data_len / 2}; }
std::vector<unsigned> received(const vboard_event &e) {
  return {e.data + e.data_len / 2, e.data + e.data_len};
}

constexpr std::array<int, 8> kCodes{0, 1023, 602, 1, 512, 100, 1000, 0x155};

class AdcscanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vboard_reset(), 0);
    ASSERT_EQ(vboard_spidev_reset(), 0);
    for (int ch = 0; ch < 8; ++ch) ASSERT_EQ(vboard_set_code(ch, kCodes[ch]), 0);
    vboard_trace_clear();
  }
  void TearDown() override {
    if (spifd >= 0) capture([] { spiClose(); });
  }
  // Opens the device and forgets what that left in the trace.
  void open_device() {
    const auto s = capture([] { ASSERT_EQ(spiOpen(kDevice), 0); });
    ASSERT_EQ(s.out, "");
    vboard_trace_clear();
    vboard_spidev_records_clear();
  }
};

TEST(AdcscanHeader, CompilesAsC99WithTheDocumentedTypes) { EXPECT_EQ(adcscan_header_from_c(), 1); }

// ----- spiOpen

TEST_F(AdcscanTest, OpenIssuesTheSixSettingsInOrderAndKeepsTheReadBack) {
  timespec before{}, after{};
  clock_gettime(CLOCK_MONOTONIC, &before);
  int result = -2;
  const auto s = capture([&] { result = spiOpen(kDevice); });
  clock_gettime(CLOCK_MONOTONIC, &after);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(s.out, "");
  EXPECT_EQ(s.err, "");
  EXPECT_GE(spifd, 0);
  EXPECT_EQ(mode, 0);
  EXPECT_EQ(bitsPerWord, 8);
  EXPECT_EQ(speed, 15625U);
  EXPECT_EQ(usleepdelay, 64U);
  // The settle pause: a lower bound only.
  EXPECT_GE((after.tv_sec - before.tv_sec) * 1000000000L + (after.tv_nsec - before.tv_nsec),
            64000L);

  const auto events = device_events();
  ASSERT_EQ(events.size(), 7U);
  EXPECT_EQ(events[0].op, VBOARD_OP_OPEN);
  EXPECT_EQ(events[0].request, static_cast<unsigned long>(O_RDWR));
  struct step {
    unsigned long request;
    std::vector<unsigned> value;
  };
  const std::array<step, 6> steps{{{0x40016b01, {0}},
                                   {0x80016b01, {0}},
                                   {0x40016b03, {8}},
                                   {0x80016b03, {8}},
                                   {0x40046b04, {0x09, 0x3d, 0, 0}},  // 15625, little-endian
                                   {0x80046b04, {0x09, 0x3d, 0, 0}}}};
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const auto &e = events[i + 1];
    EXPECT_EQ(e.op, VBOARD_OP_IOCTL);
    EXPECT_EQ(e.request, steps[i].request) << "step " << i + 1;
    EXPECT_EQ(std::vector<unsigned>(e.data, e.data + e.data_len), steps[i].value);
    EXPECT_EQ(e.result, 0);
  }
}

TEST_F(AdcscanTest, OpenKeepsTheRateTheDriverReportsButNotItsDelay) {
  ASSERT_EQ(vboard_spidev_set_readback_hz(15600), 0);
  open_device();
  EXPECT_EQ(speed, 15600U);
  EXPECT_EQ(usleepdelay, 64U);
  std::array<unsigned char, 3> frame{1, 0x80, 0};
  EXPECT_EQ(capture([&] { EXPECT_EQ(spiWriteRead(frame.data(), 3), 3); }).err, "");
  EXPECT_EQ(records().at(0).xfer.speed_hz, 15600U);
}

TEST_F(AdcscanTest, OpenThatCannotOpenPrintsOneLineAndIssuesNothing) {
  const std::vector<std::function<void()>> ways{
      [] { vboard_spidev_missing(kDevice, 1); },
      [] { vboard_spidev_fail_open(kDevice, EACCES); },
      [] { vboard_spidev_vanish_after(kDevice, 0); },
  };
  for (std::size_t i = 0; i < ways.size(); ++i) {
    SetUp();
    ways[i]();
    int result = 0;
    const auto s = capture([&] { result = spiOpen(kDevice); });
    EXPECT_EQ(result, -1) << "way " << i;
    EXPECT_EQ(s.out, "could not open SPI device\n");
    EXPECT_EQ(spifd, -1);
    EXPECT_TRUE(ioctls().empty());
    // Nothing to release: a close now is a failed close.
    int closed = 0;
    EXPECT_EQ(capture([&] { closed = spiClose(); }).out, "Could not close SPI device\n");
    EXPECT_EQ(closed, -1);
  }
}

TEST_F(AdcscanTest, EachRefusedSettingPrintsItsMessageAndStopsThere) {
  struct refusal {
    unsigned long request;
    const char *out;
  };
  const std::array<refusal, 6> refusals{{
      {0x40016b01, "Could not set SPIMode (WR)...ioctl fail\n"},
      {0x80016b01, "Could not set SPIMode (RD)...ioctl fail\n"},
      {0x40016b03, "Could not set SPI bitsPerWord (WR)...ioctl fail\n"},
      {0x80016b03, "Could not set SPI bitsPerWord(RD)...ioctl fail\n"},
      {0x40046b04, "Could not set SPI speed (WR)...ioctl fail"},  // no line end
      {0x80046b04, "Could not set SPI speed (RD)...ioctl fail\n"},
  }};
  for (std::size_t k = 0; k < refusals.size(); ++k) {
    SetUp();
    ASSERT_EQ(vboard_spidev_fail_request(kDevice, refusals[k].request, EIO), 0);
    int result = 0;
    const auto s = capture([&] {
      result = spiOpen(kDevice);
      std::printf("next");
    });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(s.out, std::string(refusals[k].out) + "next");
    const auto issued = ioctls();
    ASSERT_EQ(issued.size(), k + 1) << "later requests must not be issued";
    EXPECT_EQ(issued.back().request, refusals[k].request);
    // Still open, and only spiClose releases it.
    EXPECT_GE(spifd, 0);
    EXPECT_EQ(device_events().back().op, VBOARD_OP_IOCTL);
    EXPECT_EQ(capture([] { EXPECT_EQ(spiClose(), 0); }).out, "");
    EXPECT_EQ(spifd, -1);
  }
}

TEST_F(AdcscanTest, ControllerWithoutEightBitWordsRefusesTheWordSize) {
  ASSERT_EQ(vboard_spidev_set_word_sizes(1U << 15), 0);
  int result = 0;
  const auto s = capture([&] { result = spiOpen(kDevice); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(s.out, "Could not set SPI bitsPerWord (WR)...ioctl fail\n");
  const auto issued = ioctls();
  ASSERT_EQ(issued.size(), 3U);
  EXPECT_EQ(issued.back().err, EINVAL);
  EXPECT_EQ(mode, 0);
  EXPECT_EQ(bitsPerWord, 8);
  EXPECT_EQ(speed, 15625U);
  EXPECT_GE(spifd, 0);
}

// ----- spiWriteRead

TEST_F(AdcscanTest, TransferIsOneRequestOfOneByteRecordsOverTheCallersBytes) {
  open_device();
  std::array<unsigned char, 3> frame{0x01, 0x80, 0x00};
  ASSERT_EQ(vboard_set_code(0, 602), 0);
  int result = 0;
  EXPECT_EQ(capture([&] { result = spiWriteRead(frame.data(), 3); }).err, "");
  EXPECT_EQ(result, 3);
  EXPECT_EQ(frame[1] & 0x03, 0x02);
  EXPECT_EQ(frame[2], 0x5a);

  const auto issued = ioctls();
  ASSERT_EQ(issued.size(), 1U);
  EXPECT_EQ(issued[0].request, kMessage3);
  const auto recs = records();
  ASSERT_EQ(recs.size(), 3U);
  for (std::size_t i = 0; i < recs.size(); ++i) {
    const spi_ioc_transfer &x = recs[i].xfer;
    const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&frame[i]));
    EXPECT_EQ(recs[i].message, recs[0].message) << "one message";
    EXPECT_EQ(x.tx_buf, address);
    EXPECT_EQ(x.rx_buf, address);
    EXPECT_EQ(x.len, 1U);
    EXPECT_EQ(x.speed_hz, 15625U);
    EXPECT_EQ(x.delay_usecs, 0);
    EXPECT_EQ(x.bits_per_word, 8);
    EXPECT_EQ(x.cs_change, 0);
    EXPECT_EQ(x.tx_nbits, 0);
    EXPECT_EQ(x.rx_nbits, 0);
    EXPECT_EQ(x.word_delay_usecs, 0);
    EXPECT_EQ(x.pad, 0);
  }
}

TEST_F(AdcscanTest, TransferTakesRateAndWordSizeFromTheGlobalsAtCallTime) {
  open_device();
  std::array<unsigned char, 3> frame{0x01, 0x80, 0x00};
  speed = 1000;
  bitsPerWord = 0;  // the device's own word size
  EXPECT_EQ(capture([&] { EXPECT_EQ(spiWriteRead(frame.data(), 3), 3); }).err, "");
  EXPECT_EQ(records().at(0).xfer.speed_hz, 1000U);
  EXPECT_EQ(records().at(0).xfer.bits_per_word, 0);

  bitsPerWord = 16;  // not a size this controller moves
  frame = {0x01, 0x80, 0x00};
  int result = 0;
  EXPECT_EQ(capture([&] { result = spiWriteRead(frame.data(), 3); }).err, report(EINVAL));
  EXPECT_EQ(result, -1);
  EXPECT_EQ(frame, (std::array<unsigned char, 3>{0x01, 0x80, 0x00})) << "nothing moved";
  bitsPerWord = 8;
  speed = 15625;
}

TEST_F(AdcscanTest, LongestTransferIs511RecordsAndLongerOrEmptyOnesAreRefused) {
  open_device();
  std::vector<unsigned char> data(512, 0);
  EXPECT_EQ(capture([&] { EXPECT_EQ(spiWriteRead(data.data(), 511), 511); }).err, "");
  ASSERT_EQ(ioctls().size(), 1U);
  EXPECT_EQ(ioctls()[0].request, 0x7fe06b00UL);
  const auto recs = records();
  ASSERT_EQ(recs.size(), 511U);
  EXPECT_EQ(recs.back().xfer.tx_buf, reinterpret_cast<std::uintptr_t>(&data[510]));

  vboard_trace_clear();
  for (int length : {0, -1, 512, 100000}) {
    errno = 0;
    int result = 0;
    const auto s = capture([&] { result = spiWriteRead(data.data(), length); });
    EXPECT_EQ(result, -1) << length;
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(s.err, report(EINVAL));
    EXPECT_EQ(s.out, "");
  }
  int result = 0;
  EXPECT_EQ(capture([&] { result = spiWriteRead(nullptr, 3); }).err, report(EFAULT));
  EXPECT_EQ(result, -1);
  EXPECT_TRUE(ioctls().empty());
}

TEST_F(AdcscanTest, FailedTransferReturnsTheResultWithATwoLineReport) {
  open_device();
  ASSERT_EQ(vboard_spidev_fail_transfers(1, -1, EIO), 0);
  std::array<unsigned char, 3> frame{0x01, 0x80, 0x00};
  int result = 0;
  const auto s = capture([&] { result = spiWriteRead(frame.data(), 3); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(s.err, "Problem transmitting spi data..ioctl\n: Input/output error\n");
  EXPECT_EQ(s.out, "");
}

TEST_F(AdcscanTest, CallsBeforeOpenAndAfterCloseNeverTouchAnotherDescriptor) {
  EXPECT_EQ(spifd_at_start, -1);
  open_device();
  const int old = spifd;
  EXPECT_EQ(capture([] { EXPECT_EQ(spiClose(), 0); }).out, "");
  EXPECT_EQ(spifd, -1);

  // The program reuses the number for something else.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_TRUE(fds[0] == old || fds[1] == old || dup2(fds[0], old) == old);

  std::array<unsigned char, 3> frame{0x01, 0x80, 0x00};
  int result = 0;
  auto s = capture([&] { result = spiWriteRead(frame.data(), 3); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(s.err, report(EBADF));
  s = capture([&] { result = spiClose(); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(s.out, "Could not close SPI device\n");

  std::array<int32_t, 2> values{7, 7};
  timespec ts{};
  s = capture([&] { result = get_mcp3008_channels(values.data(), 2, &ts); });
  EXPECT_EQ(result, 10);  // five attempts on each channel
  EXPECT_EQ(values, (std::array<int32_t, 2>{-1, -1}));
  EXPECT_EQ(s.err, repeat(report(EBADF), 10));

  EXPECT_NE(fcntl(old, F_GETFD), -1) << "the reused descriptor was closed";
  close(fds[0]);
  close(fds[1]);
  if (fds[0] != old && fds[1] != old) close(old);
}

// ----- get_mcp3008_channels

TEST_F(AdcscanTest, EightChannelScanAsksEachChannelInTurnAndStampsTheEnd) {
  open_device();
  std::array<int32_t, 9> values{};
  values[8] = 77;
  timespec before{}, ts{}, after{};
  clock_gettime(CLOCK_REALTIME, &before);
  int result = -1;
  const auto s = capture([&] { result = get_mcp3008_channels(values.data(), 8, &ts); });
  clock_gettime(CLOCK_REALTIME, &after);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(s.out + s.err, "");
  for (int ch = 0; ch < 8; ++ch) EXPECT_EQ(values[ch], kCodes[ch]) << "channel " << ch;
  EXPECT_EQ(values[8], 77);
  const auto at = [](const timespec &t) { return t.tv_sec * 1000000000LL + t.tv_nsec; };
  EXPECT_LE(at(before), at(ts));
  EXPECT_LE(at(ts), at(after));

  const auto issued = ioctls();
  ASSERT_EQ(issued.size(), 8U);
  for (unsigned ch = 0; ch < 8; ++ch) {
    EXPECT_EQ(issued[ch].request, kMessage3);
    EXPECT_EQ(sent(issued[ch]), (std::vector<unsigned>{0x01, 0x80 + 16 * ch, 0x00}));
  }
}

TEST_F(AdcscanTest, ReadingComesFromTheLowBitsOfTheLastTwoReplyBytesOnly) {
  open_device();
  ASSERT_EQ(vboard_set_code(2, 602), 0);
  for (int idle : {0, 1}) {
    // A floating DOUT changes the bits the chip does not drive.
    ASSERT_EQ(vboard_set_dout_idle(idle), 0);
    vboard_trace_clear();
    std::array<int32_t, 3> values{};
    timespec ts{};
    EXPECT_EQ(get_mcp3008_channels(values.data(), 3, &ts), 0);
    EXPECT_EQ(values[1], 1023);
    EXPECT_EQ(values[2], 602);
    const auto reply = received(ioctls().at(2));
    EXPECT_EQ(reply[0], idle != 0 ? 0xffU : 0x00U);
    EXPECT_EQ(reply[1] & 0x03U, 0x02U);
    EXPECT_EQ(reply[2], 0x5aU);
  }
}

TEST_F(AdcscanTest, CountsBeyondEightCycleThroughTheChannelsUpTo255) {
  open_device();
  std::array<int32_t, 256> values{};
  values.fill(-7);
  timespec ts{};
  EXPECT_EQ(get_mcp3008_channels(values.data(), 10, &ts), 0);
  EXPECT_EQ(values[8], kCodes[0]);
  EXPECT_EQ(values[9], kCodes[1]);
  EXPECT_EQ(values[10], -7);
  auto issued = ioctls();
  ASSERT_EQ(issued.size(), 10U);
  EXPECT_EQ(sent(issued[8]).at(1), 0x80U);
  EXPECT_EQ(sent(issued[9]).at(1), 0x90U);

  vboard_trace_clear();
  EXPECT_EQ(get_mcp3008_channels(values.data(), 255, &ts), 0);
  EXPECT_EQ(ioctls().size(), 255U);
  for (int k = 0; k < 255; ++k) ASSERT_EQ(values[k], kCodes[k & 7]) << "entry " << k;
  EXPECT_EQ(values[255], -7);
}

TEST_F(AdcscanTest, CountsThatCannotBeScannedExchangeNothing) {
  open_device();
  std::array<int32_t, 4> values{};
  values.fill(-7);
  timespec ts{};
  for (int count : {256, 1000}) {
    ts = {5, 5};
    EXPECT_EQ(get_mcp3008_channels(values.data(), count, &ts), -1) << count;
    EXPECT_EQ(ts.tv_sec, 5);
  }
  EXPECT_EQ(get_mcp3008_channels(nullptr, 1, &ts), -1);
  EXPECT_EQ(get_mcp3008_channels(values.data(), 1, nullptr), -1);
  for (int count : {0, -3}) {
    ts = {5, 5};
    EXPECT_EQ(get_mcp3008_channels(values.data(), count, &ts), 0) << count;
    EXPECT_GT(ts.tv_sec, 5) << "the empty scan is still stamped";
  }
  EXPECT_EQ(values, (std::array<int32_t, 4>{-7, -7, -7, -7}));
  EXPECT_TRUE(ioctls().empty());
}

TEST_F(AdcscanTest, FailedExchangeIsRepeatedWithAFreshFrameAndCounted) {
  open_device();
  // The failed transfers leave junk where the frame was.
  ASSERT_EQ(vboard_spidev_set_scribble(0xa5), 0);
  ASSERT_EQ(vboard_spidev_fail_transfers(2, -1, EIO), 0);
  std::array<int32_t, 8> values{};
  timespec ts{};
  int result = 0;
  const auto s = capture([&] { result = get_mcp3008_channels(values.data(), 8, &ts); });
  EXPECT_EQ(result, 2);
  EXPECT_EQ(s.err, repeat(report(EIO), 2));
  for (int ch = 0; ch < 8; ++ch) EXPECT_EQ(values[ch], kCodes[ch]);
  const auto issued = ioctls();
  ASSERT_EQ(issued.size(), 10U);
  EXPECT_EQ(issued[0].err, EIO);
  EXPECT_EQ(issued[1].err, EIO);
  EXPECT_EQ(sent(issued[2]), (std::vector<unsigned>{0x01, 0x80, 0x00}));
}

TEST_F(AdcscanTest, TransferMovingNothingCountsAsFailedWithoutAReport) {
  open_device();
  ASSERT_EQ(vboard_spidev_fail_transfers(3, 0, 0), 0);
  std::array<int32_t, 2> values{};
  timespec ts{};
  int result = 0;
  const auto s = capture([&] { result = get_mcp3008_channels(values.data(), 2, &ts); });
  EXPECT_EQ(result, 3);
  EXPECT_EQ(s.err, "");
  EXPECT_EQ(values, (std::array<int32_t, 2>{kCodes[0], kCodes[1]}));
  EXPECT_EQ(ioctls().size(), 5U);
}

TEST_F(AdcscanTest, FiveAttemptsPerChannelThenMinusOneAndTheScanGoesOn) {
  open_device();
  ASSERT_EQ(vboard_spidev_fail_transfers(7, -1, EIO), 0);
  std::array<int32_t, 3> values{};
  timespec ts{};
  int result = 0;
  const auto s = capture([&] { result = get_mcp3008_channels(values.data(), 3, &ts); });
  EXPECT_EQ(result, 7);
  EXPECT_EQ(values, (std::array<int32_t, 3>{-1, kCodes[1], kCodes[2]}));
  EXPECT_EQ(s.err, repeat(report(EIO), 7));
  EXPECT_EQ(ioctls().size(), 9U);  // 5 + (2 + 1) + 1
}

TEST_F(AdcscanTest, DeviceVanishingMidScanEndsTheScanAndTheDevice) {
  open_device();
  ASSERT_EQ(vboard_spidev_vanish_after(kDevice, 3), 0);
  std::array<int32_t, 8> values{};
  timespec ts{};
  int result = 0;
  const auto s = capture([&] { result = get_mcp3008_channels(values.data(), 8, &ts); });
  EXPECT_EQ(result, 25);
  EXPECT_EQ(values, (std::array<int32_t, 8>{kCodes[0], kCodes[1], kCodes[2], -1, -1, -1, -1, -1}));
  EXPECT_EQ(s.err, repeat(report(ESHUTDOWN), 25));
  EXPECT_GT(ts.tv_sec, 0);

  EXPECT_EQ(capture([] { EXPECT_EQ(spiClose(), 0); }).out, "");
  EXPECT_EQ(capture([] { EXPECT_EQ(spiOpen(kDevice), -1); }).out, "could not open SPI device\n");
  ASSERT_EQ(vboard_spidev_vanish_after(kDevice, -1), 0);  // plugged back in
  open_device();
  EXPECT_EQ(get_mcp3008_channels(values.data(), 1, &ts), 0);
  EXPECT_EQ(values[0], kCodes[0]);
}

}  // namespace
