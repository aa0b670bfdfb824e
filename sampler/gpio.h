/*
 * Pin access through the kernel's sysfs GPIO interface.
 *
 * A pin is its kernel GPIO number.  Every call opens, uses and closes the one
 * file it needs; nothing stays open between calls and nothing about a pin is
 * remembered here (the kernel keeps the pin's state).
 *
 * Results: exportGPIO and unexportGPIO give 0 or -1, gpio_init gives 1 or 0,
 * gpio_read gives 1, 0 or -1; failures that have a message print it on
 * standard output.  Meant for one thread: the calls share `pinpath`.
 */
#ifndef ADCKIT_SAMPLER_GPIO_H
#define ADCKIT_SAMPLER_GPIO_H

#ifdef __cplusplus
extern "C" {
#endif

/* Prefix of every pin directory; the pin number follows it directly. */
extern const char path[21];

/* The file path composed by the last gpio_write, gpio_read or gpio_init
 * (empty after a pin number was refused as too long). */
extern char pinpath[40];

/* Sets the level of an output pin (callers pass 0 or 1).  Does nothing when
 * the value file cannot be opened or the pin number does not fit pinpath. */
void gpio_write(int pin, int value);

/* Reads the pin's level.
 * Returns 1 when the value file starts with the digit 1, 0 when it starts
 * with anything else, and -1 when it is empty, cannot be opened or read, or
 * the pin number does not fit pinpath. */
int gpio_read(int pin);

/* Claims the pin for user space and then waits 250 ms, because the kernel
 * hands out the permissions of the new files a moment after the export.
 * Returns 0 once the export file was opened and written (also when the kernel
 * refuses the number), -1 after "Unable to export gpio N.." when it could not
 * be opened. Prints "creating file ..." first in every case. */
int exportGPIO(int pin);

/* Releases the pin; the same as exportGPIO for the unexport file. */
int unexportGPIO(int pin);

/* Writes "out" or "in" to the pin's direction file.
 * Returns 1 when the file was opened and written, 0 after "Unable to open
 * <file>.." when it could not be opened or the pin number is too long for
 * pinpath; 0 without a message for a null direction. */
int gpio_init(int pin, const char *direction);

#ifdef __cplusplus
}
#endif

#endif
