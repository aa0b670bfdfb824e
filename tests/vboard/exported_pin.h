#pragma once
// A fresh board in the test's own process with pin 22 exported, for the
// suites that call the C library's entry points directly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "vboard.h"

class ExportedPin22 : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vboard_reset(), 0);
    const int fd = open("/sys/class/gpio/export", O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "22", 2), 2);
    close(fd);
  }
  void TearDown() override { vboard_reset(); }
};
