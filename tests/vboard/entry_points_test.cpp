// Every C library entry point the board stands in for, called directly on
// the tree: opens, reads and writes, streams, descriptors and their
// duplicates, stat, links, listings and waits, in every variant a build of
// a program may call. A call that slipped past the board (an entry point
// missing, a 64-bit or fortified variant forwarded to the real one) would
// reach the PC's /sys, where none of these files exist. What the tree's
// files answer is board_test.cpp's subject.
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <linux/spi/spidev.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "fault_child.hpp"
#include "vboard.h"

// The fortified variants the compiler emits for open, read, poll and
// realpath with _FORTIFY_SOURCE.
extern "C" {
int __open_2(const char *, int);
int __open64_2(const char *, int);
int __openat_2(int, const char *, int);
int __openat64_2(int, const char *, int);
ssize_t __read_chk(int, void *, size_t, size_t);
int __poll_chk(struct pollfd *, nfds_t, int, size_t);
char *__realpath_chk(const char *, char *, size_t);
// Those of pread, readlink and ppoll, and the stat entry points programs
// built against a C library older than 2.33 call.
ssize_t __pread_chk(int, void *, size_t, off_t, size_t);
ssize_t __pread64_chk(int, void *, size_t, off64_t, size_t);
ssize_t __readlink_chk(const char *, char *, size_t, size_t);
ssize_t __readlinkat_chk(int, const char *, char *, size_t, size_t);
int __ppoll_chk(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *, size_t);
int __dprintf_chk(int, int, const char *, ...);
int __xstat(int, const char *, struct stat *);
int __lxstat(int, const char *, struct stat *);
int __fxstat(int, int, struct stat *);
int __fxstatat(int, int, const char *, struct stat *, int);
int __xstat64(int, const char *, struct stat64 *);
int __lxstat64(int, const char *, struct stat64 *);
int __fxstat64(int, int, struct stat64 *);
int __fxstatat64(int, int, const char *, struct stat64 *, int);
}

#include "exported_pin.h"

namespace {

constexpr char kClass[] = "/sys/class/gpio";
constexpr char kPinDir[] = "/sys/class/gpio/gpio22";
constexpr char kValue[] = "/sys/class/gpio/gpio22/value";
constexpr char kDirection[] = "/sys/class/gpio/gpio22/direction";
constexpr char kPinTarget[] = "../../devices/platform/soc/20200000.gpio/gpiochip0/gpio/gpio22";
constexpr char kPinReal[] = "/sys/devices/platform/soc/20200000.gpio/gpiochip0/gpio/gpio22";

// A descriptor that is closed when the test leaves it.
struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
};

// "<ENOENT>" for the current errno (built by appending: GCC 12 warns
// falsely on "<" + string + ">").
std::string err_text() {
  std::string out = "<";
  out.append(strerrorname_np(errno));
  out.append(">");
  return out;
}

std::string read_all(int fd) {
  std::string out;
  char buf[64];
  ssize_t n = 0;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  return n < 0 ? err_text() : out;
}

std::string value_through(int fd) {
  if (fd < 0) return err_text();
  const std::string v = read_all(fd);
  close(fd);
  return v;
}

using EntryPoints = ExportedPin22;

TEST_F(EntryPoints, EveryOpenReachesTheTree) {
  EXPECT_EQ(value_through(open(kValue, O_RDONLY)), "0\n");
  EXPECT_EQ(value_through(open64(kValue, O_RDONLY)), "0\n");
  EXPECT_EQ(value_through(openat(AT_FDCWD, kValue, O_RDONLY)), "0\n");
  EXPECT_EQ(value_through(openat64(AT_FDCWD, kValue, O_RDONLY)), "0\n");
  EXPECT_EQ(value_through(__open_2(kValue, O_RDONLY)), "0\n");
  EXPECT_EQ(value_through(__open64_2(kValue, O_RDONLY)), "0\n");
  EXPECT_EQ(value_through(__openat_2(AT_FDCWD, kValue, O_RDONLY)), "0\n");
  EXPECT_EQ(value_through(__openat64_2(AT_FDCWD, kValue, O_RDONLY)), "0\n");
  // A path is normalised before the tree sees it.
  EXPECT_EQ(value_through(open("/sys//class/gpio/./gpio22/../gpio22/value", O_RDONLY)), "0\n");

  // creat is an open for writing that truncates: as `>` in a shell.
  for (auto make : {+[](const char *p) { return creat(p, 0644); },
                    +[](const char *p) { return creat64(p, 0644); }}) {
    const int fd = make(kDirection);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "out", 3), 3);
    close(fd);
    EXPECT_EQ(value_through(open(kDirection, O_RDONLY)), "out\n");
    const int back = open(kDirection, O_WRONLY);
    ASSERT_EQ(write(back, "in", 2), 2);
    close(back);
  }
  // creat opens a file that exists: the value of an input takes no store.
  const int input = creat(kValue, 0644);
  ASSERT_GE(input, 0);
  EXPECT_EQ(write(input, "1", 1), -1);
  EXPECT_EQ(errno, EPERM);
  close(input);
  // A new file in the tree cannot be made.
  EXPECT_EQ(creat("/sys/class/gpio/gpio22/other", 0644), -1);
  EXPECT_EQ(errno, EACCES);
}

