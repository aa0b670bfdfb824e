// The C library's less common routes into the board, under programs
// nobody here wrote: Python's standard library copying and stat'ing board
// files, busybox reading and writing them. Each test has its own board,
// named by a file in its own folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/board.hpp"

namespace {

using adckit::test::Outcome;

constexpr char kPython[] = "/usr/bin/python3";
constexpr char kBusybox[] = "/usr/bin/busybox";

class Clients : public adckit::test::board::HostBoardTest {
 protected:
  Outcome python(const std::string &script, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {kPython, "-c", script});
    // Python's unbuffered mode would store print's "4" and "\n" apart.
    return run(args, {{"PYTHONUNBUFFERED", ""}});
  }
};

// shutil.copy and os.sendfile splice out of a board file and into one;
// the vector calls read and store as one access; where the kernel cannot
// splice (a device, another file system for copy_file_range) the error is
// the kernel's, never an empty success.
TEST_F(Clients, CopiesAndVectorsMoveTheBytesOrFailAsTheKernelDoes) {
  const std::string copy = dir / "direction.copy", src = dir / "out.txt";
  const Outcome o = python(
      R"(
import errno, os, shutil, sys
def err(f):
    try:
        return f()
    except OSError as e:
        return errno.errorcode[e.errno]
open("/sys/class/gpio/export", "w").write("4")
shutil.copy("/sys/class/gpio/gpio4/direction", sys.argv[1])
print("shutil", repr(open(sys.argv[1]).read()))
open(sys.argv[2], "w").write("out")
src = os.open(sys.argv[2], os.O_RDONLY)
d = os.open("/sys/class/gpio/gpio4/direction", os.O_WRONLY)
print("into", os.sendfile(d, src, None, 100), open("/sys/class/gpio/gpio4/direction").read().strip())
w = os.open("/sys/class/gpio/gpio4/value", os.O_WRONLY)
print("pwritev", os.pwritev(w, [b"1", b"\n"], 0))
v = os.open("/sys/class/gpio/gpio4/value", os.O_RDONLY)
a, b = bytearray(1), bytearray(3)
print("preadv", os.preadv(v, [a, b], 0), bytes(a + b))
print("preadv2", os.preadv(v, [b], -1, os.RWF_HIPRI), err(lambda: os.preadv(v, [b], 0, os.RWF_NOWAIT)))
out = os.open(sys.argv[1], os.O_WRONLY | os.O_TRUNC)
print("out of", os.sendfile(out, v, 0, 100), os.sendfile(out, v, 2, 100))
print("cfr", err(lambda: os.copy_file_range(v, out, 100)))
r, p = os.pipe()
print("splice", os.splice(v, p, 100, offset_src=0), os.read(r, 10))
print("spidev", err(lambda: os.sendfile(out, os.open("/dev/spidev0.0", os.O_RDWR), None, 3)))
)",
      {copy, src});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "shutil 'in\\n'\n"
            "into 3 out\n"
            "pwritev 2\n"
            "preadv 2 b'1\\n\\x00\\x00'\n"
            "preadv2 2 ENOTSUP\n"
            "out of 2 0\n"
            "cfr EXDEV\n"
            "splice 2 b'1\\n'\n"
            "spidev EINVAL\n");
  EXPECT_EQ(adckit::test::board::read_file(copy), "1\n");

  // busybox cat copies with sendfile; the pin is exported on the board.
  const Outcome cat =
      run({kBusybox, "cat", "/sys/class/gpio/gpio4/value", "/sys/class/gpio/gpio4/direction"});
  EXPECT_EQ(cat.status, 0) << cat.err;
  EXPECT_EQ(cat.out, "1\nout\n");
}

