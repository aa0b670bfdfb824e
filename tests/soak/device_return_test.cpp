// The example servers' device handling when the spidev device is unplugged
// and plugged in again while they serve: the calls made while it is gone
// answer as a device that cannot be read does, and the first calls after it
// is back read it again.  The servers' own functions are compiled into this
// test (their main renamed) with the board linked in, so the test can take
// the device away between two calls.
#include <adcscan.h>
#include <gtest/gtest.h>
#include <spidev.h>
#include <vboard.h>

#include <cstdio>
#include <cstdlib>

#include "support/board.hpp"

extern "C" int rfcomm(int x);

namespace {

constexpr char kDevice[] = "/dev/spidev0.0";

class DeviceReturn : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::setenv("VBOARD_TRACE_LIMIT", "0", 1), 0);
    ASSERT_EQ(vboard_reset(), 0);
    for (int ch = 0; ch < 8; ++ch)
      ASSERT_EQ(vboard_set_code(ch, adckit::test::board::reading(ch)), 0);
    // The library reports every failed transfer; hundreds are expected.
    ASSERT_NE(std::freopen("/dev/null", "w", stderr), nullptr);
  }
  void TearDown() override {
    (void)vboard_spidev_vanish_after(kDevice, -1);
    if (spifd >= 0) (void)spiClose();
  }
};

}  // namespace

TEST_F(DeviceReturn, RfcommReadsTheDeviceAgainOnceItIsBack) {
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(rfcomm(4), adckit::test::board::reading(4)) << "round " << round;
    ASSERT_EQ(vboard_spidev_vanish_after(kDevice, 0), 0);  // unplugged
    EXPECT_EQ(rfcomm(4), -1) << "round " << round;
    EXPECT_EQ(rfcomm(2), -1) << "round " << round;
    ASSERT_EQ(vboard_spidev_vanish_after(kDevice, -1), 0);  // back
    EXPECT_EQ(rfcomm(4), adckit::test::board::reading(4)) << "round " << round;
    EXPECT_EQ(rfcomm(0), adckit::test::board::reading(0)) << "round " << round;
  }
}
