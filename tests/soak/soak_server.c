/*
 * The server of the soak runs: rfcomm_server's rfcomm (one MCP3008 reading
 * per call through adcscan, -1 for a channel outside 0 to 7 or a device
 * that cannot be read), plus two calls for the rules around it:
 *   rfcomm[1000 + k]   evaluates "rfcomm[k]" through the kernel, which calls
 *                      back in, then answers the reading of channel k, or
 *                      -2 when the evaluation failed;
 *   rfcomm[2000 + k]   creates the file named by SOAK_READY (so the kernel
 *                      knows the call is running), waits up to 30 s for a
 *                      message to set MLAbort, then returns the reading of
 *                      channel k, which the bridge answers as Abort[].
 */
#define _POSIX_C_SOURCE 200809L

#include <adcscan.h>
#include <bridge.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static int device_ready(void) {
  const char *path = getenv("ADCKIT_SPIDEV");
  if (spifd >= 0) return 1;
  if (spiOpen(path != NULL && path[0] != '\0' ? path : "/dev/spidev0.0") == 0) return 1;
  if (spifd >= 0) (void)spiClose();
  return 0;
}

static int reading(int x) {
  int32_t values[8];
  struct timespec when;
  if (x < 0 || x > 7) return -1;
  if (!device_ready()) return -1;
  if (get_mcp3008_channels(values, x + 1, &when) < 0) return -1;
  return (int)values[x];
}

/* The message handler writes MLAbort on the link library's thread. */
static int aborted(void) { return __atomic_load_n(&MLAbort, __ATOMIC_SEQ_CST) != 0; }

static double now(void) {
  struct timespec t;
  (void)clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void wait_for_abort(void) {
  const char *ready = getenv("SOAK_READY");
  const double give_up = now() + 30.0;
  struct timespec pause = {0, 50000};
  if (ready != NULL) {
    FILE *f = fopen(ready, "w");
    if (f != NULL) (void)fclose(f);
  }
  while (!aborted() && now() < give_up) (void)nanosleep(&pause, NULL);
}

int rfcomm(int x) {
  if (x >= 2000 && x < 2008) {
    wait_for_abort();
    return reading(x - 2000);
  }
  if (x >= 1000 && x < 1008) {
    char text[16];
    (void)snprintf(text, sizeof text, "rfcomm[%d]", x - 1000);
    if (!MLEvaluateString(stdlink, text)) return -2;
    return reading(x - 1000);
  }
  return reading(x);
}

int main(int argc, char **argv) { return MLMain(argc, argv); }
