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

// ---------------------------------------------------------------------------
// The second interface.

static_assert(sizeof(gpio_v2_line_request) == 592 && offsetof(gpio_v2_line_request, fd) == 588);
static_assert(sizeof(gpio_v2_line_config) == 272 && sizeof(gpio_v2_line_info) == 256);
static_assert(sizeof(gpio_v2_line_event) == 48 && sizeof(gpio_v2_line_values) == 16);

class ChipV2 : public Chip {
 protected:
  void SetUp() override {
    // Line 22 drives line 23 through a jumper.
    ASSERT_EQ(setenv("VBOARD_JUMPERS", "22:23", 1), 0);
    Chip::SetUp();
    ASSERT_EQ(unsetenv("VBOARD_JUMPERS"), 0);
  }
  // A request of 22 as an active-low output at logical 1 and 23 as an
  // input watching both edges, debounced: one default and three
  // attributes.
  static gpio_v2_line_request both() {
    gpio_v2_line_request r{};
    r.num_lines = 2;
    r.offsets[0] = 22;
    r.offsets[1] = 23;
    std::snprintf(r.consumer, sizeof r.consumer, "v2");
    r.config.flags = GPIO_V2_LINE_FLAG_OUTPUT | GPIO_V2_LINE_FLAG_ACTIVE_LOW;
    r.config.num_attrs = 3;
    r.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_FLAGS;
    r.config.attrs[0].attr.flags =
        GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
    r.config.attrs[0].mask = 2;
    r.config.attrs[1].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    r.config.attrs[1].attr.values = 1;
    r.config.attrs[1].mask = 1;
    r.config.attrs[2].attr.id = GPIO_V2_LINE_ATTR_ID_DEBOUNCE;
    r.config.attrs[2].attr.debounce_period_us = 1000;
    r.config.attrs[2].mask = 2;
    return r;
  }
  int request(gpio_v2_line_request r, int &out) {
    if (ioctl(fd, GPIO_V2_GET_LINE_IOCTL, &r) != 0) return errno;
    out = r.fd;
    return 0;
  }
  gpio_v2_line_info info2(unsigned line) {
    gpio_v2_line_info i{};
    i.offset = line;
    EXPECT_EQ(ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, &i), 0);
    return i;
  }
  // Sets the request's lines in `mask` to `bits`: 0 or the errno.
  static int set(int req, std::uint64_t bits, std::uint64_t mask) {
    gpio_v2_line_values v{bits, mask};
    return ioctl(req, GPIO_V2_LINE_SET_VALUES_IOCTL, &v) == 0 ? 0 : errno;
  }
};

TEST_F(ChipV2, BadRequestsAreRefusedWithTheKernelsErrors) {
  int r = -1;
  auto with = [](auto change) {
    gpio_v2_line_request q = both();
    change(q);
    return q;
  };
  EXPECT_EQ(request(with([](auto &q) { q.num_lines = 0; }), r), EINVAL);
  EXPECT_EQ(request(with([](auto &q) { q.num_lines = 65; }), r), EINVAL);
  EXPECT_EQ(request(with([](auto &q) { q.padding[4] = 1; }), r), EINVAL);
  EXPECT_EQ(request(with([](auto &q) { q.config.padding[0] = 1; }), r), EINVAL);
  EXPECT_EQ(request(with([](auto &q) { q.config.num_attrs = 11; }), r), EINVAL);
  EXPECT_EQ(request(with([](auto &q) { q.offsets[1] = 54; }), r), EINVAL);
  EXPECT_EQ(request(with([](auto &q) { q.offsets[1] = 22; }), r), EBUSY);
  // Edges need an explicit input; directions, drives and biases exclude
  // each other; unknown bits are refused.
  const std::uint64_t refused[] = {
      GPIO_V2_LINE_FLAG_EDGE_RISING,
      GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OUTPUT,
      GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OPEN_DRAIN,
      GPIO_V2_LINE_FLAG_BIAS_PULL_UP,
      GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_BIAS_PULL_UP | GPIO_V2_LINE_FLAG_BIAS_DISABLED,
      GPIO_V2_LINE_FLAG_USED,
      std::uint64_t{1} << 13};
  for (std::uint64_t f : refused) {
    EXPECT_EQ(request(with([&](auto &q) { q.config.attrs[0].attr.flags = f; }), r), EINVAL) << f;
  }
  EXPECT_EQ(request(with([](auto &q) {
                      q.config.attrs[0].attr.flags |= GPIO_V2_LINE_FLAG_EVENT_CLOCK_HTE;
                    }),
                    r),
            EOPNOTSUPP);
  gpio_v2_line_info bad{};
  bad.offset = 4;
  bad.padding[0] = 1;
  EXPECT_EQ(ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, &bad), -1);
  EXPECT_EQ(errno, EINVAL);
  // A line the first interface holds is busy for the second, and back.
  int h = -1;
  ASSERT_EQ(handle({23}, GPIOHANDLE_REQUEST_INPUT, h), 0);
  EXPECT_EQ(request(both(), r), EBUSY);
  EXPECT_EQ(info2(22).flags, static_cast<std::uint64_t>(GPIO_V2_LINE_FLAG_INPUT));
  close(h);
}

