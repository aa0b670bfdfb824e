// Pin access against real files at the real sysfs paths, on a private tmpfs.
#include "gpio.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <string>

#include "sysfs_sandbox.h"

namespace {

using sampler_test::exists;
using sampler_test::read_file;
using sampler_test::SysfsSandbox;
using sampler_test::write_file;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const std::string gpio_dir = "/sys/class/gpio/";

class GpioFiles : public testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = sandbox_.mount(); !why.empty()) {
      GTEST_SKIP() << "needs a private mount namespace: " << why;
    }
  }
  SysfsSandbox sandbox_;
};

TEST_F(GpioFiles, ReadTakesOnlyTheFirstCharacterAndMissingDataIsMinusOne) {
  SysfsSandbox::make_pin(27);
  const std::string value = gpio_dir + "gpio27/value";
  const struct {
    const char *content;
    int level;
  } cases[] = {{"1\n", 1}, {"0\n", 0}, {"1", 1}, {"", -1}, {"x1\n", 0}, {"\n1", 0}, {"10", 1}};
  for (const auto &c : cases) {
    write_file(value, c.content);
    EXPECT_EQ(gpio_read(27), c.level) << "file holding \"" << c.content << "\"";
  }
  EXPECT_STREQ(pinpath, "/sys/class/gpio/gpio27/value");

  // A pin that is not exported, or a value file that is missing, reads as -1
  // so that nobody takes it for a low line.
  EXPECT_EQ(gpio_read(22), -1);
  EXPECT_STREQ(pinpath, "/sys/class/gpio/gpio22/value");
  SysfsSandbox::make_pin(23, nullptr);
  EXPECT_EQ(gpio_read(23), -1);
  EXPECT_FALSE(exists(gpio_dir + "gpio23/value"));
}

TEST_F(GpioFiles, WriteReplacesTheFileWithTheBareDigit) {
  SysfsSandbox::make_pin(4, "0\n");
  gpio_write(4, 1);
  EXPECT_EQ(read_file(gpio_dir + "gpio4/value"), "1");
  gpio_write(4, 0);
  EXPECT_EQ(read_file(gpio_dir + "gpio4/value"), "0");
  EXPECT_STREQ(pinpath, "/sys/class/gpio/gpio4/value");
}

TEST_F(GpioFiles, WriteToAPinThatIsNotExportedDoesNothingQuietly) {
  CaptureStdout();
  gpio_write(6, 1);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_FALSE(exists(gpio_dir + "gpio6"));
}

TEST_F(GpioFiles, InitWritesTheDirectionWordAndNothingElse) {
  SysfsSandbox::make_pin(27);
  const std::string direction = gpio_dir + "gpio27/direction";
  EXPECT_EQ(gpio_init(27, "out"), 1);
  EXPECT_EQ(read_file(direction), "out");
  EXPECT_EQ(gpio_init(27, "in"), 1);
  EXPECT_EQ(read_file(direction), "in");
  EXPECT_STREQ(pinpath, "/sys/class/gpio/gpio27/direction");

  // No direction at all: refused quietly, and the pin keeps the one it has
  // (the file is neither truncated nor rewritten).
  CaptureStdout();
  EXPECT_EQ(gpio_init(27, nullptr), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(read_file(direction), "in");
}

TEST_F(GpioFiles, InitOfAPinWithoutFolderNamesTheDirectionFile) {
  CaptureStdout();
  EXPECT_EQ(gpio_init(26, "out"), 0);
  EXPECT_EQ(GetCapturedStdout(), "Unable to open /sys/class/gpio/gpio26/direction..\n");
  EXPECT_STREQ(pinpath, "/sys/class/gpio/gpio26/direction");
}

TEST_F(GpioFiles, PinNumbersTooLongForThePathBufferAreRefusedBeforeAnyOpen) {
  // Nine digits is the longest number whose direction path fits 40 bytes.
  SysfsSandbox::make_pin(123456789);
  EXPECT_EQ(gpio_init(123456789, "out"), 1);
  EXPECT_EQ(std::string(pinpath), "/sys/class/gpio/gpio123456789/direction");
  EXPECT_EQ(std::string(pinpath).size(), sizeof pinpath - 1);

  // Ten digits: the folder exists, but nothing may be opened or created.
  SysfsSandbox::make_pin(1234567890);
  CaptureStdout();
  EXPECT_EQ(gpio_init(1234567890, "out"), 0);
  EXPECT_EQ(GetCapturedStdout(), "Unable to open /sys/class/gpio/gpio1234567890/direction..\n");
  EXPECT_FALSE(exists(gpio_dir + "gpio1234567890/direction"));
  EXPECT_STREQ(pinpath, "");

  CaptureStdout();
  EXPECT_EQ(gpio_init(INT_MIN, "in"), 0);
  EXPECT_EQ(GetCapturedStdout(), "Unable to open /sys/class/gpio/gpio-2147483648/direction..\n");

  // Every int fits the shorter value path.
  SysfsSandbox::make_pin(INT_MAX, "0");
  gpio_write(INT_MAX, 1);
  EXPECT_EQ(read_file(gpio_dir + "gpio2147483647/value"), "1");
  EXPECT_EQ(gpio_read(INT_MAX), 1);
  EXPECT_EQ(gpio_read(INT_MIN), -1);
  EXPECT_STREQ(pinpath, "/sys/class/gpio/gpio-2147483648/value");
}

TEST_F(GpioFiles, ExportAndUnexportWriteTheNumberThenPause) {
  using clock = std::chrono::steady_clock;
  const struct {
    int (*call)(int);
    const char *file;
  } routines[] = {{exportGPIO, "export"}, {unexportGPIO, "unexport"}};
  for (const auto &r : routines) {
    write_file(gpio_dir + r.file, "");
    CaptureStdout();
    const auto before = clock::now();
    EXPECT_EQ(r.call(17), 0);
    const auto took = clock::now() - before;
    EXPECT_EQ(GetCapturedStdout(), "creating file " + gpio_dir + r.file + "\n");
    EXPECT_EQ(read_file(gpio_dir + r.file), "17");
    EXPECT_GE(took, std::chrono::milliseconds(250)) << r.file;

    // The file is rewritten, not appended to, and the number goes as is.
    EXPECT_EQ(r.call(-3), 0);
    EXPECT_EQ(read_file(gpio_dir + r.file), "-3");
  }
}

TEST_F(GpioFiles, ExportAndUnexportReportAFileThatCannotBeOpened) {
  // Without the gpio/ folder neither file can be opened (or created).
  std::filesystem::remove(gpio_dir);
  CaptureStdout();
  EXPECT_EQ(exportGPIO(26), -1);
  EXPECT_EQ(unexportGPIO(4), -1);
  EXPECT_EQ(GetCapturedStdout(),
            "creating file /sys/class/gpio/export\n"
            "Unable to export gpio 26..\n"
            "creating file /sys/class/gpio/unexport\n"
            "Unable to unexport gpio 4..\n");
}

}  // namespace
