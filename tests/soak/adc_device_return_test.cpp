// adc_server's spidev_mcp3008 when the device is unplugged and plugged in
// again between calls: the function is compiled into this test (its main
// renamed) with the board linked in, and answers over a real link whose far
// end the test reads.
#include <adcscan.h>
#include <bridge.h>
#include <gtest/gtest.h>
#include <spidev.h>
#include <unistd.h>
#include <vboard.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <linklib.hpp>
#include <string>

#include "support/board.hpp"
#include "support/temp_dir.hpp"

extern "C" int spidev_mcp3008(int nx, int dt);

namespace {

using adckit::link::Expr;
constexpr char kDevice[] = "/dev/spidev0.0";

class AdcDeviceReturn : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::setenv("VBOARD_TRACE_LIMIT", "0", 1), 0);
    ASSERT_EQ(vboard_reset(), 0);
    for (int ch = 0; ch < 8; ++ch)
      ASSERT_EQ(vboard_set_code(ch, adckit::test::board::reading(ch)), 0);
    ASSERT_NE(std::freopen("/dev/null", "w", stderr), nullptr);
    env_ = MLInitialize(nullptr);
    ASSERT_NE(env_, nullptr);
    const std::string path = folder_ + "/link";
    int error = 0;
    far_ = adckit::link::openLink(
        env_, {"-linkname", path, "-linkmode", "listen", "-linkprotocol", "Unix"}, &error);
    ASSERT_NE(far_, nullptr) << error;
    near_ = adckit::link::openLink(
        env_, {"-linkname", path, "-linkmode", "connect", "-linkprotocol", "Unix"}, &error);
    ASSERT_NE(near_, nullptr) << error;
    ASSERT_TRUE(MLConnect(far_));
    stdlink = near_;
  }
  void TearDown() override {
    (void)vboard_spidev_vanish_after(kDevice, -1);
    if (spifd >= 0) (void)spiClose();
    stdlink = nullptr;
    if (near_ != nullptr) MLClose(near_);
    if (far_ != nullptr) MLClose(far_);
    if (env_ != nullptr) MLDeinitialize(env_);
  }
  // One call of one row; the answer as the far end reads it.
  Expr call() {
    (void)spidev_mcp3008(1, 0);
    EXPECT_TRUE(MLFlush(near_));
    Expr answer;
    EXPECT_TRUE(adckit::link::getExpr(far_, answer));
    return answer;
  }
  // The eight readings of a one-row answer; empty for anything else.
  static std::vector<std::int64_t> readings(const Expr &answer) {
    std::vector<std::int64_t> out;
    if (!answer.isFunction("List") || answer.args.size() != 1 || answer.args[0].args.size() != 10)
      return out;
    for (std::size_t i = 2; i < 10; ++i) out.push_back(answer.args[0].args[i].integer);
    return out;
  }

  adckit::test::TempDir dir_{"adckit-adc-return"};
  std::string folder_ = dir_.path().string();
  MLENV env_ = nullptr;
  MLINK far_ = nullptr;
  MLINK near_ = nullptr;
};

}  // namespace

TEST_F(AdcDeviceReturn, ScansReadTheDeviceAgainOnceItIsBack) {
  std::vector<std::int64_t> expected;
  for (int ch = 0; ch < 8; ++ch) expected.push_back(adckit::test::board::reading(ch));
  const std::vector<std::int64_t> none(8, -1);
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(readings(call()), expected) << "round " << round;
    ASSERT_EQ(vboard_spidev_vanish_after(kDevice, 0), 0);  // unplugged
    EXPECT_EQ(readings(call()), none) << "round " << round;
    // Closed after a call that read nothing: reopening fails while it is
    // gone, which the server answers $Failed.
    EXPECT_TRUE(call().isSymbol("$Failed")) << "round " << round;
    ASSERT_EQ(vboard_spidev_vanish_after(kDevice, -1), 0);  // back
    EXPECT_EQ(readings(call()), expected) << "round " << round;
  }
}
