// The MCP3008 on the board's pins: which pins its lines are wired to, the
// level DOUT floats to, and its model's state, all in the shared board
// object (its part: power-on, damage check, the chip's line of `vboard
// show`); VBOARD_PIN_* and VBOARD_DOUT_IDLE; the wiring and conversion
// control calls. The model itself is chip.cpp, its inputs inputs.cpp.
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

#include "internal.h"

namespace vboard {

namespace {

std::size_t chip_at = 0;  // the chip's slice of the board object

void set_wiring(shared_board &b, const pin_wiring &w) {
  chip_slice &c = chip_state(b);
  c.wiring[0] = w.clock;
  c.wiring[1] = w.dout;
  c.wiring[2] = w.din;
  c.wiring[3] = w.cs;
}

void chip_power_on(shared_board &b) {
  chip_slice &c = chip_state(b);
  set_wiring(b, pin_wiring{});
  c.dout_idle = 0;
  mcp3008_model blank(nullptr, &c.chip);
  blank.reset();
}

const char *chip_damage(const shared_board &b) {
  const chip_slice &c = chip_state(b);
  for (int w : c.wiring) {
    if (w < 0 || w >= kMaxPins) return "the chip's wiring is out of range";
  }
  if (c.dout_idle < 0 || c.dout_idle > 1) return "DOUT's idle level is invalid";
  if (!mcp3008_model::valid(c.chip)) return "the chip's state is invalid";
  return nullptr;
}

void chip_show(const shared_board &b, std::string &out) {
  const pin_wiring w = wiring();
  show_line(out, "chip: MCP3008, CLK on %d, DOUT on %d, DIN on %d, CS on %d; reference %g V\n",
            w.clock, w.dout, w.din, w.cs, inputs_state(b).reference);
}

void chip_attached(shared_board &b) { chip().attach(&chip_state(b).chip); }

[[gnu::constructor(kRegisterPriority)]] void add_chip_part() {
  add_part({"chip", 30, chip_power_on, chip_damage, chip_show, chip_attached, nullptr,
            sizeof(chip_slice), alignof(chip_slice), 20, &chip_at, configure_wiring, 20});
}

}  // namespace

static_assert(sizeof(chip_slice) == 24 + sizeof(mcp3008_lines));

chip_slice &chip_state(shared_board &b) {
  return *static_cast<chip_slice *>(board_slice(b, chip_at));
}
const chip_slice &chip_state(const shared_board &b) {
  return *static_cast<const chip_slice *>(board_slice(b, chip_at));
}
chip_slice &chip_state() { return chip_state(board()); }

mcp3008_model &chip() {
  // Works on lines of its own until the board is attached.
  static mcp3008_model model([](int ch) { return channel_lsb(ch); }, nullptr);
  return model;
}

pin_wiring wiring() {
  const chip_slice &b = chip_state();
  return {b.wiring[0], b.wiring[1], b.wiring[2], b.wiring[3]};
}

void configure_wiring(config::reader &r) {
  shared_board &b = board();
  pin_wiring w = wiring();
  const pin_wiring before = w;
  std::int32_t idle = chip_state(b).dout_idle;
  if (r.restore()) {
    w = pin_wiring{};
    idle = 0;
  }
  struct pin_var {
    const char *name;
    int pin_wiring::*field;
  };
  static constexpr pin_var pin_vars[] = {
      {"VBOARD_PIN_CLK", &pin_wiring::clock},
      {"VBOARD_PIN_DOUT", &pin_wiring::dout},
      {"VBOARD_PIN_DIN", &pin_wiring::din},
      {"VBOARD_PIN_CS", &pin_wiring::cs},
  };
  for (const auto &pv : pin_vars) {
    if (const char *v = r.get(pv.name)) {
      long n = 0;
      if (config::parse_long(v, n) && n >= 0 && n < kMaxPins)
        w.*pv.field = static_cast<int>(n);
      else
        r.bad(pv.name, v, "a line of the GPIO controller, 0 to 1023");
    }
  }
  if (const char *v = r.get("VBOARD_DOUT_IDLE")) {
    if (std::string_view(v) == "0" || std::string_view(v) == "1")
      idle = *v == '1';
    else
      r.bad("VBOARD_DOUT_IDLE", v, "0 or 1");
  }
  // A program joining the board with the same wiring leaves a conversion
  // in progress alone; new wiring starts the chip afresh.
  const bool rewired =
      w.clock != before.clock || w.dout != before.dout || w.din != before.din || w.cs != before.cs;
  set_wiring(b, w);
  chip_state(b).dout_idle = idle;
  if (r.restore() || rewired) chip().reset();
  chip().set_idle_level(idle != 0);
}

}  // namespace vboard

using namespace vboard;

extern "C" {

int vboard_set_pins(int clock, int dout, int din, int cs) {
  for (int p : {clock, dout, din, cs}) {
    if (p < 0 || p >= kMaxPins) return fail(EINVAL);
  }
  board_lock lock;
  ensure_ready();
  set_wiring(board(), {clock, dout, din, cs});
  chip().reset();
  pins_changed();
  return 0;
}

int vboard_set_dout_idle(int level) {
  if (level != 0 && level != 1) return fail(EINVAL);
  board_lock lock;
  ensure_ready();
  chip_state().dout_idle = level;
  chip().set_idle_level(level != 0);
  pins_changed();
  return 0;
}

int vboard_channel_code(int channel) {
  if (channel < 0 || channel >= VBOARD_CHANNELS) return -1;
  board_lock lock;
  ensure_ready();
  return chip().convert(true, static_cast<unsigned>(channel));
}

}  // extern "C"
