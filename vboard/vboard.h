#pragma once
/*
 * Control interface of the virtual board (libvboard.so).
 *
 * The board emulates the sysfs GPIO tree, the spidev devices and an MCP3008
 * wired to them. One board is shared by every process on it, as a kernel
 * is: VBOARD_BOARD names it (default "default", one per user), a path puts
 * it in that file, and "private" gives the process a board of its own. A
 * program run under LD_PRELOAD (or the vboard launcher) is configured
 * through the VBOARD_* environment variables; a test that links the board
 * into its own process uses the calls here and in the headers this one
 * includes to change inputs (vboard_inputs.h), inject faults
 * (vboard_faults.h) and read the trace of accesses (vboard_trace.h). Every variable, the input forms,
 * the trace and capture formats and these calls are described in
 * docs/board-reference.md.
 *
 * Error convention: every call returning int returns 0 on success and -1
 * with errno set (EINVAL for an argument out of range, or the errno of the
 * failing system call) on failure.
 */
#include <stddef.h>

#include "vboard_faults.h"
#include "vboard_inputs.h"
#include "vboard_trace.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Restores the configuration the environment gives (VBOARD_* variables):
 * inputs, pins, reference, faults. Unexports every pin, resets the chip and
 * clears the in-memory trace; the spidev devices go back to power-on
 * (vboard_spidev_reset). Returns 0, or -1 when a variable is malformed
 * (the board then keeps the defaults for that variable). */
int vboard_reset(void);

/* Powers the board off and on again, for every process on it: no pin
 * exported, the chip idle, inputs, wiring and spidev settings at their
 * defaults, board time from zero; then this process's VBOARD_* variables
 * apply as when it joined. A board object that was refused (another
 * layout, damaged) is replaced by a new one. Returns 0, or -1 (EINVAL when
 * a variable is malformed, or the errno of creating the object). */
int vboard_power_cycle(void);

/* The board this process is on: its name, its file path, or "private". */
const char *vboard_board_name(void);

/* Writes a description of the board (exported pins with direction, value,
 * active_low and edge; the chip's wiring and inputs; the spidev settings)
 * into buf, as `vboard show` prints it. Returns the length the whole text
 * needs, like snprintf. */
int vboard_describe(char *buf, size_t size);

#ifdef __cplusplus
}
#endif
