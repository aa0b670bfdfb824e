#pragma once
// The GPIO side and the GPIO character device, as each calls the other.
// Part of internal.h: see there for where things live and the locking rule.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "capture.h"
#include "chip.h"
#include "vboard.h"
#include "services.h"

namespace vboard {

// ---------------------------------------------------------------------------
// The GPIO side (gpio.cpp), for the control calls.

// With `level` false, 1 when `pin` is exported, 0 when not; with `level`
// true, the level its value file reads, -1 when not exported. -1 for a
// number that is no pin. Lock held.
int gpio_pin_query(int pin, bool level);

// For the character device, the same lines as the sysfs tree drives:
// the level of `line` (physical, before active_low); an output driven to
// `level` (the chip sees it); the consumer of a line a kernel driver
// holds (null when none); the controller's label. Lock held.
bool gpio_line_level(int line);
void gpio_drive(int line, bool level);
const char *gpio_claimed_by(int line);
const char *gpio_chip_label();

// ---------------------------------------------------------------------------
// The GPIO character device (gpiochip.cpp), for the sysfs side.

// True when a request through the character device holds `line` (requests
// whose owners ended are let go first). Lock held.
bool chardev_line_requested(int line);
// True when `line` is held by a request as the shared board records it,
// without looking whether its owner lives (cheap). Lock held.
bool chardev_line_held(int line);
// After the lines changed: queues the edges line event requests watch.
// True when any was queued. Lock held.
bool chardev_pins_changed();
// What is wrong with the requests a board object holds, or null.
const char *chardev_damage(const shared_board &b);
// A line was exported (`requested` true) or unexported through sysfs:
// watchers of its info are told. Lock held.
void chardev_sysfs_changed(int line, bool requested);
// The requests as `vboard show` lists them. Lock held.
std::string chardev_describe();

}  // namespace vboard
