// adc_server: serves SPIDevMcp3008[nx, dt] to a kernel over a link.
//
// The answer is a list of nx rows, one per scan of all eight channels,
// taken dt microseconds apart:
//   {{seconds, nanoseconds, c0, c1, ..., c7}, ...}
// where the time is the wall clock after the scan and c0..c7 are the
// 10-bit readings (-1 for a channel that could not be read).  nx of 0 or
// less gives {}, a negative dt is taken as 0.  When the device cannot be
// opened, or nx is more rows than the link carries in one list, the answer
// is $Failed.  A device that goes away and comes back is read again from
// the next call on.  Once started, a scan list runs to the end: an abort
// from the kernel takes effect on the next call.
//
// The device is /dev/spidev0.0 unless ADCKIT_SPIDEV names another one.

#include <adckit/adcscan.h>
#include <adckit/bridge.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace {

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

// nanosleep rather than usleep: dt may be a second or more.
void pause_us(int dt) {
  if (dt <= 0) return;
  timespec left{dt / 1000000, static_cast<long>(dt % 1000000) * 1000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace

extern "C" int spidev_mcp3008(int nx, int dt) {
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
    if (row > 0) pause_us(dt);
    std::array<std::int32_t, 8> values{};
    timespec when{};
    (void)get_mcp3008_channels(values.data(), static_cast<int>(values.size()), &when);
    for (std::int32_t v : values) answered = answered || v >= 0;
    ok = MLPutFunction(stdlink, "List", 2 + static_cast<int>(values.size())) &&
         MLPutInteger(stdlink, static_cast<int>(when.tv_sec)) &&
         MLPutInteger(stdlink, static_cast<int>(when.tv_nsec));
    for (std::int32_t v : values) ok = ok && MLPutInteger(stdlink, static_cast<int>(v));
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
  // 0 after the kernel terminated the link, 1 when it ended otherwise.
  return MLMain(argc, argv);
}
