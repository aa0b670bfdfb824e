// The board itself: the board lock, the chip and its wiring to the pins,
// the board's first use (configuration from the environment, adoption of
// inherited descriptors), power-off (vboard_reset) and the control calls
// for the wiring and the pins.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

#include "internal.h"

namespace vboard {

void adopt_inherited();
void adoption_done();
bool register_provider(const provider &p);

namespace {

std::uint64_t load_time_ns() {
  static const std::uint64_t t0 = [] {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL +
           static_cast<std::uint64_t>(ts.tv_nsec);
  }();
  return t0;
}

struct board {
  pin_wiring pins;
  bool dout_idle = false;
  mcp3008_model model{[](int ch) { return channel_lsb(ch); }};
};

// Constant-initialised, so it is usable from the board's load-time
// constructor whatever order the dynamic initialisers run in.
std::mutex board_mutex;
bool configured = false;
bool adoption_pending = true;

board &the_board() {
  static board b;
  return b;
}

}  // namespace

board_lock::board_lock() { board_mutex.lock(); }
board_lock::~board_lock() { board_mutex.unlock(); }

int fail(int err) {
  errno = err;
  return -1;
}

// Reads VBOARD_PIN_* and VBOARD_DOUT_IDLE over the defaults. Lock held.
void configure_wiring(config::reader &r) {
  board &b = the_board();
  b.pins = pin_wiring{};
  b.dout_idle = false;
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
      if (config::parse_long(v, n) && n >= 0 && n < 1024)
        b.pins.*pv.field = static_cast<int>(n);
      else
        r.bad(pv.name, v, "a GPIO number, 0 to 1023");
    }
  }
  if (const char *v = r.get("VBOARD_DOUT_IDLE")) {
    if (std::string_view(v) == "0" || std::string_view(v) == "1")
      b.dout_idle = *v == '1';
    else
      r.bad("VBOARD_DOUT_IDLE", v, "0 or 1");
  }
  b.model.reset();
  b.model.set_idle_level(b.dout_idle);
}

void ensure_ready() {
  if (!configured) {
    configured = true;
    load_time_ns();
    configure_core();
    configure_devices();
  }
  if (adoption_pending) {
    adoption_pending = false;
    adopt_inherited();
    adoption_done();
  }
}

bool add_provider(const provider &p) {
  board_lock lock;
  if (!register_provider(p)) {
    char line[160];
    const int n = std::snprintf(line, sizeof line,
                                "vboard: no room for the device handler of %s; its files are "
                                "not emulated\n",
                                p.prefix);
    if (n > 0) (void)!real_write(2, line, static_cast<std::size_t>(n) < sizeof line ? n : 0);
    return false;
  }
  // Constructors run in no fixed order: a handler registering after the
  // board's first use is configured now and gets its inherited descriptors.
  if (configured && p.configure != nullptr) p.configure();
  if (!adoption_pending) adopt_inherited();
  return true;
}

mcp3008_model &chip() { return the_board().model; }

const pin_wiring &wiring() { return the_board().pins; }

std::uint64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL +
         static_cast<std::uint64_t>(ts.tv_nsec) - load_time_ns();
}

}  // namespace vboard

using namespace vboard;

extern "C" {

static void before_fork() { board_mutex.lock(); }
static void after_fork() { board_mutex.unlock(); }

// Configures the board and adopts inherited descriptors before main, so a
// program that only uses stdio on them (echo) finds them ready.
__attribute__((constructor)) static void vboard_load() {
  {
    board_lock lock;
    ensure_ready();
  }
  pthread_atfork(before_fork, after_fork, after_fork);
}

int vboard_reset(void) {
  board_lock lock;
  ensure_ready();
  bool ok = configure_core();
  reset_devices();
  if (!configure_devices()) ok = false;
  clear_trace();
  return ok ? 0 : fail(EINVAL);
}

int vboard_set_pins(int clock, int dout, int din, int cs) {
  for (int p : {clock, dout, din, cs}) {
    if (p < 0 || p >= 1024) return fail(EINVAL);
  }
  board_lock lock;
  ensure_ready();
  the_board().pins = {clock, dout, din, cs};
  the_board().model.reset();
  return 0;
}

int vboard_set_dout_idle(int level) {
  if (level != 0 && level != 1) return fail(EINVAL);
  board_lock lock;
  ensure_ready();
  the_board().dout_idle = level != 0;
  the_board().model.set_idle_level(level != 0);
  return 0;
}

int vboard_pin_exported(int pin) {
  board_lock lock;
  ensure_ready();
  return gpio_pin_query(pin, false);
}

int vboard_pin_level(int pin) {
  board_lock lock;
  ensure_ready();
  return gpio_pin_query(pin, true);
}

int vboard_channel_code(int channel) {
  if (channel < 0 || channel >= VBOARD_CHANNELS) return -1;
  board_lock lock;
  ensure_ready();
  return the_board().model.convert(true, static_cast<unsigned>(channel));
}

}  // extern "C"
