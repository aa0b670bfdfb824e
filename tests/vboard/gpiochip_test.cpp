// The GPIO character device through plain libc calls, written from the
// kernel's header and its documentation: the structures' sizes, what each
// bad request gets, the descriptors a request returns, the edge queue, and
// the one controller behind it and the sysfs tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/gpio.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "vboard.h"

namespace {

// The layout user space was built against; a board that disagreed would
// read garbage from every caller.
static_assert(sizeof(gpiochip_info) == 68 && sizeof(gpioline_info) == 72);
static_assert(sizeof(gpiohandle_request) == 364 && offsetof(gpiohandle_request, fd) == 360);
static_assert(sizeof(gpioevent_request) == 48 && offsetof(gpioevent_request, fd) == 44);
static_assert(sizeof(gpiohandle_config) == 84 && sizeof(gpiohandle_data) == 64);
static_assert(sizeof(gpioevent_data) == 16);

int store(const char *path, const char *text) {
  const int fd = open(path, O_WRONLY);
  if (fd < 0) return errno;
  const int err = write(fd, text, std::strlen(text)) < 0 ? errno : 0;
  close(fd);
  return err;
}

class Chip : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vboard_reset(), 0);
    fd = open("/dev/gpiochip0", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << std::strerror(errno);
  }
  void TearDown() override { close(fd); }

  // The errno of a request, 0 when it was granted (its descriptor in `out`).
  int handle(std::initializer_list<unsigned> lines, unsigned flags, int &out,
             const char *consumer = "test") {
    gpiohandle_request r{};
    for (unsigned l : lines) r.lineoffsets[r.lines++] = l;
    r.flags = flags;
    std::snprintf(r.consumer_label, sizeof r.consumer_label, "%s", consumer);
    if (ioctl(fd, GPIO_GET_LINEHANDLE_IOCTL, &r) != 0) return errno;
    out = r.fd;
    return 0;
  }
  int event(unsigned line, unsigned hflags, unsigned eflags, int &out) {
    gpioevent_request r{};
    r.lineoffset = line;
    r.handleflags = hflags;
    r.eventflags = eflags;
    if (ioctl(fd, GPIO_GET_LINEEVENT_IOCTL, &r) != 0) return errno;
    out = r.fd;
    return 0;
  }
  gpioline_info info(unsigned line) {
    gpioline_info i{};
    i.line_offset = line;
    EXPECT_EQ(ioctl(fd, GPIO_GET_LINEINFO_IOCTL, &i), 0);
    return i;
  }
  int fd = -1;
};

