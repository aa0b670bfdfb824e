#pragma once
/*
 * Faults the virtual board injects: paths that fail to open or are
 * missing, empty value files, spidev devices and requests that fail. A
 * fault is this process's own, like one a VBOARD_MISSING, VBOARD_FAIL_OPEN
 * or VBOARD_SPIDEV_FAIL_* variable sets.
 * Included by vboard.h, the header programs include; it compiles on its
 * own, as C or C++. Error convention as in vboard.h.
 */
#ifdef __cplusplus
extern "C" {
#endif

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

#ifdef __cplusplus
}
#endif
