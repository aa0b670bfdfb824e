// The access cost model: with VBOARD_ACCESS_NS each access to the sysfs
// tree takes at least its cost, so what a program times on the board is
// bounded below by the model. Only lower bounds are checked: a loaded
// machine may make any access slower, never faster.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>

#include "vboard.h"

namespace {

using clock_type = std::chrono::steady_clock;

std::int64_t ns_since(clock_type::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now() - start).count();
}

class AccessCost : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("VBOARD_ACCESS_NS");
    unsetenv("VBOARD_TRACE_LIMIT");
    vboard_reset();
  }
  // Powers the board on with `model` and exports pin 22 as an output.
  void start(const char *model) {
    ASSERT_EQ(setenv("VBOARD_ACCESS_NS", model, 1), 0);
    ASSERT_EQ(vboard_reset(), 0);
    store("/sys/class/gpio/export", "22");
    store("/sys/class/gpio/gpio22/direction", "out");
  }
  static void store(const char *path, const char *text) {
    const int fd = open(path, O_WRONLY);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, text, strlen(text)), static_cast<ssize_t>(strlen(text)));
    ASSERT_EQ(close(fd), 0);
  }
};

TEST_F(AccessCost, EachOpenAndEachOtherAccessTakesAtLeastItsCost) {
  start("20000:300000");
  constexpr int kRounds = 10;
  auto t0 = clock_type::now();
  for (int i = 0; i < kRounds; ++i) store("/sys/class/gpio/gpio22/value", i % 2 ? "1" : "0");
  // Each round: an open, a write, a close.
  EXPECT_GE(ns_since(t0), kRounds * (300000 + 2 * 20000));

  const int fd = open("/sys/class/gpio/gpio22/value", O_RDONLY);
  ASSERT_GE(fd, 0);
  char buf[2];
  t0 = clock_type::now();
  for (int i = 0; i < kRounds; ++i) ASSERT_EQ(pread(fd, buf, sizeof buf, 0), 2);
  EXPECT_GE(ns_since(t0), kRounds * 20000);
  close(fd);
}

// With no trace kept and no model, an access does nothing for the trace.
// A model set afterwards holds for a descriptor opened before it.
TEST_F(AccessCost, AModelSetLaterCostsTheAccessesOfADescriptorAlreadyOpen) {
  ASSERT_EQ(setenv("VBOARD_TRACE_LIMIT", "0", 1), 0);
  start("0");
  const int fd = open("/sys/class/gpio/gpio22/value", O_RDONLY);
  ASSERT_GE(fd, 0);
  char buf[2];
  ASSERT_EQ(pread(fd, buf, sizeof buf, 0), 2);

  start("20000");
  constexpr int kRounds = 10;
  const auto t0 = clock_type::now();
  for (int i = 0; i < kRounds; ++i) ASSERT_EQ(pread(fd, buf, sizeof buf, 0), 2);
  EXPECT_GE(ns_since(t0), kRounds * 20000);
  close(fd);
}

TEST_F(AccessCost, OneFigureCostsOpensAlikeAndAMalformedModelIsRefused) {
  start("100000");
  auto t0 = clock_type::now();
  store("/sys/class/gpio/gpio22/value", "1");
  EXPECT_GE(ns_since(t0), 3 * 100000);

  // A malformed model is refused, and the reset says so.
  for (const char *bad : {"fast", "1:2:3", "-5", "2000000000", "10:"}) {
    ASSERT_EQ(setenv("VBOARD_ACCESS_NS", bad, 1), 0);
    EXPECT_EQ(vboard_reset(), -1) << bad;
  }
}

}  // namespace
