/*
 * adcscan: reads an MCP3008 through the kernel's spidev driver.
 *
 * Usage: spiOpen() once, then any number of get_mcp3008_channels() or
 * spiWriteRead() calls, then spiClose().  The connection lives in the
 * process-wide globals below; calls must not overlap.
 *
 * Errors: every routine returns an int; -1 (or another negative value)
 * means failure.  Set-up and close failures print a one-line message on
 * standard output, transfer failures a two-line perror() report on
 * standard error.  No routine ends the process or allocates memory.
 *
 * Programs that link this library also link the real-time library (-lrt).
 */
#ifndef ADCKIT_ADCSCAN_H
#define ADCKIT_ADCSCAN_H

#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Strict C99 hides the definition in <time.h>; the declaration is enough. */
struct timespec;

/* SPI mode read back from the driver (0 is requested). */
extern uint8_t mode;
/* Bits per word read back from the driver (8 is requested); copied into
 * every transfer. */
extern uint8_t bitsPerWord;
/* Maximum clock rate in Hz read back from the driver (15625 is
 * requested); copied into every transfer. */
extern uint32_t speed;
/* Descriptor of the open device; -1 before spiOpen, after a failed open
 * and after spiClose. */
extern int spifd;
/* Pause in microseconds at the end of a successful spiOpen: 1000000 / the
 * requested rate, i.e. 64. */
extern uint32_t usleepdelay;

/* Opens `device` (e.g. "/dev/spidev0.0"), sets mode 0, 8-bit words and
 * 15625 Hz, reading each setting back into the globals above, then waits
 * usleepdelay microseconds.
 * Returns 0 on success, or -1 after printing why.  After a failed setting
 * the device stays open in spifd; call spiClose to release it. */
int spiOpen(const char *device);

/* Full-duplex transfer of `length` bytes (1 to 511) in one chip-select
 * window; each byte of `data` is replaced by the byte received with it.
 * Returns the number of bytes moved, or a negative value after reporting
 * the error through perror (errno EINVAL for a length out of range, EFAULT
 * for a null `data`, EBADF when the device is not open). */
int spiWriteRead(unsigned char *data, int length);

/* Closes the device and sets spifd to -1.
 * Returns 0, or -1 after printing "Could not close SPI device". */
int spiClose(void);

/* Reads channels 0 to count-1 (single-ended) into values[0..count-1]; a
 * count from 9 to 255 cycles through the eight channels again (entry k
 * holds channel k % 8).  A failed exchange is repeated with a fresh frame,
 * up to 5 attempts per entry; an entry whose attempts all failed holds -1.
 * *timestamp receives the wall-clock time (CLOCK_REALTIME) after the last
 * channel.
 * Returns the number of failed exchanges (0 when all went through at the
 * first attempt), or -1 without any exchange when count is 256 or more or
 * a pointer is null.  A count of 0 or less reads nothing and returns 0. */
int get_mcp3008_channels(int32_t *values, int count, struct timespec *timestamp);

#ifdef __cplusplus
}
#endif

#endif /* ADCKIT_ADCSCAN_H */
