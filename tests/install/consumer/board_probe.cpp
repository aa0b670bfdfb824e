// A C++ program against an installed toolkit: the virtual board linked into
// the process sets a channel, the scan library reads it back, and the
// stand-in link library listens on a loopback port.
#include <adckit/adcscan.h>
#include <adckit/linklib/linklib.hpp>
#include <adckit/vboard.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

int main() {
  if (vboard_set_code(6, 654) != 0) {
    std::puts("vboard_set_code failed");
    return 1;
  }
  if (spiOpen("/dev/spidev0.0") != 0) return 1;
  std::int32_t values[8] = {};
  std::timespec when{};
  const int failed = get_mcp3008_channels(values, 8, &when);
  (void)spiClose();
  std::printf("ch6: %d, failed exchanges: %d\n", static_cast<int>(values[6]), failed);

  MLENV env = MLInitialize(nullptr);
  if (env == nullptr) return 1;
  int error = 0;
  MLINK link = adckit::link::openLink(
      env, {"-linkname", "0", "-linkmode", "listen", "-linkprotocol", "TCPIP"}, &error);
  if (link == nullptr) {
    std::printf("listen failed: %d\n", error);
    return 1;
  }
  std::printf("listening on %s\n", adckit::link::linkName(link).c_str());
  MLClose(link);
  MLDeinitialize(env);
  return values[6] == 654 && failed == 0 ? 0 : 1;
}