// statfs and statvfs of the tree: sysfs for the GPIO folders and files,
// devtmpfs (which says tmpfs) for the devices, ENOENT for a pin not
// exported, whether asked by path or by descriptor.
TEST_F(Clients, TheTreeIsOnSysfsAndTheDevicesOnDevtmpfs) {
  const Outcome fs =
      run({kBusybox, "stat", "-f", "-c", "%t %T", "/sys/class/gpio/export", "/sys/class/gpio",
           "/dev/spidev0.0", "/dev/gpiochip0", "/sys/class/gpio/gpio4"});
  EXPECT_NE(fs.status, 0);
  EXPECT_EQ(fs.out, "62656572 sysfs\n62656572 sysfs\n1021994 tmpfs\n1021994 tmpfs\n");
  EXPECT_NE(fs.err.find("No such file or directory"), std::string::npos) << fs.err;

  const Outcome py = python(R"(
import os
v = os.fstatvfs(os.open("/sys/class/gpio/export", os.O_WRONLY))
print(v.f_bsize, v.f_blocks, v.f_namemax, v.f_flag & (os.ST_NOSUID | os.ST_NOEXEC | os.ST_RDONLY))
print(os.statvfs("/dev/spidev0.0").f_namemax)
)");
  ASSERT_EQ(py.status, 0) << py.err;
  // ST_NOSUID | ST_NOEXEC is 10.
  EXPECT_EQ(py.out, "4096 0 255 10\n255\n");
}

// A program started with a board file as standard output writes to it
// through the descriptor stdio names (Python asks fileno(stdout) before it
// makes sys.stdout); busybox awk's redirections are fileno(fopen()).
TEST_F(Clients, StreamsOnBoardFilesNameTheirDescriptors) {
  const std::string line = std::string(kPython) +
                           " -c 'import sys; print(4); print(sys.stdout.fileno(), file=sys.stderr)'"
                           " > /sys/class/gpio/export";
  const Outcome py = run({"/bin/sh", "-c", line}, {{"PYTHONUNBUFFERED", ""}});
  ASSERT_EQ(py.status, 0) << py.err;
  EXPECT_EQ(py.err, "1\n");

  const Outcome awk = run(
      {kBusybox, "awk",
       R"(BEGIN { print "out" > "/sys/class/gpio/gpio4/direction"; close("/sys/class/gpio/gpio4/direction")
                 print "1" > "/sys/class/gpio/gpio4/value"; close("/sys/class/gpio/gpio4/value")
                 getline d < "/sys/class/gpio/gpio4/direction"; getline v < "/sys/class/gpio/gpio4/value"
                 print d, v })"});
  ASSERT_EQ(awk.status, 0) << awk.err;
  EXPECT_EQ(awk.out, "out 1\n");
}

// libuv makes its statx calls through syscall(): Node's fs.statSync,
// lstatSync and realpathSync see the tree, a missing pin is ENOENT, and a
// real file still reaches the kernel. ".." after a pin's link is the
// parent of the link's target, the chip's gpio folder, as the kernel's path
// walk takes it; a ".." after a folder stays lexical.
TEST_F(Clients, NodesOwnSystemCallsAndDotDotWalkTheTreeAsTheKernelDoes) {
  ASSERT_EQ(python("open('/sys/class/gpio/export', 'w').write('4')").status, 0);
  const Outcome o = run({"/usr/bin/node", "-e", R"(
const fs = require("fs");
const s = fs.statSync("/sys/class/gpio/gpio4/value");
console.log(s.isFile(), s.mode.toString(8), fs.lstatSync("/sys/class/gpio/gpio4").isSymbolicLink());
console.log(fs.realpathSync("/sys/class/gpio/gpio4/"));
try { fs.statSync("/sys/class/gpio/gpio5"); } catch (e) { console.log(e.code); }
console.log(fs.statSync(process.execPath).isFile());
)"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "true 100644 true\n"
            "/sys/devices/platform/soc/20200000.gpio/gpiochip0/gpio/gpio4\n"
            "ENOENT\n"
            "true\n");

  const Outcome ls =
      run({kBusybox, "ls", "/sys/class/gpio/gpio4/..", "/sys/class/gpio/gpio4/../../../.."});
  ASSERT_EQ(ls.status, 0) << ls.err;
  EXPECT_EQ(
      ls.out,
      "/sys/class/gpio/gpio4/..:\ngpio4\n\n/sys/class/gpio/gpio4/../../../..:\n20200000.gpio\n");
  const Outcome py = python(R"(
import os
print(open("/sys/class/gpio/gpio4/../gpio4/direction").read().strip())
print(os.path.isdir("/sys/class/gpio/gpio4/../../gpio"), sorted(os.listdir("/sys/class/gpio/../gpio")))
)");
  ASSERT_EQ(py.status, 0) << py.err;
  EXPECT_EQ(py.out, "in\nTrue ['export', 'gpio4', 'gpiochip0', 'unexport']\n");
}

