// The GPIO character device through plain libc calls, written from the
// kernel's header and its documentation: what each bad request gets, the
// descriptors a request returns, the edge queue, and the one controller
// behind it and the sysfs tree. The structures' sizes are pinned where the
// device is.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/gpio.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "fault_child.hpp"
#include "vboard.h"

namespace {

constexpr unsigned kIn = GPIOHANDLE_REQUEST_INPUT, kOut = GPIOHANDLE_REQUEST_OUTPUT,
                   kBoth = GPIOEVENT_REQUEST_BOTH_EDGES, kUsed = GPIOLINE_FLAG_KERNEL,
                   kUsedOutLow = kUsed | GPIOLINE_FLAG_IS_OUT | GPIOLINE_FLAG_ACTIVE_LOW;

// The errno of a call that failed, 0 when it succeeded.
int err(long rc) { return rc < 0 ? errno : 0; }

int store(const char *path, const char *text) {
  const int fd = open(path, O_WRONLY);
  if (fd < 0) return errno;
  const int e = err(write(fd, text, std::strlen(text)));
  close(fd);
  return e;
}

// What a query that must succeed fills into `t`.
template <class T>
T got(int fd, unsigned long op, T t) {
  EXPECT_EQ(ioctl(fd, op, &t), 0) << std::strerror(errno);
  return t;
}

// Sets the first line of a handle of the first interface.
int put(int handle, int value) {
  gpiohandle_data d{};
  d.values[0] = static_cast<unsigned char>(value);
  return err(ioctl(handle, GPIOHANDLE_SET_LINE_VALUES_IOCTL, &d));
}

class Chip : public ::testing::Test {
 protected:
  // A jumper wires line 22 to line 23: one request drives what the other
  // watches.
  void SetUp() override {
    ASSERT_EQ(setenv("VBOARD_JUMPERS", "22:23", 1), 0);
    ASSERT_EQ(vboard_reset(), 0);
    ASSERT_EQ(unsetenv("VBOARD_JUMPERS"), 0);
    fd = open("/dev/gpiochip0", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << std::strerror(errno);
  }
  void TearDown() override { close(fd); }

  // The errno of a request of either interface, 0 when it was granted (its
  // descriptor in `out`).
  template <class R>
  int ask(unsigned long op, R r, int &out) {
    if (ioctl(fd, op, &r) != 0) return errno;
    out = r.fd;
    return 0;
  }
  int handle(std::initializer_list<unsigned> lines, unsigned flags, int &out,
             const char *consumer = "test") {
    gpiohandle_request r{};
    for (unsigned l : lines) r.lineoffsets[r.lines++] = l;
    r.flags = flags;
    std::snprintf(r.consumer_label, sizeof r.consumer_label, "%s", consumer);
    return ask(GPIO_GET_LINEHANDLE_IOCTL, r, out);
  }
  int event(unsigned line, unsigned hflags, unsigned eflags, int &out) {
    gpioevent_request r{};
    r.lineoffset = line;
    r.handleflags = hflags;
    r.eventflags = eflags;
    return ask(GPIO_GET_LINEEVENT_IOCTL, r, out);
  }
  gpioline_info info(unsigned line) {
    gpioline_info i{};
    i.line_offset = line;
    return got(fd, GPIO_GET_LINEINFO_IOCTL, i);
  }
  gpio_v2_line_info info2(unsigned line) {
    gpio_v2_line_info i{};
    i.offset = line;
    return got(fd, GPIO_V2_GET_LINEINFO_IOCTL, i);
  }
  int fd = -1;
};

TEST_F(Chip, DescribesTheControllerAsTheSysfsTreeDoes) {
  const gpiochip_info c = got(fd, GPIO_GET_CHIPINFO_IOCTL, gpiochip_info{});
  EXPECT_STREQ(c.name, "gpiochip0");
  EXPECT_STREQ(c.label, "pinctrl-bcm2835");
  EXPECT_EQ(c.lines, 54U);
  struct stat st {};
  ASSERT_EQ(stat("/dev/gpiochip0", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode) && major(st.st_rdev) == 254U);
  const gpioline_info i = info(17);
  EXPECT_STREQ(i.name, "GPIO17");
  EXPECT_STREQ(i.consumer, "");
  EXPECT_EQ(i.flags, 0U);
  gpioline_info bad{};
  bad.line_offset = 54;
  EXPECT_EQ(err(ioctl(fd, GPIO_GET_LINEINFO_IOCTL, &bad)), EINVAL);
  EXPECT_EQ(err(ioctl(fd, GPIO_GET_CHIPINFO_IOCTL, nullptr)), EFAULT);
  EXPECT_EQ(err(ioctl(fd, _IO(0xB4, 0x7f), nullptr)), EINVAL);
}

// A structure the program may not write faults in the program, before the
// board lock: one that survives the fault goes on using the board.
TEST_F(Chip, ABadStructureFaultsBeforeTheBoardIsTaken) {
  const long page = sysconf(_SC_PAGESIZE);
  void *read_only = mmap(nullptr, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(read_only, MAP_FAILED);
  EXPECT_EQ(fault_child::survive([&] { ioctl(fd, GPIO_GET_CHIPINFO_IOCTL, read_only); },
                                 [&] {
                                   gpiochip_info c{};
                                   return ioctl(fd, GPIO_GET_CHIPINFO_IOCTL, &c) == 0 &&
                                          c.lines == 54U;
                                 }),
            "");
  munmap(read_only, page);
}

TEST_F(Chip, BadLineRequestsAreRefusedWithTheKernelsErrors) {
  int h = -1;
  EXPECT_EQ(handle({}, kIn, h), EINVAL);
  EXPECT_EQ(handle({54}, kIn, h), EINVAL);
  EXPECT_EQ(handle({4, 4}, kIn, h), EBUSY);
  // Directions exclude each other, as do drives and biases; a drive wants
  // an output, a bias a direction; unknown bits are refused.
  const unsigned refused[] = {
      kIn | kOut, kIn | GPIOHANDLE_REQUEST_OPEN_DRAIN,
      kOut | GPIOHANDLE_REQUEST_OPEN_DRAIN | GPIOHANDLE_REQUEST_OPEN_SOURCE,
      GPIOHANDLE_REQUEST_BIAS_PULL_UP,
      kIn | GPIOHANDLE_REQUEST_BIAS_PULL_UP | GPIOHANDLE_REQUEST_BIAS_PULL_DOWN, 1U << 8};
  for (unsigned f : refused) EXPECT_EQ(handle({4}, f, h), EINVAL) << f;
  EXPECT_EQ(event(4, kOut, kBoth, h), EINVAL);
  EXPECT_EQ(event(4, kIn, 1U << 2, h), EINVAL);
  EXPECT_EQ(event(54, kIn, kBoth, h), EINVAL);
  EXPECT_EQ(err(ioctl(fd, GPIO_GET_LINEHANDLE_IOCTL, nullptr)), EFAULT);
  // Nothing refused holds a line.
  EXPECT_EQ(info(4).flags & kUsed, 0U);
}

TEST_F(Chip, AHandleHoldsItsLinesUntilClosedAndOnlyOutputsTakeValues) {
  int in = -1, out = -1, again = -1;
  ASSERT_EQ(handle({22}, kIn, in), 0);
  EXPECT_EQ(fcntl(in, F_GETFD), FD_CLOEXEC);  // as the kernel's request descriptors are
  EXPECT_EQ(handle({22}, kIn, again), EBUSY);
  EXPECT_EQ(store("/sys/class/gpio/export", "22"), EBUSY);
  EXPECT_STREQ(info(22).consumer, "test");
  EXPECT_EQ(info(22).flags, kUsed);
  EXPECT_EQ(put(in, 1), EPERM);
  gpiochip_info chip{};
  EXPECT_EQ(err(ioctl(in, GPIO_GET_CHIPINFO_IOCTL, &chip)), EINVAL);

  // An active-low output: logical 1 is a low line, which the jumpered
  // input reads.
  ASSERT_EQ(handle({23}, kOut | GPIOHANDLE_REQUEST_ACTIVE_LOW, out, ""), 0);
  EXPECT_STREQ(info(23).consumer, "?");
  EXPECT_EQ(info(23).flags, kUsedOutLow);
  ASSERT_EQ(put(out, 1), 0);
  EXPECT_EQ(vboard_pin_level(23), -1);  // not exported: no sysfs value
  EXPECT_EQ(got(out, GPIOHANDLE_GET_LINE_VALUES_IOCTL, gpiohandle_data{}).values[0], 1);
  EXPECT_EQ(got(in, GPIOHANDLE_GET_LINE_VALUES_IOCTL, gpiohandle_data{}).values[0], 0);
  // Reconfigured as an input it stops driving.
  gpiohandle_config c{};
  c.flags = kIn;
  ASSERT_EQ(ioctl(out, GPIOHANDLE_SET_CONFIG_IOCTL, &c), 0);
  EXPECT_EQ(info(23).flags, kUsed);
  c.flags = kIn | kOut;
  EXPECT_EQ(err(ioctl(out, GPIOHANDLE_SET_CONFIG_IOCTL, &c)), EINVAL);

  close(in);
  close(out);
  EXPECT_STREQ(info(22).consumer, "");
  EXPECT_EQ(store("/sys/class/gpio/export", "22"), 0);
  EXPECT_STREQ(info(22).consumer, "sysfs");
  EXPECT_EQ(handle({22}, kIn, again), EBUSY);
}

TEST_F(Chip, EdgeEventsQueueAsWholeRecordsUpToTheKernelsSixteen) {
  int drv = -1, ev = -1;
  ASSERT_EQ(handle({22}, kOut, drv), 0);
  ASSERT_EQ(event(23, kIn, kBoth, ev), 0);
  pollfd p{ev, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);
  gpioevent_data e[20]{};
  // A blocking read waits for an event: the first comes from another
  // thread; a non-blocking one answers at once.
  std::thread later([&] {
    usleep(100000);  // most likely after the read began waiting; right either way
    EXPECT_EQ(put(drv, 1), 0);
  });
  ASSERT_EQ(read(ev, e, sizeof e), static_cast<ssize_t>(sizeof e[0]));
  later.join();
  EXPECT_EQ(e[0].id, static_cast<unsigned>(GPIOEVENT_EVENT_RISING_EDGE));
  ASSERT_EQ(fcntl(ev, F_SETFL, O_NONBLOCK), 0);
  EXPECT_EQ(err(read(ev, e, sizeof e)), EAGAIN);

  timespec before{};
  clock_gettime(CLOCK_MONOTONIC, &before);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(put(drv, i & 1), 0);  // the line is high: low first
  ASSERT_EQ(poll(&p, 1, 0), 1);
  EXPECT_EQ(p.revents, POLLIN);
  EXPECT_EQ(err(read(ev, e, sizeof e[0] - 1)), EINVAL);
  // Room for one and a half records: one is given, then the other nine.
  ASSERT_EQ(read(ev, e, sizeof e[0] * 3 / 2), static_cast<ssize_t>(sizeof e[0]));
  const unsigned first = e[0].id;
  ASSERT_EQ(read(ev, e, sizeof e), static_cast<ssize_t>(9 * sizeof e[0]));
  const std::uint64_t since = static_cast<std::uint64_t>(before.tv_sec) * 1000000000U +
                              static_cast<std::uint64_t>(before.tv_nsec);
  for (std::size_t k = 0; k < 9; ++k) {
    EXPECT_GE(e[k].timestamp, since);                  // CLOCK_MONOTONIC
    EXPECT_NE(e[k].id, k == 0 ? first : e[k - 1].id);  // edges alternate
  }
  EXPECT_EQ(poll(&p, 1, 0), 0);

  // A full queue keeps its oldest sixteen.
  for (int i = 0; i < 40; ++i) ASSERT_EQ(put(drv, i & 1), 0);
  EXPECT_EQ(read(ev, e, sizeof e), static_cast<ssize_t>(16 * sizeof e[0]));
  close(ev);
  close(drv);
  EXPECT_STREQ(info(23).consumer, "");
}

// ---------------------------------------------------------------------------
// The second interface.

constexpr std::uint64_t kIn2 = GPIO_V2_LINE_FLAG_INPUT, kUsed2 = GPIO_V2_LINE_FLAG_USED;

class ChipV2 : public Chip {
 protected:
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
        kIn2 | GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
    r.config.attrs[0].mask = 2;
    r.config.attrs[1].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    r.config.attrs[1].attr.values = 1;
    r.config.attrs[1].mask = 1;
    r.config.attrs[2].attr.id = GPIO_V2_LINE_ATTR_ID_DEBOUNCE;
    r.config.attrs[2].attr.debounce_period_us = 1000;
    r.config.attrs[2].mask = 2;
    return r;
  }
  int request(const gpio_v2_line_request &r, int &out) {
    return ask(GPIO_V2_GET_LINE_IOCTL, r, out);
  }
  // Sets the request's lines in `mask` to `bits`: 0 or the errno.
  static int set(int req, std::uint64_t bits, std::uint64_t mask) {
    gpio_v2_line_values v{bits, mask};
    return err(ioctl(req, GPIO_V2_LINE_SET_VALUES_IOCTL, &v));
  }
};

TEST_F(ChipV2, BadRequestsAreRefusedWithTheKernelsErrors) {
  int r = -1;
  auto with = [&](auto change) {
    gpio_v2_line_request q = both();
    change(q);
    return request(q, r);
  };
  EXPECT_EQ(with([](auto &q) { q.num_lines = 0; }), EINVAL);
  EXPECT_EQ(with([](auto &q) { q.num_lines = 65; }), EINVAL);
  EXPECT_EQ(with([](auto &q) { q.padding[4] = 1; }), EINVAL);
  EXPECT_EQ(with([](auto &q) { q.config.padding[0] = 1; }), EINVAL);
  EXPECT_EQ(with([](auto &q) { q.config.num_attrs = 11; }), EINVAL);
  EXPECT_EQ(with([](auto &q) { q.offsets[1] = 54; }), EINVAL);
  EXPECT_EQ(with([](auto &q) { q.offsets[1] = 22; }), EBUSY);
  // Edges need an explicit input; directions, drives and biases exclude
  // each other; unknown bits are refused.
  const std::uint64_t refused[] = {
      GPIO_V2_LINE_FLAG_EDGE_RISING,
      kIn2 | GPIO_V2_LINE_FLAG_OUTPUT,
      kIn2 | GPIO_V2_LINE_FLAG_OPEN_DRAIN,
      GPIO_V2_LINE_FLAG_BIAS_PULL_UP,
      kIn2 | GPIO_V2_LINE_FLAG_BIAS_PULL_UP | GPIO_V2_LINE_FLAG_BIAS_DISABLED,
      kUsed2,
      std::uint64_t{1} << 13};
  for (std::uint64_t f : refused) {
    EXPECT_EQ(with([&](auto &q) { q.config.attrs[0].attr.flags = f; }), EINVAL) << f;
  }
  EXPECT_EQ(
      with([](auto &q) { q.config.attrs[0].attr.flags |= GPIO_V2_LINE_FLAG_EVENT_CLOCK_HTE; }),
      EOPNOTSUPP);
  gpio_v2_line_info bad{};
  bad.offset = 4;
  bad.padding[0] = 1;
  EXPECT_EQ(err(ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, &bad)), EINVAL);
  // A line the first interface holds is busy for the second, and back.
  int h = -1;
  ASSERT_EQ(handle({23}, kIn, h), 0);
  EXPECT_EQ(request(both(), r), EBUSY);
  EXPECT_EQ(info2(22).flags, kIn2);
  close(h);
}

TEST_F(ChipV2, ARequestConfiguresEachLineAndBothInterfacesShowIt) {
  int r = -1;
  ASSERT_EQ(request(both(), r), 0);
  gpio_v2_line_info i = info2(22);
  EXPECT_STREQ(i.name, "GPIO22");
  EXPECT_STREQ(i.consumer, "v2");
  EXPECT_EQ(i.flags, kUsed2 | GPIO_V2_LINE_FLAG_OUTPUT | GPIO_V2_LINE_FLAG_ACTIVE_LOW);
  EXPECT_EQ(i.num_attrs, 0U);
  i = info2(23);
  EXPECT_EQ(i.flags,
            kUsed2 | kIn2 | GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING);
  ASSERT_EQ(i.num_attrs, 1U);
  EXPECT_EQ(i.attrs[0].id, static_cast<unsigned>(GPIO_V2_LINE_ATTR_ID_DEBOUNCE));
  EXPECT_EQ(i.attrs[0].debounce_period_us, 1000U);
  EXPECT_EQ(info(22).flags, kUsedOutLow);

  // Logical 1 on an active-low output is a low line: the jumpered input
  // reads 0.
  EXPECT_EQ(got(r, GPIO_V2_LINE_GET_VALUES_IOCTL, gpio_v2_line_values{0, 3}).bits, 1U);
  gpio_v2_line_values none{0, 0};
  EXPECT_EQ(err(ioctl(r, GPIO_V2_LINE_GET_VALUES_IOCTL, &none)), EINVAL);
  EXPECT_EQ(set(r, 0, 0), EINVAL);
  EXPECT_EQ(set(r, 3, 3), EPERM);  // line 23 is an input
  ASSERT_EQ(set(r, 0, 1), 0);
  EXPECT_EQ(got(r, GPIO_V2_LINE_GET_VALUES_IOCTL, gpio_v2_line_values{0, 2}).bits, 2U);

  // Reconfigured: both inputs, no edges; nothing takes values any more.
  gpio_v2_line_config c{};
  c.flags = kIn2;
  ASSERT_EQ(ioctl(r, GPIO_V2_LINE_SET_CONFIG_IOCTL, &c), 0);
  EXPECT_EQ(set(r, 1, 1), EPERM);
  EXPECT_EQ(info2(23).flags, kUsed2 | kIn2);
  c.flags = GPIO_V2_LINE_FLAG_EDGE_RISING;
  EXPECT_EQ(err(ioctl(r, GPIO_V2_LINE_SET_CONFIG_IOCTL, &c)), EINVAL);
  close(r);
  EXPECT_STREQ(info2(22).consumer, "");
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
  EXPECT_STREQ(got(fd, GPIO_V2_GET_LINEINFO_WATCH_IOCTL, w).name, "GPIO22");
  EXPECT_EQ(err(ioctl(fd, GPIO_V2_GET_LINEINFO_WATCH_IOCTL, &w)), EBUSY);
  gpioline_info w1{};
  w1.line_offset = 23;
  // One interface a descriptor.
  EXPECT_EQ(err(ioctl(fd, GPIO_GET_LINEINFO_WATCH_IOCTL, &w1)), EPERM);
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);

  int h = -1, other = -1;
  ASSERT_EQ(handle({23}, kIn, other), 0);  // not watched
  ASSERT_EQ(handle({22}, kOut, h, "watched"), 0);
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
  EXPECT_EQ(err(ioctl(fd, GPIO_GET_LINEINFO_UNWATCH_IOCTL, &line)), EBUSY);
  EXPECT_EQ(store("/sys/class/gpio/unexport", "22"), 0);
  EXPECT_EQ(poll(&p, 1, 0), 0);
}

}  // namespace
