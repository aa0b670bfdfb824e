#pragma once
// The strict profile (strict.cpp): the target's limits, which the chip and
// the spidev controller tell as notes instead of being lenient. Included by
// internal.h.
// See internal.h for where things live and the locking rule.

namespace vboard {

namespace config {
class reader;
}

// Reads VBOARD_STRICT and VBOARD_VDD and sets the chip's limits. Lock held.
void configure_strict(config::reader &r);
// True with VBOARD_STRICT=1. Lock held.
bool strict_profile();
// The chip's supply voltage (VBOARD_VDD). Lock held.
double supply_volts();
// What the target would get wrong, one bit each.
enum class strict_kind : unsigned {
  chip_clock_fast,
  chip_sample_droop,
  chip_spi_mode,
  controller_mode,
  controller_buffer,
};
// Tells it: a note event in the trace naming `file`, with `why` (at most
// 31 characters), and once per kind and process a line on standard error.
// Lock held.
void strict_note(strict_kind kind, const char *file, const char *why);

}  // namespace vboard
