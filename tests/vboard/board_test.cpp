// The board linked into the test process, as the kernel would answer:
// what the sysfs GPIO tree's files take and give, events on value files,
// the chip on its pins, inputs, faults, the trace and the control interface
// from C. How each C library entry point reaches the tree (variants,
// descriptors, streams, waits) is entry_points_test.cpp's subject.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "control_c.h"
#include "vboard.h"

namespace {

const std::string kGpio = "/sys/class/gpio/";
std::string pin_file(int pin, const char *leaf) {
  return kGpio + "gpio" + std::to_string(pin) + "/" + leaf;
}

// One write the way `echo` does it: open, one write, close. Returns 0 or
// the errno of the first step that failed.
int store(const std::string &path, const std::string &text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return errno;
  const ssize_t w = write(fd, text.data(), text.size());
  const int err = w < 0 ? errno : 0;
  EXPECT_EQ(close(fd), 0);
  if (w >= 0) {
    EXPECT_EQ(static_cast<std::size_t>(w), text.size());
  }
  return err;
}

// Whole contents, or "<errno name>" when opening or reading fails.
std::string show(const std::string &path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return std::string("<") + strerrorname_np(errno) + ">";
  std::string out;
  char buf[64];
  ssize_t n = 0;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  if (n < 0) out = std::string("<") + strerrorname_np(errno) + ">";
  close(fd);
  return out;
}

bool exists(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

class Board : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(vboard_reset(), 0); }
  void TearDown() override { vboard_clear_faults(); }
};

