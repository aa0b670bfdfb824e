#ifndef ADCKIT_VBOARD_SPIDEV_H
#define ADCKIT_VBOARD_SPIDEV_H
/*
 * Control interface of the virtual board's spidev devices (part of
 * libvboard.so, beside vboard.h).
 *
 * The devices answer the mode, LSB-first, word-size and rate requests with
 * read-back, and SPI_IOC_MESSAGE(n) checked record by record as the driver
 * does; the shared MCP3008 model answers the bits clocked in, with chip
 * select held for the whole message. Faults that the core offers (missing
 * device, failing open, failing request, failing transfers) are declared in
 * vboard_faults.h, which vboard.h includes. Included by spidev.cpp and by
 * the suites that link the board into their own process.
 *
 * The VBOARD_SPIDEV_* variables, read at load and by vboard_spidev_reset(),
 * and the trace lines of the devices are described once, in
 * docs/board-reference.md.
 *
 * Error convention as in vboard.h: 0 on success, -1 with errno on failure.
 */
#include <linux/spi/spidev.h>
#include <stddef.h>
#include <stdint.h>

#include "vboard.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Records the board keeps (the most recent ones; older ones drop out). */
#define VBOARD_SPI_RECORDS 4096

/* One transfer record of an SPI_IOC_MESSAGE, exactly as the caller passed
 * it, whether the message then succeeded or not. */
struct vboard_spi_record {
  uint64_t message;               /* number of the message: 0, 1, ... since the last reset */
  uint32_t index;                 /* position of the record in its message */
  uint32_t count;                 /* records in its message */
  unsigned long request;          /* the ioctl request number */
  char device[VBOARD_TRACE_FILE]; /* device path as opened */
  struct spi_ioc_transfer xfer;
};

/* Back to power-on: every device's settings (mode 0, 8 bits, 125 MHz),
 * vanished devices present again, the record log empty, and the
 * VBOARD_SPIDEV_* configuration read again from the environment.
 * Returns 0, or -1 (EINVAL) when a variable is malformed (its default is
 * then kept). vboard_reset() does this as well. */
int vboard_spidev_reset(void);

/* Number of records kept. */
size_t vboard_spidev_record_count(void);
/* Copies record `index` (0 is the oldest kept) into *record.
 * Returns 0, or -1 (EINVAL) past the end. */
int vboard_spidev_record_get(size_t index, struct vboard_spi_record *record);
/* Empties the record log (message numbers go on). */
void vboard_spidev_records_clear(void);

/* The device at `device` goes away after `transfers` more successful
 * messages (0: now), as when its driver is unbound: descriptors open on it
 * then fail every request with ESHUTDOWN, and the path no longer exists.
 * A negative count brings it back (for new opens only). */
int vboard_spidev_vanish_after(const char *device, long transfers);

/* The rate that SPI_IOC_RD_MAX_SPEED_HZ reports instead of the one written,
 * as some controller drivers round it; 0 reports the rate written. */
int vboard_spidev_set_readback_hz(uint32_t hz);
/* A transfer failing through vboard_spidev_fail_transfers() with a
 * negative result fills its receive buffers with `byte` (0-255), as a
 * controller may leave junk behind; -1 (the default) leaves them alone. */
int vboard_spidev_set_scribble(int byte);
/* Word sizes the controller supports: bit n-1 set for n bits (default
 * 1 << 7, only 8-bit words). Must not be 0. */
int vboard_spidev_set_word_sizes(uint32_t mask);

/* The settings `device` holds now: mode bits, word size and rate as written
 * (before any read-back override). Any pointer may be null. */
int vboard_spidev_settings(const char *device, uint32_t *mode, uint8_t *bits_per_word,
                           uint32_t *speed_hz);

#ifdef __cplusplus
}
#endif

#endif /* ADCKIT_VBOARD_SPIDEV_H */
