#pragma once
// The GPIO side and the GPIO character device, as each calls the other,
// and their slices of the board object. Included by internal.h; gpio.cpp
// and gpiochip.cpp use it.
// See internal.h for where things live and the locking rule.
#include <cstdint>

#include "chip_lines.h"
#include "gpio_records.h"
#include "layout.h"

namespace vboard {

// ---------------------------------------------------------------------------
// The two sides' slices of the board object

// The pins, as the sysfs side keeps them (gpio.cpp).
struct gpio_slice {
  std::int32_t ngpio;
  std::int32_t base;       // number of the first pin
  std::uint32_t reserved;  // flags of gpio.cpp's own
  std::uint32_t spare;
  shared_pin pins[kMaxPins];
};
// The requests through the character device (gpiochip.cpp).
struct chardev_slice {
  std::int16_t line_request[kMaxPins];  // 1 + the request holding the line, 0 none
  shared_line_request requests[kLineRequests];
  std::uint32_t info_seq;  // line info changes so far
  std::uint32_t reserved_info;
  shared_info_change info_changes[kInfoChanges];  // the last ones, by seq
};
// The slices of board `b`, or of the board this process is on. Lock held.
gpio_slice &gpio_state(shared_board &b);
const gpio_slice &gpio_state(const shared_board &b);
gpio_slice &gpio_state();
chardev_slice &chardev_state(shared_board &b);
const chardev_slice &chardev_state(const shared_board &b);
chardev_slice &chardev_state();

// Another process may write the shared object at any time (the lock keeps
// only the well-behaved ones out), so a field is never trusted as an index,
// size or loop bound: it is read once (shared_read, chip_lines.h), and what is
// used is what was checked. A hostile writer then gets wrong answers at
// worst, never a fault or a hang.
// The pin count, 0 to kMaxPins, and the number of the first pin, 0 to
// 4096, as read now.
inline int pin_count(const shared_board &b) {
  const std::int32_t n = shared_read(gpio_state(b).ngpio);
  return n < 0 ? 0 : n > kMaxPins ? kMaxPins : n;
}
inline int pin_base(const shared_board &b) {
  const std::int32_t n = shared_read(gpio_state(b).base);
  return n < 0 ? 0 : n > 4096 ? 4096 : n;
}

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