TEST_F(ChipV2, ARequestConfiguresEachLineAndBothInterfacesShowIt) {
  int r = -1;
  ASSERT_EQ(request(both(), r), 0);
  EXPECT_EQ(fcntl(r, F_GETFD), FD_CLOEXEC);
  gpio_v2_line_info i = info2(22);
  EXPECT_STREQ(i.name, "GPIO22");
  EXPECT_STREQ(i.consumer, "v2");
  EXPECT_EQ(i.flags,
            GPIO_V2_LINE_FLAG_USED | GPIO_V2_LINE_FLAG_OUTPUT | GPIO_V2_LINE_FLAG_ACTIVE_LOW);
  EXPECT_EQ(i.num_attrs, 0U);
  i = info2(23);
  EXPECT_EQ(i.flags, GPIO_V2_LINE_FLAG_USED | GPIO_V2_LINE_FLAG_INPUT |
                         GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING);
  ASSERT_EQ(i.num_attrs, 1U);
  EXPECT_EQ(i.attrs[0].id, static_cast<unsigned>(GPIO_V2_LINE_ATTR_ID_DEBOUNCE));
  EXPECT_EQ(i.attrs[0].debounce_period_us, 1000U);
  EXPECT_EQ(info(22).flags, static_cast<unsigned>(GPIOLINE_FLAG_KERNEL | GPIOLINE_FLAG_IS_OUT |
                                                  GPIOLINE_FLAG_ACTIVE_LOW));
  EXPECT_EQ(store("/sys/class/gpio/export", "22"), EBUSY);

  // Logical 1 on an active-low output is a low line: the jumpered input
  // reads 0.
  gpio_v2_line_values v{0, 3};
  ASSERT_EQ(ioctl(r, GPIO_V2_LINE_GET_VALUES_IOCTL, &v), 0);
  EXPECT_EQ(v.bits, 1U);
  v = {0, 0};
  EXPECT_EQ(ioctl(r, GPIO_V2_LINE_GET_VALUES_IOCTL, &v), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(set(r, 0, 0), EINVAL);
  EXPECT_EQ(set(r, 3, 3), EPERM);  // line 23 is an input
  ASSERT_EQ(set(r, 0, 1), 0);
  v = {0, 2};
  ASSERT_EQ(ioctl(r, GPIO_V2_LINE_GET_VALUES_IOCTL, &v), 0);
  EXPECT_EQ(v.bits, 2U);

  // Reconfigured: both inputs, no edges; nothing takes values any more.
  gpio_v2_line_config c{};
  c.flags = GPIO_V2_LINE_FLAG_INPUT;
  ASSERT_EQ(ioctl(r, GPIO_V2_LINE_SET_CONFIG_IOCTL, &c), 0);
  EXPECT_EQ(set(r, 1, 1), EPERM);
  EXPECT_EQ(info2(23).flags, GPIO_V2_LINE_FLAG_USED | GPIO_V2_LINE_FLAG_INPUT);
  c.flags = GPIO_V2_LINE_FLAG_EDGE_RISING;
  EXPECT_EQ(ioctl(r, GPIO_V2_LINE_SET_CONFIG_IOCTL, &c), -1);
  EXPECT_EQ(errno, EINVAL);
  close(r);
  EXPECT_STREQ(info2(22).consumer, "");
  EXPECT_EQ(store("/sys/class/gpio/export", "22"), 0);
}

TEST_F(ChipV2, EventsCarrySequenceNumbersAndAFullQueueDropsItsOldest) {
  gpio_v2_line_request q = both();
  q.event_buffer_size = 4;
  int r = -1;
  ASSERT_EQ(request(q, r), 0);
  pollfd p{r, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);
  // Line 22 is low (logical 1, active low): ten changes give ten edges on
  // line 23, rising first.
  for (int k = 0; k < 10; ++k) ASSERT_EQ(set(r, static_cast<std::uint64_t>(k & 1), 1), 0);
  ASSERT_EQ(poll(&p, 1, 0), 1);
  gpio_v2_line_event e[8]{};
  EXPECT_EQ(read(r, e, sizeof e[0] - 1), -1);
  EXPECT_EQ(errno, EINVAL);
  ASSERT_EQ(read(r, e, sizeof e), static_cast<ssize_t>(4 * sizeof e[0]));
  for (unsigned k = 0; k < 4; ++k) {
    EXPECT_EQ(e[k].offset, 23U);
    EXPECT_EQ(e[k].seqno, 7 + k);
    EXPECT_EQ(e[k].line_seqno, 7 + k);
    EXPECT_EQ(e[k].id, k % 2 == 0 ? static_cast<unsigned>(GPIO_V2_LINE_EVENT_RISING_EDGE)
                                  : static_cast<unsigned>(GPIO_V2_LINE_EVENT_FALLING_EDGE));
  }
  EXPECT_EQ(poll(&p, 1, 0), 0);
  close(r);
}

TEST_F(ChipV2, AWatchReportsRequestsReleasesAndExportsOfItsLineOnly) {
  gpio_v2_line_info w{};
  w.offset = 22;
  ASSERT_EQ(ioctl(fd, GPIO_V2_GET_LINEINFO_WATCH_IOCTL, &w), 0);
  EXPECT_STREQ(w.name, "GPIO22");
  EXPECT_EQ(ioctl(fd, GPIO_V2_GET_LINEINFO_WATCH_IOCTL, &w), -1);
  EXPECT_EQ(errno, EBUSY);
  gpioline_info w1{};
  w1.line_offset = 23;
  EXPECT_EQ(ioctl(fd, GPIO_GET_LINEINFO_WATCH_IOCTL, &w1), -1);  // one interface a descriptor
  EXPECT_EQ(errno, EPERM);
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);

  int h = -1, other = -1;
  ASSERT_EQ(handle({23}, GPIOHANDLE_REQUEST_INPUT, other), 0);  // not watched
  ASSERT_EQ(handle({22}, GPIOHANDLE_REQUEST_OUTPUT, h, "watched"), 0);
  ASSERT_EQ(poll(&p, 1, 0), 1);
  gpio_v2_line_info_changed c[4]{};
  ASSERT_EQ(read(fd, c, sizeof c), static_cast<ssize_t>(sizeof c[0]));
  EXPECT_EQ(c[0].event_type, static_cast<unsigned>(GPIO_V2_LINE_CHANGED_REQUESTED));
  EXPECT_EQ(c[0].info.offset, 22U);
  EXPECT_STREQ(c[0].info.consumer, "watched");
  close(h);
  close(other);
  EXPECT_EQ(store("/sys/class/gpio/export", "22"), 0);
  ASSERT_EQ(read(fd, c, sizeof c), static_cast<ssize_t>(2 * sizeof c[0]));
  EXPECT_EQ(c[0].event_type, static_cast<unsigned>(GPIO_V2_LINE_CHANGED_RELEASED));
  EXPECT_EQ(c[1].event_type, static_cast<unsigned>(GPIO_V2_LINE_CHANGED_REQUESTED));
  EXPECT_STREQ(c[1].info.consumer, "sysfs");  // the info as it is now

  std::uint32_t line = 22;
  ASSERT_EQ(ioctl(fd, GPIO_GET_LINEINFO_UNWATCH_IOCTL, &line), 0);
  EXPECT_EQ(ioctl(fd, GPIO_GET_LINEINFO_UNWATCH_IOCTL, &line), -1);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(store("/sys/class/gpio/unexport", "22"), 0);
  EXPECT_EQ(poll(&p, 1, 0), 0);
}

}  // namespace
