// The strict profile: with VBOARD_STRICT=1 the board holds a program to
// what the target would do to it. The chip keeps the limits of its serial
// clock (chip.h: too fast a clock for the supply voltage, a sample held
// too long), the spidev controller refuses what the target's controller
// refuses and counts its message buffer as the target's driver does
// (spidev.cpp). Whatever the target would get wrong is told as a `note`
// event in the trace, and once per kind on standard error, since code
// that works on the PC must not fail silently on the board. Without the
// variable the board keeps its lenient behaviour.
#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "internal.h"

namespace vboard {
namespace {

struct strict_state {
  bool on = false;
  double vdd = 3.3;
  unsigned told = 0;  // kinds already told on standard error, one bit each
};

// Plain data, set up before any code runs: every spidev message asks.
constinit strict_state strict{};
strict_state &st() { return strict; }

void chip_violation(chip_limit which, const char *why) {
  strict_note(which == chip_limit::clock_too_fast ? strict_kind::chip_clock_fast
                                                  : strict_kind::chip_sample_droop,
              "mcp3008", why);
}

// What the target does, for the line on standard error.
constexpr const char *kExplain[] = {
    "the MCP3008's clock is above its maximum at this supply (1.35 MHz at 2.7 V, 3.6 MHz at "
    "5 V): its bits come out wrong",
    "the MCP3008's sample drooped: the data bits must be clocked out within 1.2 ms of the "
    "sample (about 10 kHz at least)",
    "the MCP3008 answers in SPI modes 0,0 and 1,1 only: in this mode the master reads DOUT on "
    "the edge on which the chip changes it",
    "the board's SPI controller has no such mode (LSB-first and loopback included)",
    "the message does not fit the driver's buffer once each record is rounded up to the cache "
    "line",
};

}  // namespace

bool strict_profile() { return st().on; }

double supply_volts() { return st().vdd; }

void configure_strict(config::reader &r) {
  strict_state &s = st();
  s.on = false;
  s.vdd = 3.3;
  s.on = config::strict(r);
  if (const char *v = r.get("VBOARD_VDD")) {
    double volts = 0;
    if (config::parse_double(v, volts) && volts >= 2.7 && volts <= 5.5)
      s.vdd = volts;
    else
      r.bad("VBOARD_VDD", v, "the chip's supply in volts, 2.7 to 5.5");
  }
  chip_timing_limits limits;
  limits.enabled = s.on;
  limits.vdd = s.vdd;
  chip().set_limits(limits);
  mcp3008_model::set_hooks(monotonic_ns, chip_violation);
}

void strict_note(strict_kind kind, const char *file, const char *why) {
  trace(VBOARD_OP_NOTE, file, 0, 0, why, std::strlen(why), 0, 0);
  strict_state &s = st();
  const unsigned bit = 1U << static_cast<unsigned>(kind);
  if ((s.told & bit) != 0) return;
  s.told |= bit;
  tell("vboard: strict: %s: %s (%s)\n", file, why, kExplain[static_cast<unsigned>(kind)]);
}

}  // namespace vboard
