#pragma once
/*
 * The virtual board's chip and pins, as a test sets and reads them: the
 * analogue inputs, the reference, the chip's wiring and what a pin reads.
 * Included by vboard.h, the header programs include; it compiles on its
 * own, as C or C++. Error convention as in vboard.h.
 */
#ifdef __cplusplus
extern "C" {
#endif

/* Number of analogue inputs of the chip. */
#define VBOARD_CHANNELS 8

/* Channel `channel` (0-7) reads the fixed code `code` (0-1023). */
int vboard_set_code(int channel, int code);
/* Channel reads `volts` against the reference voltage (clamped by the chip). */
int vboard_set_voltage(int channel, double volts);
/* Channel follows offset + amplitude * sin(2 pi freq t + phase) volts, t in
 * seconds of the board's time (CLOCK_MONOTONIC since the board powered on),
 * phase in degrees. freq must be >= 0. */
int vboard_set_sine(int channel, double amplitude_volts, double offset_volts, double freq_hz,
                    double phase_deg);
/* Channel rises linearly from `from_volts` to `to_volts` over `period_s`
 * seconds of board time and starts over (a sawtooth). period_s must be > 0. */
int vboard_set_ramp(int channel, double from_volts, double to_volts, double period_s);
/* Reference voltage of the chip (> 0; default 3.3). */
int vboard_set_reference(double volts);
/* Pins the chip is wired to, as kernel GPIO numbers (default 4, 27, 5, 17). */
int vboard_set_pins(int clock, int dout, int din, int cs);
/* Level (0 or 1) the DOUT pin reads while the chip does not drive it. */
int vboard_set_dout_idle(int level);
/* The code the chip would convert on `channel` right now (single-ended),
 * or -1 for a channel out of range. */
int vboard_channel_code(int channel);

/* --- pins ---------------------------------------------------------------- */

/* 1 when the pin is exported, 0 when not, -1 for a number that is no pin. */
int vboard_pin_exported(int pin);
/* Level of the pin as its value file would read it (0 or 1), or -1 when the
 * pin is not exported or is no pin. */
int vboard_pin_level(int pin);

#ifdef __cplusplus
}
#endif