// Streams over the tree: fopen, fopen64 and fdopen read it, a store it
// refuses is reported when the buffer goes out at fclose, and a stream is
// refused as an open would be.
TEST_F(EntryPoints, StreamsReadTheTreeAndReportRefusedWritesAtClose) {
  for (auto open_stream : {+[](const char *p) { return fopen(p, "r"); },
                           +[](const char *p) { return fopen64(p, "r"); }}) {
    FILE *f = open_stream(kValue);
    ASSERT_NE(f, nullptr);
    char line[8] = {};
    EXPECT_NE(fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "0\n");
    EXPECT_EQ(fgetc(f), EOF);
    EXPECT_EQ(fclose(f), 0);
  }
  const int fd = open(kValue, O_RDONLY);
  ASSERT_GE(fd, 0);
  FILE *f = fdopen(fd, "r");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fgetc(f), '0');
  EXPECT_EQ(fclose(f), 0);

  f = fopen("/sys/class/gpio/export", "w");
  ASSERT_NE(f, nullptr);
  EXPECT_GT(fprintf(f, "%d", 5), 0);
  EXPECT_EQ(fclose(f), 0);
  f = fopen("/sys/class/gpio/export", "w");
  ASSERT_NE(f, nullptr);
  fprintf(f, "%d", 5);
  errno = 0;
  EXPECT_EQ(fclose(f), EOF);  // the buffered write meets EBUSY
  EXPECT_EQ(errno, EBUSY);

  errno = 0;
  EXPECT_EQ(fopen("/sys/class/gpio/gpio6/value", "r"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  // Reading a write-only attribute is refused as for a user without root.
  EXPECT_EQ(fopen("/sys/class/gpio/export", "r"), nullptr);
  EXPECT_EQ(errno, EACCES);
}

TEST_F(EntryPoints, EveryReadWriteAndSeekReachesTheFile) {
  {
    const int d = open(kDirection, O_WRONLY);
    ASSERT_GE(d, 0);
    EXPECT_EQ(pwrite(d, "out", 3, 0), 3);
    close(d);
  }
  Fd v(open(kValue, O_RDWR));
  ASSERT_GE(v.fd, 0);
  char buf[4] = {};
  EXPECT_EQ(pwrite(v.fd, "1", 1, 7), 1) << "a store whatever the offset";
  EXPECT_EQ(pread(v.fd, buf, sizeof buf, 0), 2);
  EXPECT_EQ(std::string(buf, 2), "1\n");
  EXPECT_EQ(pwrite64(v.fd, "0", 1, 0), 1);
  EXPECT_EQ(pread64(v.fd, buf, sizeof buf, 0), 2);
  EXPECT_EQ(std::string(buf, 2), "0\n");

  // A gathered write is one store: "2" and "3\n" export pin 23, where two
  // stores would each succeed and export pin 2 as well.
  {
    Fd exporter(open("/sys/class/gpio/export", O_WRONLY));
    char two[] = "2", three[] = "3\n";
    const iovec pieces[2] = {{two, 1}, {three, 2}};
    EXPECT_EQ(writev(exporter.fd, pieces, 2), 3);
    EXPECT_EQ(vboard_pin_exported(23), 1);
    EXPECT_EQ(vboard_pin_exported(2), 0);
  }
  ASSERT_EQ(pwrite(v.fd, "1", 1, 0), 1);
  EXPECT_EQ(lseek(v.fd, 0, SEEK_SET), 0);
  char a = 0, b = 0;
  iovec in[2] = {{&a, 1}, {&b, 1}};
  EXPECT_EQ(readv(v.fd, in, 2), 2);
  EXPECT_EQ(a, '1');
  EXPECT_EQ(b, '\n');
  EXPECT_EQ(lseek64(v.fd, 0, SEEK_SET), 0);
  EXPECT_EQ(__read_chk(v.fd, buf, 2, sizeof buf), 2);
  EXPECT_EQ(std::string(buf, 2), "1\n");
  EXPECT_EQ(lseek(v.fd, 1, SEEK_SET), 1);
  EXPECT_EQ(read(v.fd, buf, sizeof buf), 1);
  EXPECT_EQ(buf[0], '\n');
  EXPECT_EQ(write(v.fd, "0", 1), 1);
  EXPECT_EQ(vboard_pin_level(22), 0);

  // The tree's files are not copied in the kernel: callers fall back to
  // read and write.
  off64_t from = 0;
  Fd sink(open("/dev/null", O_WRONLY));
  EXPECT_EQ(copy_file_range(v.fd, &from, sink.fd, nullptr, 2, 0), -1);
  EXPECT_EQ(errno, EINVAL);

  // The GPIO files take no requests; a spidev device does.
  int arg = 0;
  EXPECT_EQ(ioctl(v.fd, FIONREAD, &arg), -1);
  EXPECT_EQ(errno, ENOTTY);
  Fd spi(open("/dev/spidev0.0", O_RDWR));
  ASSERT_GE(spi.fd, 0);
  std::uint8_t mode = 0xff;
  EXPECT_EQ(ioctl(spi.fd, SPI_IOC_RD_MODE, &mode), 0);
  EXPECT_EQ(mode, 0);
}

// What would otherwise reach the stand-in descriptor and succeed on nothing:
// pointers no process maps, a mapping, the program's own syscall().
TEST_F(EntryPoints, CallsTheBoardCannotServeFailAsTheKernelsDo) {
  Fd v(open(kValue, O_RDWR));
  Fd spi(open("/dev/spidev0.0", O_RDWR));
  ASSERT_GE(v.fd, 0);
  ASSERT_GE(spi.fd, 0);
  // Made at run time, so the compiler does not refuse the calls.
  volatile std::uintptr_t null_address = 0, low_address = 1;
  auto *const null = reinterpret_cast<char *>(null_address);
  auto *const bad = reinterpret_cast<char *>(low_address);
  for (int fd : {v.fd, spi.fd}) {
    EXPECT_EQ(read(fd, null, 3), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(write(fd, bad, 1), -1);
    EXPECT_EQ(errno, EFAULT);
  }
  EXPECT_EQ(ioctl(spi.fd, SPI_IOC_RD_MODE, bad), -1);
  EXPECT_EQ(errno, EFAULT);
  std::uint8_t tx[3] = {1, 0x80, 0};
  spi_ioc_transfer x{};
  x.tx_buf = reinterpret_cast<std::uintptr_t>(tx);
  x.rx_buf = 8;
  x.len = 3;
  EXPECT_EQ(ioctl(spi.fd, SPI_IOC_MESSAGE(1), &x), -1);
  EXPECT_EQ(errno, EFAULT);
  // The process goes on, and so does the board.
  char level[2] = {};
  EXPECT_EQ(pread(v.fd, level, sizeof level, 0), 2);

  // None of the three has an mmap routine.
  Fd chip(open("/dev/gpiochip0", O_RDWR));
  for (int fd : {v.fd, spi.fd, chip.fd}) {
    EXPECT_EQ(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0), MAP_FAILED);
    EXPECT_EQ(errno, ENODEV);
  }
  // A runtime's own system calls on a board descriptor reach the board.
  EXPECT_EQ(syscall(SYS_lseek, v.fd, 0, SEEK_SET), 0);
  EXPECT_EQ(syscall(SYS_read, v.fd, level, sizeof level), 2);
  EXPECT_EQ(std::string(level, 2), "0\n");
  std::uint8_t mode = 0xff;
  EXPECT_EQ(syscall(SYS_ioctl, spi.fd, SPI_IOC_RD_MODE, &mode), 0);
  EXPECT_EQ(mode, 0);
}

// A duplicate shares the open file (its access mode, its level, its life)
// by every call that makes one; the file closes with the last of them, as
// one close in the trace; closed in bulk they stop being the board's, and
// a real file that takes the number again is that file.
TEST_F(EntryPoints, DuplicatesShareTheFileUntilTheLastCloseAndBulkClosesForgetThem) {
  {
    Fd d(open(kDirection, O_WRONLY));
    ASSERT_EQ(write(d.fd, "out", 3), 3);
  }
  vboard_trace_clear();
  const int fd = open(kValue, O_RDWR);
  ASSERT_GE(fd, 0);
  const int d1 = dup(fd);
  const int d2 = dup2(fd, 100);
  const int d3 = dup3(fd, 101, O_CLOEXEC);
  const int d4 = fcntl(fd, F_DUPFD, 102);
  const int d5 = fcntl64(fd, F_DUPFD_CLOEXEC, 110);
  ASSERT_GE(d1, 0);
  EXPECT_EQ(d2, 100);
  EXPECT_EQ(d3, 101);
  EXPECT_GE(d4, 102);
  EXPECT_GE(d5, 110);
  EXPECT_EQ(fcntl(d3, F_GETFD), FD_CLOEXEC);
  EXPECT_EQ(fcntl(d5, F_GETFL) & O_ACCMODE, O_RDWR);
  for (int d : {d1, d2, d3, d4, d5}) {
    char c = 0;
    EXPECT_EQ(pread(d, &c, 1, 0), 1) << "descriptor " << d;
    EXPECT_EQ(c, '0');
  }
  for (int d : {fd, d1, d2, d3, d4}) EXPECT_EQ(close(d), 0) << "descriptor " << d;
  EXPECT_EQ(write(d5, "1", 1), 1);
  EXPECT_EQ(vboard_pin_level(22), 1);
  struct stat st {};
  ASSERT_EQ(fstat(d5, &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(close(d5), 0);
  // After the last close the number is an ordinary closed descriptor.
  EXPECT_EQ(write(d5, "1", 1), -1);
  EXPECT_EQ(errno, EBADF);
  std::vector<int> ops;
  for (std::size_t i = 0; i < vboard_trace_count(); ++i) {
    vboard_event ev{};
    ASSERT_EQ(vboard_trace_get(i, &ev), 0);
    ops.push_back(ev.op);
  }
  const int R = VBOARD_OP_READ;
  EXPECT_EQ(ops, (std::vector<int>{VBOARD_OP_OPEN, R, R, R, R, R, VBOARD_OP_WRITE, VBOARD_OP_CLOSE}));

  const int again = open(kValue, O_RDONLY);
  ASSERT_GE(again, 0);
  ASSERT_EQ(dup2(again, 100), 100);
  ASSERT_EQ(dup3(again, 101, 0), 101);
  ASSERT_GE(fcntl(again, F_DUPFD, 102), 102);
  close(again);
  EXPECT_EQ(close_range(100, 101, 0), 0);
  closefrom(102);
  for (int d : {100, 101, 102}) {
    EXPECT_EQ(fstat(d, &st), -1) << "descriptor " << d;
    EXPECT_EQ(errno, EBADF);
  }
  char tmpl[] = "/tmp/vboard-range-XXXXXX";
  Fd real(mkstemp(tmpl));
  ASSERT_GE(real.fd, 0);
  ASSERT_EQ(dup2(real.fd, 100), 100);
  EXPECT_EQ(write(100, "42", 2), 2) << "the value file of an input would refuse it";
  ASSERT_EQ(fstat(100, &st), 0);
  EXPECT_EQ(st.st_size, 2) << "the real file, not a board file of 4096 bytes";
  close(100);
  EXPECT_EQ(value_through(open(tmpl, O_RDONLY)), "42");
  unlink(tmpl);
}

TEST_F(EntryPoints, EveryStatAndAccessSeesFoldersFilesAndLinks) {
  struct stat st {};
  struct stat64 st64 {};
  ASSERT_EQ(stat(kPinDir, &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_EQ(stat64(kValue, &st64), 0);
  EXPECT_TRUE(S_ISREG(st64.st_mode));
  ASSERT_EQ(lstat(kPinDir, &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(lstat64(kPinDir, &st64), 0);
  EXPECT_TRUE(S_ISLNK(st64.st_mode));
  ASSERT_EQ(fstatat(AT_FDCWD, kPinDir, &st, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(fstatat64(AT_FDCWD, kPinDir, &st64, 0), 0);
  EXPECT_TRUE(S_ISDIR(st64.st_mode));
  struct statx sx {};
  ASSERT_EQ(statx(AT_FDCWD, kPinDir, 0, STATX_TYPE | STATX_MODE, &sx), 0);
  EXPECT_TRUE(S_ISDIR(sx.stx_mode));
  ASSERT_EQ(statx(AT_FDCWD, kPinDir, AT_SYMLINK_NOFOLLOW, STATX_TYPE, &sx), 0);
  EXPECT_TRUE(S_ISLNK(sx.stx_mode));
  {
    Fd v(open(kValue, O_RDONLY));
    ASSERT_EQ(fstat(v.fd, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    ASSERT_EQ(fstat64(v.fd, &st64), 0);
    EXPECT_TRUE(S_ISREG(st64.st_mode));
  }
  EXPECT_EQ(stat("/sys/class/gpio/gpio23", &st), -1);
  EXPECT_EQ(errno, ENOENT);

  EXPECT_EQ(access(kPinDir, F_OK), 0);
  EXPECT_EQ(faccessat(AT_FDCWD, kValue, R_OK | W_OK, 0), 0);
  EXPECT_EQ(access("/sys/class/gpio/gpio23/value", F_OK), -1);
  EXPECT_EQ(errno, ENOENT);

  // sysfs nodes carry no extended attributes (ls -l asks for ACLs).
  char attr[64];
  EXPECT_EQ(getxattr(kValue, "system.posix_acl_access", attr, sizeof attr), -1);
  EXPECT_EQ(errno, ENODATA);
  EXPECT_EQ(lgetxattr(kPinDir, "system.posix_acl_access", attr, sizeof attr), -1);
  EXPECT_EQ(errno, ENODATA);
  EXPECT_EQ(listxattr(kValue, attr, sizeof attr), 0);
  EXPECT_EQ(llistxattr(kPinDir, attr, sizeof attr), 0);
  EXPECT_EQ(getxattr("/sys/class/gpio/gpio23/value", "user.x", attr, sizeof attr), -1);
  EXPECT_EQ(errno, ENOENT);
  Fd v(open(kValue, O_RDONLY));
  EXPECT_EQ(fgetxattr(v.fd, "user.x", attr, sizeof attr), -1);
  EXPECT_EQ(errno, ENODATA);
  EXPECT_EQ(flistxattr(v.fd, attr, sizeof attr), 0);
}

TEST_F(EntryPoints, LinksResolveToTheControllersFolders) {
  char buf[PATH_MAX] = {};
  const ssize_t n = readlink(kPinDir, buf, sizeof buf);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), kPinTarget);
  const ssize_t m = readlinkat(AT_FDCWD, kPinDir, buf, sizeof buf);
  ASSERT_GT(m, 0);
  EXPECT_EQ(std::string(buf, static_cast<std::size_t>(m)), kPinTarget);
  EXPECT_EQ(readlink(kValue, buf, sizeof buf), -1) << "a file is no link";
  EXPECT_EQ(errno, EINVAL);

  char resolved[PATH_MAX] = {};
  ASSERT_NE(realpath("/sys/class/gpio/gpio22/value", resolved), nullptr);
  std::string value_real = kPinReal;
  value_real.append("/value");
  EXPECT_EQ(std::string(resolved), value_real);
  ASSERT_NE(__realpath_chk(kPinDir, resolved, sizeof resolved), nullptr);
  EXPECT_EQ(std::string(resolved), kPinReal);
  char *canonical = canonicalize_file_name(kPinDir);
  ASSERT_NE(canonical, nullptr);
  EXPECT_EQ(std::string(canonical), kPinReal);
  free(canonical);
  EXPECT_EQ(realpath("/sys/class/gpio/gpio23", resolved), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST_F(EntryPoints, EveryListingShowsTheTree) {
  const std::vector<std::string> want = {".", "..", "export", "gpio22", "gpiochip0", "unexport"};
  {
    DIR *d = opendir(kClass);
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    long second = -1;
    while (dirent *e = readdir(d)) {
      names.emplace_back(e->d_name);
      if (names.size() == 2) second = telldir(d);
    }
    EXPECT_EQ(sorted(names), want);
    // Back to a told position, then to the start.
    seekdir(d, second);
    std::vector<std::string> rest;
    while (dirent64 *e = readdir64(d)) rest.emplace_back(e->d_name);
    EXPECT_EQ(rest.size(), want.size() - 2);
    rewinddir(d);
    // The reentrant forms are deprecated but still called by older programs.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    dirent entry{};
    dirent *got = nullptr;
    std::size_t count = 0;
    while (readdir_r(d, &entry, &got) == 0 && got != nullptr) ++count;
    EXPECT_EQ(count, want.size());
    rewinddir(d);
    dirent64 entry64{};
    dirent64 *got64 = nullptr;
    ASSERT_EQ(readdir64_r(d, &entry64, &got64), 0);
    EXPECT_NE(got64, nullptr);
#pragma GCC diagnostic pop
    EXPECT_GE(dirfd(d), 0);
    EXPECT_EQ(closedir(d), 0);
  }
  {
    const int fd = open(kPinDir, O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    DIR *d = fdopendir(fd);
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) names.emplace_back(e->d_name);
    EXPECT_EQ(sorted(names),
              (std::vector<std::string>{".", "..", "active_low", "device", "direction", "edge",
                                        "value"}));
    closedir(d);
  }
  dirent **list = nullptr;
  const int n = scandir(kClass, &list, nullptr, alphasort);
  ASSERT_EQ(n, static_cast<int>(want.size()));
  EXPECT_STREQ(list[2]->d_name, "export");
  for (int i = 0; i < n; ++i) free(list[i]);
  free(list);
  dirent64 **list64 = nullptr;
  const int n64 = scandir64(kClass, &list64, nullptr, alphasort64);
  EXPECT_EQ(n64, static_cast<int>(want.size()));
  for (int i = 0; i < n64; ++i) free(list64[i]);
  free(list64);

  glob_t g{};
  ASSERT_EQ(glob("/sys/class/gpio/gpio*", 0, nullptr, &g), 0);
  std::vector<std::string> matched(g.gl_pathv, g.gl_pathv + g.gl_pathc);
  EXPECT_EQ(matched, (std::vector<std::string>{"/sys/class/gpio/gpio22",
                                               "/sys/class/gpio/gpiochip0"}));
  globfree(&g);
  glob64_t g64{};
  ASSERT_EQ(glob64("/dev/spidev*", 0, nullptr, &g64), 0);
  ASSERT_EQ(g64.gl_pathc, 1U);
  EXPECT_STREQ(g64.gl_pathv[0], "/dev/spidev0.0");
  globfree64(&g64);
}

// A value file not read since it was opened reports an event: each way of
// waiting must see it, and see none once the file is read.
TEST_F(EntryPoints, EveryWaitSeesTheValueFilesEvents) {
  auto fresh = [] {
    const int fd = open(kValue, O_RDONLY);
    EXPECT_GE(fd, 0);
    return fd;
  };
  auto drain = [](int fd) {
    char buf[4];
    EXPECT_EQ(pread(fd, buf, sizeof buf, 0), 2);
  };
  {
    Fd v(fresh());
    pollfd p{v.fd, POLLPRI, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1);
    EXPECT_EQ(p.revents, POLLPRI | POLLERR);
    drain(v.fd);
    EXPECT_EQ(__poll_chk(&p, 1, 0, sizeof p), 0);
  }
  {
    Fd v(fresh());
    pollfd p{v.fd, POLLPRI, 0};
    timespec zero{0, 0};
    sigset_t none;
    sigemptyset(&none);
    EXPECT_EQ(ppoll(&p, 1, &zero, &none), 1);
    drain(v.fd);
    EXPECT_EQ(ppoll(&p, 1, &zero, nullptr), 0);
  }
  {
    Fd v(fresh());
    fd_set e;
    FD_ZERO(&e);
    FD_SET(v.fd, &e);
    timespec zero{0, 0};
    EXPECT_EQ(pselect(v.fd + 1, nullptr, nullptr, &e, &zero, nullptr), 1);
    EXPECT_TRUE(FD_ISSET(v.fd, &e));
    drain(v.fd);
    FD_ZERO(&e);
    FD_SET(v.fd, &e);
    timeval tz{0, 0};
    EXPECT_EQ(select(v.fd + 1, nullptr, nullptr, &e, &tz), 0);
  }
  {
    Fd v(fresh());
    Fd ep(epoll_create1(EPOLL_CLOEXEC));
    ASSERT_GE(ep.fd, 0);
    epoll_event ev{};
    ev.events = EPOLLPRI;
    ev.data.fd = v.fd;
    ASSERT_EQ(epoll_ctl(ep.fd, EPOLL_CTL_ADD, v.fd, &ev), 0);
    epoll_event got{};
    EXPECT_EQ(epoll_wait(ep.fd, &got, 1, 0), 1);
    EXPECT_EQ(got.data.fd, v.fd);
    EXPECT_NE(got.events & EPOLLPRI, 0U);
    drain(v.fd);
    EXPECT_EQ(epoll_pwait(ep.fd, &got, 1, 0, nullptr), 0);
    ASSERT_EQ(epoll_ctl(ep.fd, EPOLL_CTL_DEL, v.fd, nullptr), 0);
  }
}

// The arrays a wait fills are written with no lock held: one the program
// may not write faults in the program, which then goes on using the board.
TEST_F(EntryPoints, AWaitsArrayNotTheCallersFaultsBeforeTheBoardIsTaken) {
  const long page = sysconf(_SC_PAGESIZE);
  auto *read_only = static_cast<unsigned char *>(
      mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(read_only, MAP_FAILED);
  Fd v(open(kValue, O_RDONLY));
  Fd ep(epoll_create1(EPOLL_CLOEXEC));
  ASSERT_GE(v.fd, 0);
  ASSERT_GE(ep.fd, 0);
  epoll_event ev{};
  ev.events = EPOLLPRI;
  ASSERT_EQ(epoll_ctl(ep.fd, EPOLL_CTL_ADD, v.fd, &ev), 0);
  const pollfd p{v.fd, POLLPRI, 0};
  std::memcpy(read_only, &p, sizeof p);
  ASSERT_EQ(mprotect(read_only, page, PROT_READ), 0);
  const auto reads = [&] {
    char buf[4];
    return pread(v.fd, buf, sizeof buf, 0) == 2;
  };
  EXPECT_EQ(fault_child::survive(
                [&] { poll(reinterpret_cast<pollfd *>(read_only), 1, 0); }, reads),
            "");
  EXPECT_EQ(fault_child::survive(
                [&] { epoll_wait(ep.fd, reinterpret_cast<epoll_event *>(read_only), 1, 0); },
                reads),
            "");
  munmap(read_only, page);
}

// Writing the trace to a FIFO nobody reads waits, but not with the board
// taken: another process's access completes at once, well before the two
// seconds after which the board is taken over from a holder that hangs.
TEST_F(EntryPoints, ATraceWrittenToAFifoNobodyReadsHoldsNobodyUp) {
  char dir[] = "/tmp/vboard-fifo-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/trace";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) _exit(vboard_trace_write(fifo.c_str()) == 0 ? 0 : 1);
  usleep(100 * 1000);  // long enough for the writer to be waiting in open
  const int status = fault_child::in_child(
      [] {
        char buf[4];
        const int fd = open(kValue, O_RDONLY);
        return fd >= 0 && pread(fd, buf, sizeof buf, 0) == 2 ? 0 : 1;
      },
      1);
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);
  unlink(fifo.c_str());
  rmdir(dir);
  EXPECT_EQ(status, 0) << "the access hung or failed while the trace waited for a reader";
}

// The entry points other builds of a program reach for the same calls:
// fortified ones, those of older C libraries, formatted writes, the
// effective user's access, a listing from a folder's descriptor, and a
// wait with a time in nanoseconds. Each must reach the tree.
TEST_F(EntryPoints, EveryVariantOfACallTheBoardServesReachesTheTree) {
#if defined(__x86_64__)
  constexpr int kStatVersion = 1;
#elif defined(__arm__) || defined(__i386__)
  constexpr int kStatVersion = 3;
#else
  constexpr int kStatVersion = 0;
#endif
  struct stat st {};
  struct stat64 st64 {};
  ASSERT_EQ(__xstat(kStatVersion, kPinDir, &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_EQ(__lxstat(kStatVersion, kPinDir, &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(__xstat64(kStatVersion, kValue, &st64), 0);
  EXPECT_TRUE(S_ISREG(st64.st_mode));
  ASSERT_EQ(__lxstat64(kStatVersion, kPinDir, &st64), 0);
  EXPECT_TRUE(S_ISLNK(st64.st_mode));
  ASSERT_EQ(__fxstatat(kStatVersion, AT_FDCWD, kPinDir, &st, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(__fxstatat64(kStatVersion, AT_FDCWD, kPinDir, &st64, 0), 0);
  EXPECT_TRUE(S_ISDIR(st64.st_mode));
  EXPECT_EQ(__xstat(kStatVersion + 7, kPinDir, &st), -1);
  EXPECT_EQ(errno, EINVAL);

  Fd v(open(kValue, O_RDWR));
  ASSERT_GE(v.fd, 0);
  ASSERT_EQ(__fxstat(kStatVersion, v.fd, &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 4096);
  ASSERT_EQ(__fxstat64(kStatVersion, v.fd, &st64), 0);
  EXPECT_EQ(st64.st_size, 4096);

  // Formatted writes are one store each, refused as a write is; reads at
  // an offset see them.
  Fd d(open(kDirection, O_WRONLY));
  EXPECT_EQ(dprintf(d.fd, "%s", "sideways"), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(dprintf(v.fd, "%d\n", 1), -1) << "an input's value";
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(dprintf(d.fd, "%s\n", "out"), 4);
  EXPECT_EQ(dprintf(v.fd, "%d\n", 1), 2);
  EXPECT_EQ(vboard_pin_level(22), 1);
  char buf[8] = {};
  EXPECT_EQ(__pread_chk(v.fd, buf, 2, 0, sizeof buf), 2);
  EXPECT_EQ(std::string(buf, 2), "1\n");
  EXPECT_EQ(__dprintf_chk(v.fd, 1, "%s", "0"), 1);
  EXPECT_EQ(vboard_pin_level(22), 0);
  EXPECT_EQ(__pread64_chk(v.fd, buf, 2, 0, sizeof buf), 2);
  EXPECT_EQ(std::string(buf, 2), "0\n");

  // A descriptor's kind is the board file's, and a board file has no room
  // to allocate, where the stand-in would have both.
  EXPECT_EQ(isfdtype(v.fd, S_IFREG), 1);
  Fd spi(open("/dev/spidev0.0", O_RDWR));
  EXPECT_EQ(isfdtype(spi.fd, S_IFCHR), 1);
  EXPECT_EQ(fallocate(v.fd, 0, 0, 4096), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);
  EXPECT_EQ(fallocate64(spi.fd, 0, 0, 4096), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);

  char target[PATH_MAX] = {};
  const ssize_t n = __readlink_chk(kPinDir, target, sizeof target, sizeof target);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(target, static_cast<std::size_t>(n)), kPinTarget);
  EXPECT_EQ(__readlinkat_chk(AT_FDCWD, kPinDir, target, sizeof target, sizeof target), n);

  EXPECT_EQ(euidaccess(kValue, R_OK | W_OK), 0);
  EXPECT_EQ(eaccess("/sys/class/gpio/gpio23/value", F_OK), -1);
  EXPECT_EQ(errno, ENOENT);

  dirent **list = nullptr;
  const int count = scandirat(AT_FDCWD, kPinDir, &list, nullptr, alphasort);
  ASSERT_EQ(count, 7);
  EXPECT_STREQ(list[6]->d_name, "value");
  for (int i = 0; i < count; ++i) free(list[i]);
  free(list);

  // A value file not read since it was opened reports an event.
  {
    Fd fresh(open(kValue, O_RDONLY));
    pollfd p{fresh.fd, POLLPRI, 0};
    timespec zero{0, 0};
    EXPECT_EQ(__ppoll_chk(&p, 1, &zero, nullptr, sizeof p), 1);
    EXPECT_EQ(p.revents, POLLPRI | POLLERR);
  }
  {
    Fd fresh(open(kValue, O_RDONLY));
    Fd ep(epoll_create1(EPOLL_CLOEXEC));
    epoll_event ev{};
    ev.events = EPOLLPRI;
    ev.data.fd = fresh.fd;
    ASSERT_EQ(epoll_ctl(ep.fd, EPOLL_CTL_ADD, fresh.fd, &ev), 0);
    epoll_event got{};
    timespec zero{0, 0};
    EXPECT_EQ(epoll_pwait2(ep.fd, &got, 1, &zero, nullptr), 1);
    EXPECT_EQ(got.data.fd, fresh.fd);
    EXPECT_EQ(pread(fresh.fd, buf, sizeof buf, 0), 2);
    EXPECT_EQ(epoll_pwait2(ep.fd, &got, 1, &zero, nullptr), 0);
    timespec bad{0, 1000000000};
    EXPECT_EQ(epoll_pwait2(ep.fd, &got, 1, &bad, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
  }
}

// vfork is a fork for the board: the child's opens never reach the
// parent's table of virtual descriptors.
TEST_F(EntryPoints, AChildOfVforkLeavesTheParentsDescriptorsAlone) {
  Fd v(open(kValue, O_RDONLY));
  ASSERT_GE(v.fd, 0);
  const pid_t pid = vfork();
  if (pid == 0) {
    close(v.fd);
    _exit(open(kDirection, O_RDONLY) >= 0 ? 0 : 1);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  char c = 0;
  EXPECT_EQ(pread(v.fd, &c, 1, 0), 1) << "still the parent's value file";
  EXPECT_EQ(c, '0');
}

}  // namespace