TEST_F(Board, ExportCreatesThePinFilesAndUnexportRemovesThem) {
  EXPECT_FALSE(exists(kGpio + "gpio17"));
  EXPECT_EQ(show(pin_file(17, "value")), "<ENOENT>");
  EXPECT_EQ(store(kGpio + "export", "17"), 0);
  struct stat st {};
  ASSERT_EQ(stat((kGpio + "gpio17").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(show(pin_file(17, "direction")), "in\n");
  EXPECT_EQ(show(pin_file(17, "value")), "0\n");
  EXPECT_EQ(store(kGpio + "export", "17\n"), EBUSY);
  EXPECT_EQ(vboard_pin_exported(17), 1);

  EXPECT_EQ(store(kGpio + "unexport", "17\n"), 0);
  EXPECT_FALSE(exists(kGpio + "gpio17"));
  EXPECT_EQ(show(pin_file(17, "direction")), "<ENOENT>");
  EXPECT_EQ(store(pin_file(17, "value"), "1"), ENOENT);
  EXPECT_EQ(store(kGpio + "unexport", "17"), EINVAL);
  EXPECT_EQ(vboard_pin_exported(17), 0);
}

TEST_F(Board, NumbersThatAreNoPinAreRefusedWithEinval) {
  for (const char *bad : {"54", "-1", "abc", "17x", " 17", "17\n\n", "99999999999"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(store(kGpio + "export", bad), EINVAL);
    EXPECT_EQ(store(kGpio + "unexport", bad), EINVAL);
  }
  // The kernel parses with base detection.
  EXPECT_EQ(store(kGpio + "export", "0x11"), 0);
  EXPECT_TRUE(exists(kGpio + "gpio17"));
  EXPECT_EQ(store(kGpio + "export", "53"), 0);
  // The directory name is canonical: no leading zeros.
  EXPECT_FALSE(exists(kGpio + "gpio017"));
}

TEST_F(Board, StoresEndAtANulAndNumbersThatDoNotFitAreOutOfRange) {
  // The kernel hands a store the bytes as a C string: its parsers stop at
  // the first NUL, and the whole write is taken.
  const auto bytes = [](const char *text, std::size_t n) { return std::string(text, n); };
  EXPECT_EQ(store(kGpio + "export", bytes("22\0", 3)), 0);
  EXPECT_EQ(store(pin_file(22, "direction"), bytes("out\0", 4)), 0);
  EXPECT_EQ(store(pin_file(22, "value"), bytes("1\0", 2)), 0);
  EXPECT_EQ(show(pin_file(22, "value")), "1\n");
  EXPECT_EQ(store(pin_file(22, "value"), bytes("0\n\0junk", 7)), 0);
  EXPECT_EQ(show(pin_file(22, "value")), "0\n");
  EXPECT_EQ(store(pin_file(22, "direction"), bytes("in\n\0", 4)), 0);
  EXPECT_EQ(store(pin_file(22, "edge"), bytes("both\0x", 6)), 0);
  EXPECT_EQ(show(pin_file(22, "edge")), "both\n");
  EXPECT_EQ(store(kGpio + "unexport", bytes("22\0", 3)), 0);
  EXPECT_EQ(store(kGpio + "export", bytes("\0"
                                          "22",
                                          3)),
            EINVAL);  // nothing before the NUL
  EXPECT_EQ(store(kGpio + "export", bytes("2\n2", 3)), EINVAL);

  // kstrtol: a number past the range of a long is ERANGE (also before
  // trailing garbage), anything unparsable EINVAL; one that fits but is no
  // pin EINVAL.
  for (const char *big : {"9223372036854775808", "99999999999999999999", "-9223372036854775809",
                          "0x10000000000000000", "99999999999999999999x"}) {
    SCOPED_TRACE(big);
    EXPECT_EQ(store(kGpio + "export", big), ERANGE);
    EXPECT_EQ(store(kGpio + "unexport", big), ERANGE);
  }
  EXPECT_EQ(store(kGpio + "export", "9223372036854775807"), EINVAL);
  EXPECT_EQ(store(kGpio + "export", "-9223372036854775808"), EINVAL);
  EXPECT_EQ(store(kGpio + "export", "0x"), EINVAL);
  EXPECT_EQ(store(kGpio + "export", "+0x17"), 0);  // a sign and a base prefix
  EXPECT_TRUE(exists(kGpio + "gpio23"));
  ASSERT_EQ(store(pin_file(23, "direction"), "low"), 0);
  EXPECT_EQ(store(pin_file(23, "value"), "99999999999999999999"), ERANGE);
  EXPECT_EQ(store(pin_file(23, "active_low"), "-99999999999999999999"), ERANGE);
  EXPECT_EQ(show(pin_file(23, "value")), "0\n");
}

TEST_F(Board, DirectionTakesTheKernelsFourWordsAndValueFollowsIt) {
  ASSERT_EQ(store(kGpio + "export", "26"), 0);
  const auto dir = pin_file(26, "direction"), val = pin_file(26, "value");
  EXPECT_EQ(store(val, "1"), EPERM);  // input pin
  EXPECT_EQ(store(dir, "high"), 0);
  EXPECT_EQ(show(dir), "out\n");
  EXPECT_EQ(show(val), "1\n");
  EXPECT_EQ(store(dir, "low\n"), 0);
  EXPECT_EQ(show(val), "0\n");
  EXPECT_EQ(store(val, "1"), 0);
  EXPECT_EQ(show(val), "1\n");
  EXPECT_EQ(vboard_pin_level(26), 1);
  EXPECT_EQ(store(val, "0\n"), 0);
  EXPECT_EQ(show(val), "0\n");
  EXPECT_EQ(store(val, "7"), 0);  // any nonzero number drives high
  EXPECT_EQ(show(val), "1\n");
  EXPECT_EQ(store(val, "on"), EINVAL);
  for (const char *bad : {"OUT", "output", "out\n\n", "", " in"}) {
    SCOPED_TRACE(bad);
    if (*bad != '\0') {
      EXPECT_EQ(store(dir, bad), EINVAL);
    }
  }
  EXPECT_EQ(store(dir, "in"), 0);
  EXPECT_EQ(show(dir), "in\n");
  EXPECT_EQ(store(val, "1"), EPERM);
}

TEST_F(Board, ThreadsSharingTheBoardSeeConsistentPins) {
  // Each thread owns one pin and toggles it while others do the same and
  // real files are read alongside; every read must give the level written.
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &mismatches] {
      const int pin = 10 + t;
      if (store(kGpio + "export", std::to_string(pin)) != 0) ++mismatches;
      if (store(pin_file(pin, "direction"), "out") != 0) ++mismatches;
      for (int i = 0; i < 200; ++i) {
        const std::string level = std::to_string(i & 1);
        if (store(pin_file(pin, "value"), level) != 0) ++mismatches;
        if (show(pin_file(pin, "value")) != level + "\n") ++mismatches;
        if (show("/proc/self/stat").empty()) ++mismatches;
      }
      if (store(kGpio + "unexport", std::to_string(pin)) != 0) ++mismatches;
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
  for (int pin = 10; pin < 14; ++pin) EXPECT_EQ(vboard_pin_exported(pin), 0);
}

TEST_F(Board, ThreadsQueueingForTheBoardEachGetTheirOwnTraceEvent) {
  // Accesses of threads that wait for one another: each one is one event,
  // numbered once; none lost to another thread's access at the same time.
  ASSERT_EQ(store(kGpio + "export", "22"), 0);
  vboard_trace_clear();
  constexpr int kThreads = 4, kSeeks = 2000;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&failures] {
      const int fd = open(pin_file(22, "value").c_str(), O_RDONLY);
      if (fd < 0) {
        ++failures;
        return;
      }
      for (int i = 0; i < kSeeks; ++i) {
        if (lseek(fd, i & 1, SEEK_SET) != (i & 1)) ++failures;
      }
      close(fd);
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  // An open, the seeks and a close per thread.
  ASSERT_EQ(vboard_trace_count(), static_cast<size_t>(kThreads * (kSeeks + 2)));
  std::vector<std::uint64_t> seqs;
  for (size_t i = 0; i < vboard_trace_count(); ++i) {
    vboard_event e{};
    ASSERT_EQ(vboard_trace_get(i, &e), 0);
    seqs.push_back(e.seq);
  }
  for (size_t i = 1; i < seqs.size(); ++i) ASSERT_LT(seqs[i - 1], seqs[i]) << "event " << i;
}

TEST_F(Board, PathsOutsideTheTreeAreUntouched) {
  char tmpl[] = "/tmp/vboard-test-XXXXXX";
  const std::string dir = mkdtemp(tmpl) != nullptr ? tmpl : "";
  ASSERT_FALSE(dir.empty());
  const std::string file = dir + "/plain";
  EXPECT_EQ(store(file, "hello"), 0);
  EXPECT_EQ(show(file), "hello");
  std::filesystem::remove_all(dir);
  // A name that only shares the prefix is not part of the tree.
  EXPECT_EQ(show("/sys/class/gpiox/export"), "<ENOENT>");
  const size_t before = vboard_trace_count();
  EXPECT_EQ(show("/proc/self/comm").empty(), false);
  EXPECT_EQ(vboard_trace_count(), before);
}

TEST_F(Board, StatAndAccessDescribeTheTree) {
  struct stat st {};
  ASSERT_EQ(stat("/sys/class/gpio", &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_EQ(lstat((kGpio + "export").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(access((kGpio + "export").c_str(), W_OK), 0);
  // Root may read any file, though opening export to read still fails.
  EXPECT_EQ(access((kGpio + "export").c_str(), R_OK), getuid() == 0 ? 0 : -1);
  EXPECT_EQ(access((kGpio + "export").c_str(), X_OK), -1);
  EXPECT_EQ(open((kGpio + "export").c_str(), O_RDONLY), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(open((kGpio + "newfile").c_str(), O_WRONLY | O_CREAT, 0644), -1);
  EXPECT_EQ(errno, EACCES);
}

// What a waiter on a value file sees, as with sysfs: an event until the
// file is first read (each way of waiting checks that one in
// entry_points_test.cpp), one per matching edge until the next read from
// the start, and one when the pin goes away under it, whose file is then
// gone but still closes.
TEST_F(Board, AValueFileWakesItsWaiterOnEdgesUntilReadAndWhenItsPinGoes) {
  ASSERT_EQ(setenv("VBOARD_JUMPERS", "22:23", 1), 0);  // 23 drives what 22 reads
  ASSERT_EQ(vboard_reset(), 0);
  ASSERT_EQ(store(kGpio + "export", "22"), 0);
  ASSERT_EQ(store(kGpio + "export", "23"), 0);
  ASSERT_EQ(store(pin_file(23, "direction"), "low"), 0);
  ASSERT_EQ(store(pin_file(22, "edge"), "rising"), 0);
  const int fd = open(pin_file(22, "value").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  auto pending = [fd] {
    pollfd p{fd, POLLPRI, 0};
    EXPECT_GE(poll(&p, 1, 0), 0);
    return p.revents;
  };
  auto reread = [fd] {
    char buf[4] = {};
    EXPECT_EQ(lseek(fd, 0, SEEK_SET), 0);
    return read(fd, buf, sizeof buf) == 2 ? std::string(buf, 2) : std::string("<failed>");
  };
  EXPECT_EQ(reread(), "0\n");
  EXPECT_EQ(pending(), 0);

  ASSERT_EQ(store(pin_file(23, "value"), "1"), 0);
  EXPECT_EQ(pending(), POLLPRI | POLLERR) << "a rising edge";
  EXPECT_EQ(pending(), POLLPRI | POLLERR) << "still there until read";
  EXPECT_EQ(reread(), "1\n");
  EXPECT_EQ(pending(), 0);
  ASSERT_EQ(store(pin_file(23, "value"), "0"), 0);
  EXPECT_EQ(pending(), 0) << "a falling edge is not asked for";

  // select reports the event as an exceptional condition.
  ASSERT_EQ(store(pin_file(23, "value"), "1"), 0);
  fd_set except;
  FD_ZERO(&except);
  FD_SET(fd, &except);
  timeval now{0, 0};
  EXPECT_EQ(select(fd + 1, nullptr, nullptr, &except, &now), 1);
  EXPECT_TRUE(FD_ISSET(fd, &except));
  EXPECT_EQ(reread(), "1\n");

  ASSERT_EQ(store(kGpio + "unexport", "22"), 0);
  EXPECT_EQ(pending(), POLLPRI | POLLERR) << "the pin went away";
  char c = 0;
  EXPECT_EQ(read(fd, &c, 1), -1);
  EXPECT_EQ(errno, ENODEV);
  EXPECT_EQ(close(fd), 0);
  ASSERT_EQ(unsetenv("VBOARD_JUMPERS"), 0);
  ASSERT_EQ(vboard_reset(), 0);
}

TEST_F(Board, InjectedFaultsFailTheWayTheyAreAskedTo) {
  ASSERT_EQ(store(kGpio + "export", "26"), 0);
  ASSERT_EQ(vboard_fault_open(pin_file(26, "direction").c_str(), EACCES), 0);
  EXPECT_EQ(store(pin_file(26, "direction"), "out"), EACCES);
  EXPECT_EQ(store(pin_file(26, "value"), "1"), EPERM);  // other files unaffected
  ASSERT_EQ(vboard_fault_open(pin_file(26, "direction").c_str(), 0), 0);
  EXPECT_EQ(store(pin_file(26, "direction"), "out"), 0);

  ASSERT_EQ(vboard_fault_export_missing(1), 0);
  EXPECT_EQ(store(kGpio + "export", "4"), ENOENT);
  EXPECT_FALSE(exists(kGpio + "export"));
  ASSERT_EQ(vboard_fault_export_missing(0), 0);
  EXPECT_EQ(store(kGpio + "export", "4"), 0);

  ASSERT_EQ(vboard_fault_empty_value(4, 1), 0);
  EXPECT_EQ(show(pin_file(4, "value")), "");
  FILE *f = fopen(pin_file(4, "value").c_str(), "r");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fgetc(f), EOF);
  fclose(f);
  vboard_clear_faults();
  EXPECT_EQ(show(pin_file(4, "value")), "0\n");

  EXPECT_EQ(vboard_fault_open("relative/path", EIO), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(Board, InputsConvertAgainstTheReference) {
  EXPECT_EQ(vboard_set_code(0, 512), 0);
  EXPECT_EQ(vboard_channel_code(0), 512);
  EXPECT_EQ(vboard_set_voltage(1, 1.65), 0);
  EXPECT_EQ(vboard_channel_code(1), 512);
  EXPECT_EQ(vboard_set_voltage(2, 5.0), 0);
  EXPECT_EQ(vboard_channel_code(2), 1023);
  EXPECT_EQ(vboard_set_reference(5.0), 0);
  EXPECT_EQ(vboard_channel_code(1), 337);  // 1.65 / 5 * 1024
  EXPECT_EQ(vboard_channel_code(0), 512);  // codes do not depend on it
  EXPECT_EQ(vboard_set_reference(3.3), 0);
  // A sine of frequency 0 stays at its phase: offset + amplitude at 90 deg.
  EXPECT_EQ(vboard_set_sine(3, 1.0, 1.65, 0.0, 90.0), 0);
  EXPECT_EQ(vboard_channel_code(3), 822);
  EXPECT_EQ(vboard_set_ramp(4, 1.0, 1.0, 1.0), 0);
  EXPECT_EQ(vboard_channel_code(4), 310);

  EXPECT_EQ(vboard_set_code(8, 1), -1);
  EXPECT_EQ(vboard_set_code(0, 1024), -1);
  EXPECT_EQ(vboard_set_ramp(0, 0, 1, 0), -1);
  EXPECT_EQ(vboard_set_sine(0, 1, 1, -1, 0), -1);
  EXPECT_EQ(vboard_set_reference(0), -1);
  EXPECT_EQ(vboard_channel_code(-1), -1);
}

TEST_F(Board, TheControlInterfaceWorksFromC) {
  EXPECT_EQ(vboard_test_c_roundtrip(777), 777);
  EXPECT_EQ(vboard_test_c_roundtrip(4000), -1);
}

// The chip on its pins, driven through the value files like a bit-banging
// program would, with the wiring moved away from the defaults.
TEST_F(Board, TheChipAnswersThroughTheValueFilesOfItsPins) {
  ASSERT_EQ(vboard_set_pins(10, 11, 12, 13), 0);
  ASSERT_EQ(vboard_set_code(3, 0x2a5), 0);
  ASSERT_EQ(vboard_set_code(0, 1), 0);
  for (int pin : {10, 11, 12, 13}) ASSERT_EQ(store(kGpio + "export", std::to_string(pin)), 0);
  for (int pin : {10, 12, 13}) ASSERT_EQ(store(pin_file(pin, "direction"), "out"), 0);
  auto set = [](int pin, int v) { ASSERT_EQ(store(pin_file(pin, "value"), std::to_string(v)), 0); };
  auto clocked_read = [&] {
    set(10, 1);
    set(10, 0);
    return show(pin_file(11, "value"));
  };
  set(13, 1);
  set(10, 0);
  set(13, 0);
  for (int bit : {1, 1, 0, 1, 1}) {
    set(12, bit);
    set(10, 1);
    set(10, 0);
  }
  EXPECT_EQ(clocked_read(), "0\n");  // null bit
  int code = 0;
  for (int i = 0; i < 10; ++i) code = code * 2 + (clocked_read() == "1\n" ? 1 : 0);
  set(13, 1);
  EXPECT_EQ(code, 0x2a5);
  // Released DOUT reads the idle level.
  EXPECT_EQ(vboard_set_dout_idle(1), 0);
  EXPECT_EQ(show(pin_file(11, "value")), "1\n");
}

TEST_F(Board, TheTraceRecordsEachAccessAndWritesOneParsableLineEach) {
  ASSERT_EQ(store(kGpio + "export", "5"), 0);
  EXPECT_EQ(store(kGpio + "export", "5"), EBUSY);
  ASSERT_EQ(vboard_trace_count(), 6U);
  vboard_event e{};
  ASSERT_EQ(vboard_trace_get(4, &e), 0);
  EXPECT_EQ(e.op, VBOARD_OP_WRITE);
  EXPECT_STREQ(e.file, "/sys/class/gpio/export");
  EXPECT_EQ(e.bytes, 1U);
  EXPECT_EQ(e.result, -1);
  EXPECT_EQ(e.err, EBUSY);
  ASSERT_EQ(e.data_len, 1U);
  EXPECT_EQ(e.data[0], '5');
  vboard_event first{};
  ASSERT_EQ(vboard_trace_get(0, &first), 0);
  EXPECT_EQ(first.op, VBOARD_OP_OPEN);
  EXPECT_LE(first.time_ns, e.time_ns);
  EXPECT_LT(first.seq, e.seq);
  EXPECT_EQ(vboard_trace_get(6, &e), -1);

  char line[512];
  ASSERT_EQ(vboard_trace_get(4, &e), 0);
  const int n = vboard_trace_format(&e, line, sizeof line);
  ASSERT_GT(n, 0);
  char op[16], file[80], err[32], data[32];
  unsigned long long seq = 0, t = 0, bytes = 0;
  int pid = 0;
  unsigned long req = 0;
  long long res = 0;
  ASSERT_EQ(sscanf(line,
                   "seq=%llu t=%llu pid=%d op=%15s file=%79s req=0x%lx bytes=%llu res=%lld "
                   "err=%31s data=%31s",
                   &seq, &t, &pid, op, file, &req, &bytes, &res, err, data),
            10)
      << line;
  EXPECT_STREQ(op, "write");
  EXPECT_STREQ(file, "/sys/class/gpio/export");
  EXPECT_EQ(res, -1);
  EXPECT_STREQ(err, "EBUSY");
  EXPECT_STREQ(data, "\"5\"");
  EXPECT_EQ(pid, getpid());

  char tmpl[] = "/tmp/vboard-trace-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string path = std::string(tmpl) + "/trace";
  ASSERT_EQ(vboard_trace_write(path.c_str()), 0);
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 6U);
  EXPECT_EQ(lines[4] + "\n", std::string(line));
  std::filesystem::remove_all(tmpl);

  vboard_trace_clear();
  EXPECT_EQ(vboard_trace_count(), 0U);
}

TEST_F(Board, BytesThatAreNotPrintableAreEscapedInTheTrace) {
  vboard_event e{};
  e.op = VBOARD_OP_WRITE;
  std::snprintf(e.file, sizeof e.file, "/dev/x");
  const unsigned char bytes[] = {'a', '"', '\\', '\n', 0x01, 0xff};
  std::memcpy(e.data, bytes, sizeof bytes);
  e.data_len = sizeof bytes;
  char line[256];
  vboard_trace_format(&e, line, sizeof line);
  EXPECT_NE(std::strstr(line, R"(data="a\"\\\n\x01\xff")"), nullptr) << line;
  EXPECT_STREQ(vboard_op_name(VBOARD_OP_IOCTL), "ioctl");
  EXPECT_STREQ(vboard_op_name(42), "unknown");
}

}  // namespace

// Read requests have the top bit set; on a 32-bit build the number must
// still be taken, and a reset must bring the devices back to power-on.
TEST(BoardEnvironment, RequestFaultsTakeReadRequestsAndResetRestoresTheDevice) {
  ASSERT_EQ(setenv("VBOARD_SPIDEV_FAIL_REQUEST", "/dev/spidev0.0:0x80016b01:EIO", 1), 0);
  ASSERT_EQ(vboard_reset(), 0);
  int fd = open("/dev/spidev0.0", O_RDWR);
  ASSERT_GE(fd, 0);
  unsigned char mode = 3;
  EXPECT_EQ(ioctl(fd, 0x40016b01UL, &mode), 0);   // write the mode: allowed
  EXPECT_EQ(ioctl(fd, 0x80016b01UL, &mode), -1);  // read it back: the fault
  EXPECT_EQ(errno, EIO);
  close(fd);

  ASSERT_EQ(unsetenv("VBOARD_SPIDEV_FAIL_REQUEST"), 0);
  ASSERT_EQ(vboard_reset(), 0);
  fd = open("/dev/spidev0.0", O_RDWR);
  ASSERT_GE(fd, 0);
  mode = 0xff;
  EXPECT_EQ(ioctl(fd, 0x80016b01UL, &mode), 0);
  EXPECT_EQ(mode, 0) << "the mode written before the reset survived it";
  close(fd);
}
