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
 * into its own process uses the calls below to change inputs, inject
 * faults and read the trace of accesses. Every variable, the input forms,
 * the trace and capture formats and these calls are described in
 * docs/board-reference.md.
 *
 * Error convention: every call returning int returns 0 on success and -1
 * with errno set (EINVAL for an argument out of range, or the errno of the
 * failing system call) on failure.
 */
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Number of analogue inputs of the chip. */
#define VBOARD_CHANNELS 8
/* Bytes of transferred data each trace event keeps (longer transfers are cut). */
#define VBOARD_TRACE_DATA 32
/* Bytes of the file name each trace event keeps, terminator included. */
#define VBOARD_TRACE_FILE 64

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

/* --- inputs ------------------------------------------------------------- */

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

/* --- faults -------------------------------------------------------------- */

/* Opening `path` fails with `err` (e.g. EACCES); err 0 removes the fault. */
int vboard_fault_open(const char *path, int err);
/* `path` does not exist: open and stat fail with ENOENT (missing 0 restores). */
int vboard_fault_missing(const char *path, int missing);
/* Shorthand: /sys/class/gpio/export is missing (1) or present (0). */
int vboard_fault_export_missing(int missing);
/* Reading the value file of `pin` yields no bytes (1) or behaves again (0). */
int vboard_fault_empty_value(int pin, int empty);
/* The spidev device `device` (e.g. "/dev/spidev0.0") is missing (1) or present (0). */
int vboard_spidev_missing(const char *device, int missing);
/* Opening the spidev device fails with `err`; 0 removes the fault. */
int vboard_spidev_fail_open(const char *device, int err);
/* ioctl request number `request` on `device` fails with `err` every time
 * until removed (err 0 removes). */
int vboard_spidev_fail_request(const char *device, unsigned long request, int err);
/* The next `count` SPI_IOC_MESSAGE transfers (on any spidev device) return
 * `result` instead of transferring; with result -1 errno is set to `err`.
 * result 0 models a transfer that moved nothing. count 0 removes the fault. */
int vboard_spidev_fail_transfers(int count, int result, int err);
/* Removes every fault, including those the environment set. */
void vboard_clear_faults(void);

/* --- trace --------------------------------------------------------------- */

enum vboard_op {
  VBOARD_OP_OPEN = 0,
  VBOARD_OP_READ = 1,
  VBOARD_OP_WRITE = 2,
  VBOARD_OP_CLOSE = 3,
  VBOARD_OP_IOCTL = 4,
  VBOARD_OP_SEEK = 5,
  /* Not an access: the strict profile telling what the target would get
   * wrong (file names the device or "mcp3008", data holds the reason). */
  VBOARD_OP_NOTE = 6
};

/* One access to a virtual file or device. */
struct vboard_event {
  uint64_t seq;                 /* 0, 1, 2 ... in the order of the accesses */
  uint64_t time_ns;             /* board time: ns since the board powered on */
  int op;                       /* enum vboard_op */
  int pid;                      /* process that made the access */
  char file[VBOARD_TRACE_FILE]; /* path as opened, cut to fit */
  unsigned long request;        /* ioctl request; open flags for OPEN; 0 otherwise */
  uint64_t bytes;               /* bytes asked for (read/write), or message bytes (ioctl) */
  int64_t result;               /* what the call returned */
  int err;                      /* errno set by the call, 0 when it succeeded */
  uint32_t data_len;            /* bytes kept in data */
  unsigned char data[VBOARD_TRACE_DATA]; /* bytes written, or bytes read back */
};

/* Number of events in the in-memory trace. */
size_t vboard_trace_count(void);
/* Copies event `index` into *event. Returns 0, or -1 (EINVAL) past the end. */
int vboard_trace_get(size_t index, struct vboard_event *event);
/* Events the in-memory trace dropped because it was full. */
size_t vboard_trace_dropped(void);
/* Empties the in-memory trace (the numbering goes on). */
void vboard_trace_clear(void);
/* Writes the in-memory trace to `path` in the trace file format. */
int vboard_trace_write(const char *path);
/* Formats one event as one trace line (with newline) into buf. Returns the
 * length the full line needs, like snprintf. */
int vboard_trace_format(const struct vboard_event *event, char *buf, size_t size);
/* Name of an operation as the trace file spells it ("open", "read" ...). */
const char *vboard_op_name(int op);

#ifdef __cplusplus
}
#endif
