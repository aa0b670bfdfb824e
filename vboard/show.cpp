// What `vboard show` prints: the board's exported pins with their
// direction, value, active_low and edge, the chip's wiring and inputs, and
// the spidev devices' settings, as one text (vboard_describe).
#include <cstdio>
#include <string>

#include "internal.h"

namespace vboard {
namespace {

std::string level_text(const shared_level &l) {
  char buf[48];
  if (l.volts != 0)
    std::snprintf(buf, sizeof buf, "%g V", l.value);
  else
    std::snprintf(buf, sizeof buf, "%g LSB", l.value);
  return buf;
}

void add(std::string &out, const char *fmt, auto... args) {
  char line[256];
  const int n = std::snprintf(line, sizeof line, fmt, args...);
  if (n > 0) out.append(line, static_cast<std::size_t>(n) < sizeof line ? n : sizeof line - 1);
}

}  // namespace

std::string describe(const char *name) {
  const shared_board &b = board();
  std::string out;
  add(out, "board %s, time %.3f s since power-on\n", name, static_cast<double>(now_ns()) / 1e9);
  const int base = pin_base(b), count = pin_count(b);
  add(out, "gpio: GPIO %d-%d (gpiochip%d)\n", base, base + count - 1, base);
  int exported = 0;
  for (int p = 0; p < count; ++p) {
    const shared_pin &r = b.pins[p];
    if (r.exported == 0) continue;
    if (exported++ == 0)
      add(out, "  %-6s %-9s %-5s %-10s %s\n", "pin", "direction", "value", "active_low", "edge");
    add(out, "  %-6d %-9s %-5d %-10d %s\n", base + p, r.out != 0 ? "out" : "in",
        gpio_pin_query(base + p, true), r.active_low, edge_name(shared_read(r.edge)));
  }
  if (exported == 0) out += "  no pin exported\n";
  out += chardev_describe();
  const pin_wiring w = wiring();
  add(out, "chip: MCP3008, CLK on %d, DOUT on %d, DIN on %d, CS on %d; reference %g V\n", w.clock,
      w.dout, w.din, w.cs, b.reference);
  for (int ch = 0; ch < VBOARD_CHANNELS; ++ch) {
    const shared_input &in = b.inputs[ch];
    const int now = chip().convert(true, static_cast<unsigned>(ch));
    std::string what;
    if (in.kind == 1) {
      char buf[160];
      std::snprintf(buf, sizeof buf, "sine amp %s offset %s freq %g Hz phase %g deg",
                    level_text(in.amp).c_str(), level_text(in.offset).c_str(), in.freq,
                    in.phase_deg);
      what = buf;
    } else if (in.kind == 2) {
      char buf[160];
      std::snprintf(buf, sizeof buf, "ramp from %s to %s over %g s", level_text(in.from).c_str(),
                    level_text(in.to).c_str(), in.period);
      what = buf;
    } else if (in.kind == 3) {
      what = std::string("replay of ") + in.column + " in " + in.path +
             ((in.flags & kInputLoops) != 0 ? ", looping" : "");
    } else {
      what = level_text(in.fixed);
    }
    if (in.noise.value > 0) what += " with noise " + level_text(in.noise);
    out += "  CH" + std::to_string(ch) + " " + what + ": code " + std::to_string(now) + " now\n";
  }
  bool any_spi = false;
  for (const auto &s : b.spidev) {
    if (s.path[0] == '\0') continue;
    if (!any_spi) out += "spidev:\n";
    any_spi = true;
    add(out, "  %.31s mode %u, %u bits per word, %s first, %u Hz\n", s.path, s.mode & 3U,
        s.bits_per_word, s.lsb_first != 0 ? "LSB" : "MSB", s.speed_hz);
  }
  return out;
}

}  // namespace vboard

extern "C" int vboard_describe(char *buf, size_t size) {
  std::string text;
  {
    vboard::board_lock lock;
    vboard::ensure_ready();
    text = vboard::describe(vboard::board_name());
  }
  if (buf != nullptr && size > 0) std::snprintf(buf, size, "%s", text.c_str());
  return static_cast<int>(text.size());
}