TEST_F(Chip, DescribesTheControllerAsTheSysfsTreeDoes) {
  gpiochip_info c{};
  ASSERT_EQ(ioctl(fd, GPIO_GET_CHIPINFO_IOCTL, &c), 0);
  EXPECT_STREQ(c.name, "gpiochip0");
  EXPECT_STREQ(c.label, "pinctrl-bcm2835");
  EXPECT_EQ(c.lines, 54U);
  struct stat st {};
  ASSERT_EQ(stat("/dev/gpiochip0", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(major(st.st_rdev), 254U);
  const gpioline_info i = info(17);
  EXPECT_STREQ(i.name, "GPIO17");
  EXPECT_STREQ(i.consumer, "");
  EXPECT_EQ(i.flags, 0U);
  gpioline_info bad{};
  bad.line_offset = 54;
  EXPECT_EQ(ioctl(fd, GPIO_GET_LINEINFO_IOCTL, &bad), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ioctl(fd, GPIO_GET_CHIPINFO_IOCTL, nullptr), -1);
  EXPECT_EQ(errno, EFAULT);
  EXPECT_EQ(ioctl(fd, _IO(0xB4, 0x7f), nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(Chip, BadLineRequestsAreRefusedWithTheKernelsErrors) {
  int h = -1;
  EXPECT_EQ(handle({}, GPIOHANDLE_REQUEST_INPUT, h), EINVAL);
  EXPECT_EQ(handle({54}, GPIOHANDLE_REQUEST_INPUT, h), EINVAL);
  EXPECT_EQ(handle({4}, GPIOHANDLE_REQUEST_INPUT | GPIOHANDLE_REQUEST_OUTPUT, h), EINVAL);
  EXPECT_EQ(handle({4}, GPIOHANDLE_REQUEST_INPUT | GPIOHANDLE_REQUEST_OPEN_DRAIN, h), EINVAL);
  EXPECT_EQ(handle({4},
                   GPIOHANDLE_REQUEST_OUTPUT | GPIOHANDLE_REQUEST_OPEN_DRAIN |
                       GPIOHANDLE_REQUEST_OPEN_SOURCE,
                   h),
            EINVAL);
  EXPECT_EQ(handle({4}, GPIOHANDLE_REQUEST_BIAS_PULL_UP, h), EINVAL);
  EXPECT_EQ(handle({4},
                   GPIOHANDLE_REQUEST_INPUT | GPIOHANDLE_REQUEST_BIAS_PULL_UP |
                       GPIOHANDLE_REQUEST_BIAS_PULL_DOWN,
                   h),
            EINVAL);
  EXPECT_EQ(handle({4}, 1U << 8, h), EINVAL);
  EXPECT_EQ(handle({4, 4}, GPIOHANDLE_REQUEST_INPUT, h), EBUSY);
  EXPECT_EQ(event(4, GPIOHANDLE_REQUEST_OUTPUT, GPIOEVENT_REQUEST_BOTH_EDGES, h), EINVAL);
  EXPECT_EQ(event(4, GPIOHANDLE_REQUEST_INPUT, 1U << 2, h), EINVAL);
  EXPECT_EQ(event(54, GPIOHANDLE_REQUEST_INPUT, GPIOEVENT_REQUEST_BOTH_EDGES, h), EINVAL);
  EXPECT_EQ(ioctl(fd, GPIO_GET_LINEHANDLE_IOCTL, nullptr), -1);
  EXPECT_EQ(errno, EFAULT);
  // Nothing refused holds a line.
  EXPECT_EQ(info(4).flags & GPIOLINE_FLAG_KERNEL, 0U);
}

TEST_F(Chip, AHandleHoldsItsLinesUntilClosedAndOnlyOutputsTakeValues) {
  int in = -1, out = -1;
  ASSERT_EQ(handle({22}, GPIOHANDLE_REQUEST_INPUT, in), 0);
  // The kernel's request descriptors are close-on-exec.
  EXPECT_EQ(fcntl(in, F_GETFD), FD_CLOEXEC);
  int again = -1;
  EXPECT_EQ(handle({22}, GPIOHANDLE_REQUEST_INPUT, again), EBUSY);
  EXPECT_EQ(store("/sys/class/gpio/export", "22"), EBUSY);
  gpioline_info i = info(22);
  EXPECT_STREQ(i.consumer, "test");
  EXPECT_EQ(i.flags, static_cast<unsigned>(GPIOLINE_FLAG_KERNEL));
  gpiohandle_data d{};
  d.values[0] = 1;
  EXPECT_EQ(ioctl(in, GPIOHANDLE_SET_LINE_VALUES_IOCTL, &d), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(ioctl(in, GPIO_GET_CHIPINFO_IOCTL, &d), -1);
  EXPECT_EQ(errno, EINVAL);

  // An active-low output: logical 1 is a low line, as sysfs shows it.
  ASSERT_EQ(handle({23}, GPIOHANDLE_REQUEST_OUTPUT | GPIOHANDLE_REQUEST_ACTIVE_LOW, out, ""), 0);
  i = info(23);
  EXPECT_STREQ(i.consumer, "?");
  EXPECT_EQ(i.flags, static_cast<unsigned>(GPIOLINE_FLAG_KERNEL | GPIOLINE_FLAG_IS_OUT |
                                           GPIOLINE_FLAG_ACTIVE_LOW));
  d.values[0] = 1;
  ASSERT_EQ(ioctl(out, GPIOHANDLE_SET_LINE_VALUES_IOCTL, &d), 0);
  EXPECT_EQ(vboard_pin_level(23), -1);  // not exported: no sysfs value
  gpiohandle_data got{};
  ASSERT_EQ(ioctl(out, GPIOHANDLE_GET_LINE_VALUES_IOCTL, &got), 0);
  EXPECT_EQ(got.values[0], 1);
  // Reconfigured as an input it stops driving.
  gpiohandle_config c{};
  c.flags = GPIOHANDLE_REQUEST_INPUT;
  ASSERT_EQ(ioctl(out, GPIOHANDLE_SET_CONFIG_IOCTL, &c), 0);
  EXPECT_EQ(info(23).flags, static_cast<unsigned>(GPIOLINE_FLAG_KERNEL));
  c.flags = GPIOHANDLE_REQUEST_INPUT | GPIOHANDLE_REQUEST_OUTPUT;
  EXPECT_EQ(ioctl(out, GPIOHANDLE_SET_CONFIG_IOCTL, &c), -1);
  EXPECT_EQ(errno, EINVAL);

  close(in);
  close(out);
  EXPECT_STREQ(info(22).consumer, "");
  EXPECT_EQ(store("/sys/class/gpio/export", "22"), 0);
  EXPECT_STREQ(info(22).consumer, "sysfs");
  EXPECT_EQ(handle({22}, GPIOHANDLE_REQUEST_INPUT, again), EBUSY);
}

TEST_F(Chip, EdgeEventsQueueAsWholeRecordsUpToTheKernelsSixteen) {
  // A jumper wires line 22 to line 23: one request drives what the other
  // watches.
  ASSERT_EQ(setenv("VBOARD_JUMPERS", "22:23", 1), 0);
  ASSERT_EQ(vboard_reset(), 0);
  ASSERT_EQ(unsetenv("VBOARD_JUMPERS"), 0);
  int drv = -1, ev = -1;
  ASSERT_EQ(handle({22}, GPIOHANDLE_REQUEST_OUTPUT, drv), 0);
  ASSERT_EQ(event(23, GPIOHANDLE_REQUEST_INPUT, GPIOEVENT_REQUEST_BOTH_EDGES, ev), 0);
  EXPECT_EQ(fcntl(ev, F_GETFD), FD_CLOEXEC);
  pollfd p{ev, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);
  gpioevent_data e[20]{};
  // A blocking read waits for an event: the first comes from another
  // thread; a non-blocking one answers at once.
  std::thread later([&] {
    usleep(100000);  // most likely after the read began waiting; right either way
    gpiohandle_data high{};
    high.values[0] = 1;
    EXPECT_EQ(ioctl(drv, GPIOHANDLE_SET_LINE_VALUES_IOCTL, &high), 0);
  });
  ASSERT_EQ(read(ev, e, sizeof e), static_cast<ssize_t>(sizeof e[0]));
  later.join();
  EXPECT_EQ(e[0].id, static_cast<unsigned>(GPIOEVENT_EVENT_RISING_EDGE));
  ASSERT_EQ(fcntl(ev, F_SETFL, O_NONBLOCK), 0);
  EXPECT_EQ(read(ev, e, sizeof e), -1);
  EXPECT_EQ(errno, EAGAIN);

  gpiohandle_data d{};
  timespec before{};
  clock_gettime(CLOCK_MONOTONIC, &before);
  for (int i = 0; i < 10; ++i) {  // the line is high: low first
    d.values[0] = static_cast<unsigned char>(i & 1);
    ASSERT_EQ(ioctl(drv, GPIOHANDLE_SET_LINE_VALUES_IOCTL, &d), 0);
  }
  ASSERT_EQ(poll(&p, 1, 0), 1);
  EXPECT_EQ(p.revents, POLLIN);
  EXPECT_EQ(read(ev, e, sizeof(gpioevent_data) - 1), -1);
  EXPECT_EQ(errno, EINVAL);
  // Room for one and a half records: one is given.
  ASSERT_EQ(read(ev, e, sizeof(gpioevent_data) * 3 / 2), static_cast<ssize_t>(sizeof e[0]));
  const unsigned first = e[0].id;
  const ssize_t n = read(ev, e, sizeof e);
  ASSERT_GT(n, 0);
  ASSERT_EQ(n % sizeof(gpioevent_data), 0U);
  const std::uint64_t since = static_cast<std::uint64_t>(before.tv_sec) * 1000000000U +
                              static_cast<std::uint64_t>(before.tv_nsec);
  for (std::size_t k = 0; k < n / sizeof(gpioevent_data); ++k) {
    EXPECT_GE(e[k].timestamp, since);                  // CLOCK_MONOTONIC
    EXPECT_NE(e[k].id, k == 0 ? first : e[k - 1].id);  // edges alternate
  }
  EXPECT_EQ(poll(&p, 1, 0), 0);

  // A full queue keeps its oldest sixteen.
  for (int i = 0; i < 40; ++i) {
    d.values[0] = static_cast<unsigned char>(i & 1);
    ASSERT_EQ(ioctl(drv, GPIOHANDLE_SET_LINE_VALUES_IOCTL, &d), 0);
  }
  EXPECT_EQ(read(ev, e, sizeof e), static_cast<ssize_t>(16 * sizeof(gpioevent_data)));
  close(ev);
  close(drv);
  EXPECT_STREQ(info(23).consumer, "");
}

}  // namespace
