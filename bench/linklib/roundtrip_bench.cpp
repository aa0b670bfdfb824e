// Round trips per second of a one-integer call and its answer through the
// stand-in link over a Unix socket, against a bare socket ping-pong of the
// same byte counts in the same run.  Prints both and their ratio.
//
//   linklib_roundtrip_bench [--no-pin] [SECONDS in all, default 4]
//
// By default the whole process runs on one CPU: each side then measures the
// CPU cost of a round trip.  Spread over several CPUs, the figures are
// dominated by how fast one core wakes a thread on another, which swings
// widely from round to round; --no-pin shows that figure anyway.
#include <linklib.hpp>
#include <mathlink.h>
#include <wire.hpp>

#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The bytes one call and one answer take on the wire.
std::size_t callBytes() {
  std::string s;
  adckit::link::wire::putFunction(s, "CallPacket", 2);
  adckit::link::wire::putInteger(s, 0);
  adckit::link::wire::putFunction(s, "List", 1);
  adckit::link::wire::putInteger(s, 5);
  adckit::link::wire::putEnd(s);
  return s.size();
}
std::size_t answerBytes() {
  std::string s;
  adckit::link::wire::putInteger(s, 5);
  adckit::link::wire::putEnd(s);
  return s.size();
}

bool readFull(int fd, char* p, std::size_t n) {
  while (n > 0) {
    ssize_t r = ::read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool writeFull(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t r = ::write(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

double bareRate(double seconds) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::exit(1);
  const std::size_t ask = callBytes();
  const std::size_t reply = answerBytes();
  std::thread server([&] {
    char buf[256];
    while (readFull(fds[1], buf, ask) && writeFull(fds[1], buf, reply)) {
    }
  });
  char buf[256] = {};
  long count = 0;
  auto start = Clock::now();
  auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    for (int i = 0; i < 100; ++i) {
      if (!writeFull(fds[0], buf, ask) || !readFull(fds[0], buf, reply)) std::exit(1);
    }
    count += 100;
  }
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  ::shutdown(fds[0], SHUT_RDWR);
  server.join();
  ::close(fds[0]);
  ::close(fds[1]);
  return static_cast<double>(count) / elapsed;
}

double linkRate(double seconds) {
  std::string dir = (std::filesystem::temp_directory_path() / "linklib-bench-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) std::exit(1);
  std::string path = dir + "/sock";
  MLENV env = MLInitialize(nullptr);
  int error = 0;
  MLINK program = adckit::link::openLink(env, {"-linkname", path, "-linkmode", "listen"}, &error);
  MLINK kernel = adckit::link::openLink(env, {"-linkname", path, "-linkmode", "connect"}, &error);
  if (program == nullptr || kernel == nullptr || !MLConnect(program)) std::exit(1);
  // The serving side does what a bridge does for rfcomm[x].
  std::thread server([&] {
    int index = 0, count = 0, x = 0;
    while (MLWaitForLinkActivity(program) == MLWAITSUCCESS && MLNextPacket(program) == CALLPKT &&
           MLGetInteger(program, &index) && MLTestHead(program, "List", &count) && MLGetInteger(program, &x) &&
           MLNewPacket(program) && MLPutInteger(program, x) && MLEndPacket(program) && MLNewPacket(program)) {
    }
  });
  long count = 0;
  auto start = Clock::now();
  auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    for (int i = 0; i < 100; ++i) {
      int answer = 0;
      if (!MLPutFunction(kernel, "CallPacket", 2) || !MLPutInteger(kernel, 0) || !MLPutFunction(kernel, "List", 1) ||
          !MLPutInteger(kernel, 5) || !MLEndPacket(kernel) || MLNextPacket(kernel) != RETURNPKT ||
          !MLGetInteger(kernel, &answer) || !MLNewPacket(kernel) || answer != 5) {
        std::fprintf(stderr, "link round trip failed: %s\n", MLErrorString(env, MLError(kernel)));
        std::exit(1);
      }
    }
    count += 100;
  }
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  MLClose(kernel);
  server.join();
  MLClose(program);
  MLDeinitialize(env);
  std::filesystem::remove_all(dir);
  return static_cast<double>(count) / elapsed;
}

// Binds the process to the first CPU it may use.  Called before any thread
// starts, so every thread inherits it.  Returns that CPU, or -1.
int pinToOneCpu() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return -1;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return ::sched_setaffinity(0, sizeof one, &one) == 0 ? cpu : -1;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  bool pin = true;
  double seconds = 4.0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-pin") == 0) {
      pin = false;
    } else if (double s = std::atof(argv[i]); s > 0) {
      seconds = s;
    } else {
      std::fprintf(stderr, "usage: %s [--no-pin] [SECONDS]\n", argv[0]);
      return 2;
    }
  }
  if (pin) {
    int cpu = pinToOneCpu();
    if (cpu < 0) {
      std::fprintf(stderr, "cannot bind to one CPU: %s; run with --no-pin\n", std::strerror(errno));
      return 1;
    }
    std::printf("all threads on CPU %d (CPU cost per round trip; --no-pin for cross-core figures)\n", cpu);
  } else {
    std::printf("threads unpinned (includes cross-core wake-up latency, which varies widely)\n");
  }
  // Alternate the two in short rounds, so a change in machine load hits
  // both alike; each round gives its own ratio.
  constexpr int kRounds = 5;
  std::vector<double> ratios;
  double bare = 0, link = 0;
  for (int round = 0; round < kRounds; ++round) {
    double b = bareRate(seconds / kRounds);
    double l = linkRate(seconds / kRounds);
    bare += b;
    link += l;
    ratios.push_back(l / b);
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf("call of one integer, %zu bytes out and %zu back, over a Unix socket\n", callBytes(), answerBytes());
  std::printf("bare socket ping-pong: %10.0f round trips/s (floor)\n", bare / kRounds);
  std::printf("stand-in link:         %10.0f round trips/s\n", link / kRounds);
  std::printf("ratio link/floor:      %10.2f median of %d rounds, lowest %.2f (target >= 0.70)\n",
              ratios[kRounds / 2], kRounds, ratios.front());
  return 0;
}
