/*
 * gpiod_sampler: gpiosampler's run through the GPIO character device.
 *
 * Takes the same 50 conversions of MCP3008 channel 0 on the same wiring
 * (clock on line 4, the chip's DOUT on 27, its DIN on 5, chip select on 17),
 * bit-banged the same way (one access per line change, 55 per conversion),
 * and prints the same lines, so its rate can be set beside the sysfs one.
 * The lines are requested through libgpiod 1.6 (Debian 12's) instead of
 * being exported: numbered by their offset on the chip, whatever base the
 * kernel gives the controller's sysfs numbers.
 *
 *   gpiod_sampler [CHIP]     CHIP: name, path, label or number (gpiochip0)
 *
 * Exit status 0 after a complete run, 1 when the chip or its lines could
 * not be had or an access failed (the reason on standard error).
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <gpiod.h>
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

enum { line_clock = 4, line_dout = 27, line_din = 5, line_cs = 17 };
enum { nsamples = 50, channel = 0 };

static const char consumer[] = "gpiod_sampler";

/* The three lines the program drives, in one request; the uAPI libgpiod 1.6
 * uses gives a request one direction for all its lines, so DOUT, the input,
 * is a request of its own. */
enum { out_clock, out_din, out_cs, n_outputs };

struct wiring {
  struct gpiod_line_bulk outputs;
  int levels[n_outputs];
  struct gpiod_line *dout;
};

/* One line change: every driven line is set in one call, since a handle's
 * set sets all its lines (libgpiod's single-line set would drive the
 * others low). */
static int drive(struct wiring *w, int which, int level) {
  w->levels[which] = level;
  return gpiod_line_set_value_bulk(&w->outputs, w->levels);
}

static int clock_pulse(struct wiring *w) {
  return drive(w, out_clock, 1) < 0 || drive(w, out_clock, 0) < 0 ? -1 : 0;
}

/* One single-ended conversion, frame for frame as gpiosampler makes it.
 * Returns the first eleven bits read (null bit and B9..B0): 0 to 1023 from a
 * chip that answers, above 1023 when the null bit read high (no chip, or a
 * line that is not DOUT); -1 when an access failed. */
static int convert(struct wiring *w, int ch) {
  const int command[5] = {1, 1, (ch >> 2) & 1, (ch >> 1) & 1, ch & 1};
  int bits = 0;
  if (drive(w, out_cs, 1) < 0 || drive(w, out_clock, 0) < 0 || drive(w, out_cs, 0) < 0)
    return -1;
  for (int i = 0; i < 5; ++i) {
    if (drive(w, out_din, command[i]) < 0 || clock_pulse(w) < 0) return -1;
  }
  /* The chip shifts each bit out on the falling edge: DOUT is read after it. */
  for (int i = 0; i < 12; ++i) {
    if (clock_pulse(w) < 0) return -1;
    const int level = gpiod_line_get_value(w->dout);
    if (level < 0) return -1;
    bits = bits * 2 + (level != 0);
  }
  if (drive(w, out_cs, 1) < 0) return -1;
  return bits >> 1; /* the twelfth bit comes after B0 */
}

static int fail(const char *what) {
  const int err = errno;
  fprintf(stderr, "gpiod_sampler: %s: %s%s\n", what, strerror(err),
          err == EBUSY ? " (exported through sysfs, or held by another program?)" : "");
  return 1;
}

int main(int argc, char **argv) {
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    fprintf(stderr, "usage: gpiod_sampler [CHIP]\n");
    return 1;
  }
  const char *chip_name = argc == 2 ? argv[1] : "gpiochip0";
  struct gpiod_chip *chip = gpiod_chip_open_lookup(chip_name);
  if (chip == NULL) return fail(chip_name);

  /* Clock low, chip select high (no frame open) from the request on. */
  struct wiring w = {.levels = {0, 0, 1}};
  unsigned int out_offsets[n_outputs] = {line_clock, line_din, line_cs};
  int status = 1;
  if (gpiod_chip_get_lines(chip, out_offsets, n_outputs, &w.outputs) < 0 ||
      (w.dout = gpiod_chip_get_line(chip, line_dout)) == NULL) {
    status = fail("no such lines on the chip");
  } else if (gpiod_line_request_bulk_output(&w.outputs, consumer, w.levels) < 0) {
    status = fail("request of lines 4, 5 and 17 as outputs");
  } else if (gpiod_line_request_input(w.dout, consumer) < 0) {
    status = fail("request of line 27 as input");
  } else {
    /* Monotonic, where gpiosampler reads the real-time clock: a clock set
     * during the run must not change the figure. */
    struct timespec start, finish;
    clock_gettime(CLOCK_MONOTONIC, &start);
    printf("start at %ld\n", (long)start.tv_nsec);
    int i = 0;
    for (; i < nsamples; ++i) {
      const int value = convert(&w, channel);
      if (value < 0) break;
      printf("value is %d\n", value);
    }
    clock_gettime(CLOCK_MONOTONIC, &finish);
    if (i < nsamples) {
      status = fail("line access");
    } else {
      printf("finish at %ld\n", (long)finish.tv_nsec);
      const int64_t dt = ((int64_t)finish.tv_sec - start.tv_sec) * 1000000000 +
                         ((int64_t)finish.tv_nsec - start.tv_nsec);
      const double frequency = (double)nsamples * 1e9 / (double)dt;
      printf("DeltaT  %" PRId64 " nanosecs at frequency %f Hz\n", dt, frequency);
      status = 0;
    }
  }
  /* Closing the chip releases every line it handed out. */
  gpiod_chip_close(chip);
  return status;
}
