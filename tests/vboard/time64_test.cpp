// A program built with 64-bit offsets and time, as Debian builds them for
// 32-bit ARM from trixie on: its stat, ioctl, fcntl and waits name the C
// library's 64-bit-time entry points there, and must reach the tree all
// the same. (On a 64-bit target the build is the plain one.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/spi/spidev.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "vboard.h"

static_assert(sizeof(time_t) == 8 && sizeof(off_t) == 8, "built with 64-bit time and offsets");

#include "exported_pin.h"

namespace {

constexpr char kPinDir[] = "/sys/class/gpio/gpio22";
constexpr char kValue[] = "/sys/class/gpio/gpio22/value";

using Time64 = ExportedPin22;

TEST_F(Time64, StatIoctlFcntlAndWaitsReachTheTree) {
  struct stat st {};
  ASSERT_EQ(stat(kPinDir, &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_EQ(lstat(kPinDir, &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(fstatat(AT_FDCWD, kValue, &st, 0), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644U);
  EXPECT_EQ(stat("/sys/class/gpio/gpio23", &st), -1);
  EXPECT_EQ(errno, ENOENT);

  const int v = open(kValue, O_RDONLY);
  ASSERT_GE(v, 0);
  ASSERT_EQ(fstat(v, &st), 0);
  EXPECT_EQ(st.st_size, 4096);
  EXPECT_EQ(fcntl(v, F_GETFL) & O_ACCMODE, O_RDONLY);
  int arg = 0;
  EXPECT_EQ(ioctl(v, FIONREAD, &arg), -1);
  EXPECT_EQ(errno, ENOTTY);

  // A value file not read since it was opened reports an event to each
  // kind of wait, and none once it is read.
  pollfd p{v, POLLPRI, 0};
  timespec zero{0, 0};
  EXPECT_EQ(ppoll(&p, 1, &zero, nullptr), 1);
  EXPECT_EQ(p.revents, POLLPRI | POLLERR);
  fd_set e;
  FD_ZERO(&e);
  FD_SET(v, &e);
  EXPECT_EQ(pselect(v + 1, nullptr, nullptr, &e, &zero, nullptr), 1);
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  ASSERT_GE(ep, 0);
  epoll_event ev{};
  ev.events = EPOLLPRI;
  ev.data.fd = v;
  ASSERT_EQ(epoll_ctl(ep, EPOLL_CTL_ADD, v, &ev), 0);
  epoll_event got{};
  EXPECT_EQ(epoll_pwait2(ep, &got, 1, &zero, nullptr), 1);
  char buf[4];
  EXPECT_EQ(pread(v, buf, sizeof buf, 0), 2);
  FD_ZERO(&e);
  FD_SET(v, &e);
  timeval tz{0, 0};
  EXPECT_EQ(select(v + 1, nullptr, nullptr, &e, &tz), 0);
  EXPECT_EQ(epoll_pwait2(ep, &got, 1, &zero, nullptr), 0);
  // A time the kernel refuses is refused, not taken for no limit.
  timespec bad{0, -1};
  EXPECT_EQ(ppoll(&p, 1, &bad, nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(pselect(v + 1, nullptr, nullptr, &e, &bad, nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  timeval back{-1, 0};
  EXPECT_EQ(select(v + 1, nullptr, nullptr, &e, &back), -1);
  EXPECT_EQ(errno, EINVAL);
  close(ep);
  close(v);

  const int spi = open("/dev/spidev0.0", O_RDWR);
  ASSERT_GE(spi, 0);
  std::uint8_t mode = 0xff;
  EXPECT_EQ(ioctl(spi, SPI_IOC_RD_MODE, &mode), 0);
  EXPECT_EQ(mode, 0);
  ASSERT_EQ(fstat(spi, &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  close(spi);
}

}  // namespace
