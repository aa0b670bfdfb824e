// adc_server: serves SPIDevMcp3008[nx, dt] to a kernel over a link.
//
// The answer is a list of nx rows, one per scan of all eight channels,
// taken dt microseconds apart:
//   {{seconds, nanoseconds, c0, c1, ..., c7}, ...}
// where the time is the wall clock after the scan and c0..c7 are the
// 10-bit readings (-1 for a channel that could not be read).  nx of 0 or
// less gives {}, a negative dt is taken as 0.  nx above kMaxRows or dt
// above kMaxPauseUs is refused: the kernel is asked to print why and the
// answer is $Failed.  When the device cannot be opened, or nx is more rows
// than the link carries in one list, the answer is $Failed too.  A device
// that goes away and comes back is read again from the next call on.
//
// Each row is sent as soon as it is scanned, so a kernel that has gone is
// noticed within one row (within a fraction of a second while pausing):
// the scan list stops there and the serving run ends.  An abort from the
// kernel takes effect on the next call.
//
// The device is /dev/spidev0.0 unless ADCKIT_SPIDEV names another one.

#include <adckit/adcscan.h>
#include <adckit/bridge.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

// 2^20 rows of ten integers, about 60 MiB on the link: as many rows as the
// stand-in link library carries in one list.
constexpr int kMaxRows = 1 << 20;
// Ten seconds between scans; slower logging is a call per scan.
constexpr int kMaxPauseUs = 10'000'000;
// How often a pause looks at the link for a kernel that has gone.
constexpr int kCheckEveryUs = 100'000;

#ifndef ADCKIT_VERSION
#define ADCKIT_VERSION "unknown"
#endif

constexpr const char *kHelp =
    "Usage: adc_server -linkname NAME [-linkmode listen|connect] [-linkprotocol TCPIP|Unix]\n"
    "Serve SPIDevMcp3008[nx, dt] to a computing kernel over a link: nx scans of\n"
    "all eight MCP3008 channels, dt microseconds apart.\n"
    "\n"
    "The answer is a list of nx rows {seconds, nanoseconds, c0, ..., c7}: the wall\n"
    "clock after the scan and the eight 10-bit readings (-1 for a channel that\n"
    "could not be read).  nx of 0 or less gives {}, a negative dt counts as 0.\n"
    "nx above 1048576 or dt above 10000000 (ten seconds) is refused: the kernel\n"
    "is asked to print why, and the answer is $Failed, as it is when the device\n"
    "cannot be opened.  Each row is sent as it is scanned; when the kernel has\n"
    "gone, the server notices within one row and ends.\n"
    "\n"
    "Options:\n"
    "  -linkname NAME       PORT or PORT@HOST for TCPIP, a socket path for Unix\n"
    "  -linkmode MODE       listen, or connect (the default)\n"
    "  -linkprotocol P      TCPIP or Unix (default: by the name)\n"
    "  --help               show this text and exit\n"
    "  --version            show the version and exit\n"
    "\n"
    "Environment:\n"
    "  ADCKIT_SPIDEV        the spidev device (default /dev/spidev0.0)\n"
    "\n"
    "Exit status:\n"
    "  0  the kernel ended the session with a terminate message\n"
    "  1  the link broke, or could not be opened\n"
    "\n"
    "Examples:\n"
    "  adc_server -linkname 5000@0.0.0.0 -linkmode listen -linkprotocol TCPIP\n"
    "\n"
    "  linkpeer -e 'SPIDevMcp3008[4, 1000]' -- adc_server\n";

const char *spidev_path() {
  const char *path = std::getenv("ADCKIT_SPIDEV");
  return path != nullptr && path[0] != '\0' ? path : "/dev/spidev0.0";
}

// The device stays open between calls; a failed open is tried again on
// the next call.
bool device_ready() {
  if (spifd >= 0) return true;
  if (spiOpen(spidev_path()) == 0) return true;
  if (spifd >= 0) (void)spiClose();  // opened, but a setting failed
  return false;
}

// Sends what is written so far; false once the kernel is gone.
bool kernel_there() { return MLFlush(stdlink) != 0 && MLError(stdlink) == 0; }

// nanosleep rather than usleep: dt may be a second or more.  Sleeps in
// slices, looking at the link between them, so a kernel that went away
// during a long pause is noticed before the next scan is due.
bool pause_us(int dt) {
  while (dt > 0) {
    const int slice = std::min(dt, kCheckEveryUs);
    timespec left{slice / 1000000, static_cast<long>(slice % 1000000) * 1000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    dt -= slice;
    if (dt > 0 && !kernel_there()) return false;
  }
  return true;
}

// A call out of bounds: the kernel's user is told why, the operator too.
int refuse(const std::string &why) {
  (void)std::fprintf(stderr, "adc_server: %s\n", why.c_str());
  std::string print = "Print[\"SPIDevMcp3008: " + why + "\"]";
  (void)MLEvaluateString(stdlink, print.data());
  return MLPutSymbol(stdlink, "$Failed");
}

}  // namespace

extern "C" int spidev_mcp3008(int nx, int dt) {
  if (nx > kMaxRows) {
    return refuse("nx is " + std::to_string(nx) + "; at most " + std::to_string(kMaxRows) +
                  " rows per call");
  }
  if (dt > kMaxPauseUs) {
    return refuse("dt is " + std::to_string(dt) + "; at most " + std::to_string(kMaxPauseUs) +
                  " microseconds between scans");
  }
  if (!device_ready()) return MLPutSymbol(stdlink, "$Failed");
  const int rows = nx > 0 ? nx : 0;
  // More rows than the link carries in one list: nothing is written yet and
  // the link is still sound, so answer $Failed instead of ending the session.
  if (!MLPutFunction(stdlink, "List", rows)) {
    return MLClearError(stdlink) && MLPutSymbol(stdlink, "$Failed");
  }
  int ok = 1;
  bool answered = rows == 0;
  for (int row = 0; row < rows && ok; ++row) {
    if (row > 0 && !pause_us(dt)) {
      ok = 0;
      break;
    }
    std::array<std::int32_t, 8> values{};
    timespec when{};
    (void)get_mcp3008_channels(values.data(), static_cast<int>(values.size()), &when);
    for (std::int32_t v : values) answered = answered || v >= 0;
    ok = MLPutFunction(stdlink, "List", 2 + static_cast<int>(values.size())) &&
         MLPutInteger(stdlink, static_cast<int>(when.tv_sec)) &&
         MLPutInteger(stdlink, static_cast<int>(when.tv_nsec));
    for (std::int32_t v : values) ok = ok && MLPutInteger(stdlink, static_cast<int>(v));
    // Sent row by row: the kernel sees the scans as they come, and a kernel
    // that is gone fails the send instead of the scans running on unread.
    ok = ok && kernel_there();
  }
  // A device unplugged and plugged in again is a new device: the old
  // descriptor stays dead.  After a call in which it answered nothing, close
  // it, so the next call opens it afresh.
  if (!answered) (void)spiClose();
  // The bridge ends the packet whatever happens; a write that failed has
  // left the link in an error state that ends the serving run.
  return ok;
}

int main(int argc, char **argv) {
  // Link options are the link library's; only these two are the program's.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    (void)std::fputs(kHelp, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    (void)std::printf("adc_server (adckit) %s\n", ADCKIT_VERSION);
    return 0;
  }
  // 0 after the kernel terminated the link, 1 when it ended otherwise.
  return MLMain(argc, argv);
}
