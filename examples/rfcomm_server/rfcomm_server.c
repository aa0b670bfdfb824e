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
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#ifndef ADCKIT_VERSION
#define ADCKIT_VERSION "unknown"
#endif

/* Also the source of the manual page (help2man), so it is written as one. */
static const char help[] =
    "Usage: rfcomm_server -linkname NAME [-linkmode listen|connect] [-linkprotocol TCPIP|Unix]\n"
    "Serve rfcomm[x] to a computing kernel over a link: the answer is the 10-bit\n"
    "reading (0 to 1023) of MCP3008 channel x, or -1 for a channel outside 0 to 7\n"
    "or a device that cannot be read.  The device is opened on the first call and\n"
    "stays open; one that answered nothing is closed and opened afresh on the next\n"
    "call.\n"
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
    "  rfcomm_server -linkname 5000@0.0.0.0 -linkmode listen -linkprotocol TCPIP\n"
    "\n"
    "  linkpeer -e 'rfcomm[3]' -- rfcomm_server\n";

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
  /* Link options are the link library's; only these two are the program's. */
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    (void)fputs(help, stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    (void)printf("rfcomm_server (adckit) %s\n", ADCKIT_VERSION);
    return 0;
  }
  /* 0 after the kernel terminated the link, 1 when it ended otherwise. */
  return MLMain(argc, argv);
}
