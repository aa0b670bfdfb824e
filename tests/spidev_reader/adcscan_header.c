/* The public header as a strict C99 program sees it: every name with the
 * type callers rely on (a mismatch is a pointer-type error under -Werror). */
#include <adckit/adcscan.h>

int adcscan_header_from_c(void) {
  int (*open_fn)(const char *) = spiOpen;
  int (*transfer_fn)(unsigned char *, int) = spiWriteRead;
  int (*close_fn)(void) = spiClose;
  int (*scan_fn)(int32_t *, int, struct timespec *) = get_mcp3008_channels;
  uint8_t *m = &mode;
  uint8_t *b = &bitsPerWord;
  uint32_t *s = &speed;
  int *fd = &spifd;
  uint32_t *d = &usleepdelay;
  return open_fn != 0 && transfer_fn != 0 && close_fn != 0 && scan_fn != 0 && m != 0 && b != 0 &&
         s != 0 && fd != 0 && d != 0 && sizeof mode == 1 && sizeof bitsPerWord == 1 &&
         sizeof speed == 4 && sizeof usleepdelay == 4;
}
