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
// The GPIO side (gpio.cpp)

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
// A line was exported (`requested` true) or unexported through sysfs:
// watchers of its info are told. Lock held.
void chardev_sysfs_changed(int line, bool requested);

}  // namespace vboard