// epoll(7): an add to a set another thread already waits on wakes the
// waiter, which reports the new descriptor's edge (a value file reports
// one at once) well before its five seconds.
TEST_F(Clients, AnEpollAddWakesAThreadAlreadyWaiting) {
  const Outcome o = python(R"(
import os, select, threading, time
open("/sys/class/gpio/export", "w").write("23")
open("/sys/class/gpio/gpio23/edge", "w").write("both")
ep = select.epoll()
got = []
waiter = threading.Thread(target=lambda: got.append(ep.poll(5)))
waiter.start()
time.sleep(0.2)
fd = os.open("/sys/class/gpio/gpio23/value", os.O_RDONLY)
start = time.monotonic()
ep.register(fd, select.EPOLLPRI | select.EPOLLET)
waiter.join()
print(got == [[(fd, select.EPOLLPRI | select.EPOLLERR)]], time.monotonic() - start < 4)
)");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "True True\n");
}

// A spawned program gets the board files its file actions hand it, even
// close-on-exec ones (Python's are), and system's shell those it inherits;
// status flags are the open file's, shared by its copies; many programs
// starting at once on a new board all find it made.
TEST_F(Clients, SpawnsAndSystemCarryBoardFilesAndFlagsAreTheOpenFiles) {
  const Outcome o = python(R"(
import fcntl, os, subprocess, sys
open("/sys/class/gpio/export", "w").write("5")
open("/sys/class/gpio/gpio5/direction", "w").write("high")
fd = os.open("/sys/class/gpio/gpio5/value", os.O_RDONLY)
r, w = os.pipe()
pid = os.posix_spawn("/bin/cat", ["cat"], os.environ,
                     file_actions=[(os.POSIX_SPAWN_DUP2, fd, 0), (os.POSIX_SPAWN_DUP2, w, 1)])
os.close(w)
print("spawn", os.read(r, 64), os.waitpid(pid, 0)[1])
os.set_inheritable(fd, True)
os.lseek(fd, 0, 0)
print("system", os.system("read v <&%d; test $v = 1" % fd))
copy = os.dup(fd)
fcntl.fcntl(fd, fcntl.F_SETFL, os.O_NONBLOCK)
print("flags", os.get_blocking(copy), os.get_blocking(fd))
board = dict(os.environ, VBOARD_BOARD=sys.argv[1])
starts = [subprocess.Popen(["/bin/ls", "/sys/class/gpio"], env=board,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) for _ in range(8)]
print("refused", sum(len(p.communicate()[1]) for p in starts))
)",
                           {dir / "fresh"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "spawn b'1\\n' 0\nsystem 0\nflags False False\nrefused 0\n") << o.err;
}

// The eventfd the board adds to an epoll set is its own: a program that
// closes every number and opens a file that takes the eventfd's old one
// finds nothing written into it, and a set closed takes its waker and its
// board descriptors with it (a new set under its number starts empty).
TEST_F(Clients, EpollSetsLeaveNothingBehindAndRingIntoNoProgramsFile) {
  const Outcome o = python(R"(
import os, select, sys
open("/sys/class/gpio/export", "w").write("5")
ep = select.epoll()
ep.register(os.open("/sys/class/gpio/gpio5/value", os.O_RDONLY), select.EPOLLPRI)
os.closerange(3, 1024)
x = os.open(sys.argv[1] + ".x", os.O_RDWR | os.O_CREAT)
again = select.epoll()
c = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT | os.O_TRUNC)
v = os.open("/sys/class/gpio/gpio5/value", os.O_RDONLY)
again.register(v, select.EPOLLPRI)
print("file", os.path.getsize(sys.argv[1]))
before = len(os.listdir("/proc/self/fd"))
for i in range(50):
    e = select.epoll(); e.register(v, select.EPOLLPRI); e.close()
print("left", len(os.listdir("/proc/self/fd")) - before)
)",
                           {dir / "file"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "file 0\nleft 0\n") << o.err;
}

}  // namespace
