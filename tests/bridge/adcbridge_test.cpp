// The SPIDevMcp3008 installation, driven through the recording fake of
// the link library.

#include <bridge.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_link.h"

using fake::code;
using fake::fails;
using fake::ok;
using fake::Reply;
using Log = std::vector<std::string>;

namespace {

std::vector<std::pair<int, int>> scans;
MLINK link_seen = nullptr;
int scan_result = 1;

}  // namespace

// Writes its own answer, as a real one would: a list with both arguments.
extern "C" int spidev_mcp3008(int nx, int dt) {
  scans.emplace_back(nx, dt);
  link_seen = stdlink;
  (void)MLPutFunction(stdlink, "List", 2);
  (void)MLPutInteger(stdlink, nx);
  (void)MLPutInteger(stdlink, dt);
  return scan_result;
}

namespace {


class AdcBridge : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    MLAbort = 0;
    MLDone = 0;
    stdlink = nullptr;
    scans.clear();
    link_seen = nullptr;
    scan_result = 1;
  }
};

TEST_F(AdcBridge, InstallAnnouncesTheTwoArgumentPattern) {
  EXPECT_NE(MLInstall(fake::link()), 0);
  EXPECT_EQ(fake::log(),
            (Log{"MLConnect", "MLPutFunction(DefineExternal,3)",
                 "MLPutString(SPIDevMcp3008[nx_Integer,dt_Integer])", "MLPutString({ nx, dt })",
                 "MLPutInteger(0)", "MLError", "MLPutSymbol(End)", "MLFlush"}));
}

TEST_F(AdcBridge, ArgumentsArriveInOrderAndTheFunctionWritesTheWholeAnswer) {
  fake::script("MLNextPacket", {code(CALLPKT)});
  fake::script("MLGetInteger", {ok(0), ok(3), ok(250)});
  fake::script("MLTestHead", {ok(2)});
  scan_result = 0;  // not used: no $Failed once the function has run
  EXPECT_EQ(MLAnswer(fake::link()), 0);
  EXPECT_EQ(scans, (std::vector<std::pair<int, int>>{{3, 250}}));
  EXPECT_EQ(link_seen, fake::link());
  EXPECT_EQ(fake::log_from(3),
            (Log{"MLGetInteger", "MLTestHead(List)", "MLGetInteger", "MLGetInteger", "MLNewPacket",
                 "MLPutFunction(List,2)", "MLPutInteger(3)", "MLPutInteger(250)", "MLEndPacket",
                 "MLNewPacket", "MLError", "MLWaitForLinkActivity", "MLNextPacket"}));
}

TEST_F(AdcBridge, CallsThatCannotBeReadNeverReachTheFunction) {
  struct bad_call {
    const char *what;
    int length;
    std::vector<Reply> integers;
    std::vector<Reply> new_packet;
  };
  const std::vector<bad_call> cases = {
      {"one element", 1, {ok(0)}, {}},
      {"three elements", 3, {ok(0)}, {}},
      {"first not an integer", 2, {ok(0), fails()}, {}},
      {"second not an integer", 2, {ok(0), ok(1), fails()}, {}},
      {"packet cannot be dropped", 2, {ok(0), ok(1), ok(2)}, {fails()}},
  };
  for (const bad_call &c : cases) {
    SetUp();
    fake::script("MLNextPacket", {code(CALLPKT)});
    fake::script("MLTestHead", {ok(c.length)});
    fake::script("MLGetInteger", c.integers);
    fake::script("MLNewPacket", c.new_packet);
    EXPECT_EQ(MLAnswer(fake::link()), 0) << c.what;
    EXPECT_TRUE(scans.empty()) << c.what;
    EXPECT_EQ(fake::count("MLClearError"), 1) << c.what;
    EXPECT_EQ(fake::count("MLPutSymbol($Failed)"), 1) << c.what;
  }
}

}  // namespace
