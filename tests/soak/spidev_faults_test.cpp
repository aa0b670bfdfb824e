// The spidev side under faults for a long scan loop, with the board linked
// into the test: a device that fails every few transfers, and a device that
// vanishes and comes back.  Every reading that a scan reports must be the
// channel's, every failed exchange counted, and the process's memory and
// descriptors stay flat.
//
// ADCKIT_SOAK_SCANS sets the number of scans (default 5000; scripts/soak
// runs 200000).
#include <adcscan.h>
#include <gtest/gtest.h>
#include <spidev.h>
#include <unistd.h>
#include <vboard.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "support/board.hpp"

namespace {

constexpr char kDevice[] = "/dev/spidev0.0";

class SpidevFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    // The board traces every access in this process's memory, up to a
    // limit; a long run keeps none, so what it measures is its own.
    ASSERT_EQ(::setenv("VBOARD_TRACE_LIMIT", "0", 1), 0);
    ASSERT_EQ(vboard_reset(), 0);
    for (int ch = 0; ch < 8; ++ch)
      ASSERT_EQ(vboard_set_code(ch, adckit::test::board::reading(ch)), 0);
    ASSERT_EQ(spiOpen(kDevice), 0);
  }
  void TearDown() override {
    vboard_clear_faults();
    if (spifd >= 0) (void)spiClose();
  }
  // One scan of all eight channels; the count of failed exchanges.
  int scan(std::array<std::int32_t, 8> &values) {
    timespec when{};
    values.fill(-7);
    return get_mcp3008_channels(values.data(), 8, &when);
  }
};

}  // namespace

TEST_F(SpidevFaults, EveryFewTransfersFailingIsRetriedOverALongScanLoop) {
  const long scans = adckit::test::board::scale("ADCKIT_SOAK_SCANS", 5000);
  // Silence the library's report of each failed transfer for the run.
  std::FILE *quiet = std::freopen("/dev/null", "w", stderr);
  ASSERT_NE(quiet, nullptr);
  long rssStart = -1;
  int fdsStart = -1;
  long failedTotal = 0, faultsArmed = 0;
  for (long s = 0; s < scans; ++s) {
    if (s == 100) {
      rssStart = adckit::test::board::resident_kib(::getpid());
      fdsStart = adckit::test::board::open_descriptors(::getpid());
    }
    // Every 7th scan the first two transfers fail (an error, then a transfer
    // that moves nothing); every 11th one whole entry's five attempts do.
    int expectFailed = 0;
    bool entryLost = false;
    if (s % 7 == 3) {
      ASSERT_EQ(vboard_spidev_fail_transfers(1, -1, EIO), 0);
      expectFailed = 1;
      ++faultsArmed;
    } else if (s % 11 == 5) {
      ASSERT_EQ(vboard_spidev_fail_transfers(5, -1, EIO), 0);
      expectFailed = 5;
      entryLost = true;
      ++faultsArmed;
    }
    std::array<std::int32_t, 8> values{};
    const int failed = scan(values);
    ASSERT_EQ(failed, expectFailed) << "scan " << s;
    failedTotal += failed;
    for (int ch = 0; ch < 8; ++ch) {
      const int want = entryLost && ch == 0 ? -1 : adckit::test::board::reading(ch);
      ASSERT_EQ(values[ch], want) << "scan " << s << " channel " << ch;
    }
  }
  const long rssEnd = adckit::test::board::resident_kib(::getpid());
  const int fdsEnd = adckit::test::board::open_descriptors(::getpid());
  std::printf(
      "soak: %ld scans, %ld with faults, %ld failed exchanges counted; memory %ld KiB -> %ld KiB, "
      "descriptors %d -> %d\n",
      scans, faultsArmed, failedTotal, rssStart, rssEnd, fdsStart, fdsEnd);
  EXPECT_LE(rssEnd - rssStart, 2048);
  EXPECT_EQ(fdsStart, fdsEnd);
}

TEST_F(SpidevFaults, DeviceThatVanishesAndComesBackIsReadAgainAfterReopening) {
  std::FILE *quiet = std::freopen("/dev/null", "w", stderr);
  ASSERT_NE(quiet, nullptr);
  const long rounds = adckit::test::board::scale("ADCKIT_SOAK_SCANS", 5000) / 50;
  for (long r = 0; r < rounds; ++r) {
    std::array<std::int32_t, 8> values{};
    ASSERT_EQ(scan(values), 0) << "round " << r;
    ASSERT_EQ(values[3], adckit::test::board::reading(3));
    ASSERT_EQ(vboard_spidev_vanish_after(kDevice, 0), 0);  // unplugged
    // Gone: every exchange fails, all five attempts of every entry.
    ASSERT_EQ(scan(values), 40) << "round " << r;
    for (int v : values) ASSERT_EQ(v, -1);
    ASSERT_EQ(vboard_spidev_vanish_after(kDevice, -1), 0);  // plugged in again
    // Back, but as a new device: the old connection stays dead, as the
    // kernel's does, until the caller opens it again.
    ASSERT_EQ(scan(values), 40) << "round " << r;
    ASSERT_EQ(spiClose(), 0);
    ASSERT_EQ(spiOpen(kDevice), 0) << "round " << r;
    ASSERT_EQ(scan(values), 0) << "round " << r;
    for (int ch = 0; ch < 8; ++ch) ASSERT_EQ(values[ch], adckit::test::board::reading(ch));
  }
}
