/*
 * rfcomm_server: serves rfcomm[x] to a kernel over a link, where x is an
 * MCP3008 channel and the answer its 10-bit reading (0 to 1023), or -1
 * for a channel outside 0 to 7 or a device that cannot be read.  A device
 * that goes away and comes back is read again from the next call on.
 *
 * The device is /dev/spidev0.0 unless ADCKIT_SPIDEV names another one.
 * The link options come from the command line, e.g.
 *   rfcomm_server -linkname 5000 -linkmode listen -linkprotocol TCPIP
 */
#define _POSIX_C_SOURCE 200809L

#include <adckit/adcscan.h>
#include <adckit/bridge.h>
#include <stdint.h>
#include <stdlib.h>
#include <time.h>

static const char *spidev_path(void) {
  const char *path = getenv("ADCKIT_SPIDEV");
  return path != NULL && path[0] != '\0' ? path : "/dev/spidev0.0";
}

/* The device stays open between calls; an open that failed is tried again
 * on the next call, so a device that appears later is picked up. */
static int device_ready(void) {
  if (spifd >= 0) return 1;
  if (spiOpen(spidev_path()) == 0) return 1;
  if (spifd >= 0) (void)spiClose(); /* opened, but a setting failed */
  return 0;
}

int rfcomm(int x) {
  int32_t values[8];
  struct timespec when;
  if (x < 0 || x > 7) return -1;
  if (!device_ready()) return -1;
  /* The scan reads channels 0 to x; an entry that failed every attempt
   * already holds -1. */
  if (get_mcp3008_channels(values, x + 1, &when) < 0) return -1;
  /* A device unplugged and plugged in again is a new device: the old
   * descriptor stays dead.  Close it, so the next call opens it afresh. */
  if (values[x] < 0) (void)spiClose();
  return (int)values[x];
}

int main(int argc, char **argv) {
  /* 0 after the kernel terminated the link, 1 when it ended otherwise. */
  return MLMain(argc, argv);
}
