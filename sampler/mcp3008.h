/*
 * Single-ended conversions on an MCP3008 without any SPI hardware: the
 * chip's serial frame is made by toggling four GPIO lines, one sysfs access
 * per line change (gpio.h).
 *
 * Lines, by kernel GPIO number: `clock` (CLK, output, rests low), `out`
 * (DIN, data into the chip, output), `in` (DOUT, data out of the chip,
 * input) and `cs` (CS/SHDN, active low, output, rests high between frames).
 *
 * A header module: the routines are static inline so the program that
 * includes it gets its own copy.  Written in the common part of C99 and C++.
 * One thread only; two conversions on the same lines must never interleave.
 */
#ifndef ADCKIT_SAMPLER_MCP3008_H
#define ADCKIT_SAMPLER_MCP3008_H

#include <limits.h>

#include "gpio.h"

/* Sends one bit: data first with the clock low, then a full clock pulse.
 * The chip latches DIN on the rising edge. */
static inline void clocked_write(int clockpin, int out, int value) {
  gpio_write(out, value);
  gpio_write(clockpin, 1);
  gpio_write(clockpin, 0);
}

/* Receives one bit.  The chip shifts its next bit out on the falling edge,
 * so DOUT is sampled after it, with the clock low.
 * Returns what gpio_read gives for `in`: 1, 0 or -1. */
static inline int clocked_read(int clockpin, int in) {
  gpio_write(clockpin, 1);
  gpio_write(clockpin, 0);
  return gpio_read(in);
}

/* Fills the five-entry command frame `bin`: start bit, SGL/DIFF (always 1,
 * single-ended) and the channel's bits 2, 1 and 0, most significant first.
 * Only the lowest three bits of `inputnum` reach the frame. */
static inline void mcp3008_select_chip(int *bin, int inputnum) {
  int o[3];
  /* Taken as unsigned so every entry is a 0 or 1 bit, also for a negative
   * number (a signed remainder would put -1 on the data line). */
  unsigned int rest = inputnum;
  bin[0] = 1;
  bin[1] = 1;
  for (int i = 2; i >= 0; --i) {
    o[i] = rest % 2u != 0u ? 1 : 0;
    rest /= 2u;
  }
  int c = 2;
  for (int i = 0; i < 3; ++i) {
    bin[c++] = o[i];
  }
}

/* Returns 2 to the power `exp`, and 1 for `exp` of 0 or less.
 * From 31 on the value does not fit an int; instead of overflowing it wraps
 * as a 32-bit register would: 31 gives INT_MIN, 32 and above give 0. */
static inline int power_of_2(int exp) {
  int output = 1;
  if (exp >= 32) {
    return 0;
  }
  if (exp == 31) {
    return INT_MIN;
  }
  for (int i = 1; i <= exp; ++i) {
    output *= 2;
  }
  return output;
}

/* Sets the four lines' directions: clock, data-in, data-out, chip select.
 * A failure shows only as gpio_init's "Unable to open ..." line. */
static inline void init_mcp3008(int clock, int in, int out, int cs) {
  gpio_init(clock, "out");
  gpio_init(in, "in");
  gpio_init(out, "out");
  gpio_init(cs, "out");
}

/* One single-ended conversion of channel `inputnum` (0 to 7): 17 clock
 * pulses, 55 sysfs accesses (43 writes, 12 reads), no pauses.
 * Returns the 10-bit reading, 0 to 1023 from a chip that answers; a data
 * line that reads nonzero on every clock (no chip, an unreadable file) gives
 * 2047.  Returns -1 without touching any line for a channel outside 0..7. */
static inline int mcp3008_value(int inputnum, int clock, int in, int out, int cs) {
  int inputarray[5];
  int output = 0;
  if (inputnum < 0 || inputnum > 7) {
    return -1;
  }
  /* Chip select high, clock low, then the falling edge of chip select with
   * the clock low opens the frame. */
  gpio_write(cs, 1);
  gpio_write(clock, 0);
  gpio_write(cs, 0);
  mcp3008_select_chip(inputarray, inputnum);
  for (int i = 0; i < 5; ++i) {
    clocked_write(clock, out, inputarray[i]);
  }
  /* The first read completes the sample and sees the chip's low null bit,
   * then come B9..B0; the twelfth read lands after B0.  Weights 4096 down to
   * 2, so dividing by 4 drops the twelfth bit and leaves null bit and B9..B0
   * as one eleven-bit number. */
  for (int i = 12; i > 0; --i) {
    if (clocked_read(clock, in) != 0) {
      output += power_of_2(i);
    }
  }
  gpio_write(cs, 1);
  return output / 4;
}

#endif
