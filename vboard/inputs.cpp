// The chip's analogue inputs: the reference voltage and, per channel, a
// fixed code or voltage or a waveform over board time (sine, ramp); their
// variables (VBOARD_VREF, VBOARD_CH0..7) and control calls.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <string_view>

#include "internal.h"

namespace vboard {
namespace {

// A quantity given either in volts or in LSB (code units).
struct level {
  double value = 0.0;
  bool volts = false;
  double lsb(double ref) const { return volts ? value * 1024.0 / ref : value; }
};

struct input {
  enum kind_t { code, sine, ramp } kind = code;
  level fixed;        // code: the constant level
  level amp, offset;  // sine
  double freq = 0.0, phase_deg = 0.0;
  level from, to;  // ramp
  double period = 1.0;
};

shared_input to_shared(const input &in) {
  auto lv = [](const level &l) { return shared_level{l.value, l.volts ? 1U : 0U, 0}; };
  shared_input out{};
  out.kind = static_cast<std::uint32_t>(in.kind);
  out.fixed = lv(in.fixed);
  out.amp = lv(in.amp);
  out.offset = lv(in.offset);
  out.from = lv(in.from);
  out.to = lv(in.to);
  out.freq = in.freq;
  out.phase_deg = in.phase_deg;
  out.period = in.period;
  return out;
}

double lsb(const shared_level &l, double ref) {
  return l.volts != 0 ? l.value * 1024.0 / ref : l.value;
}

bool parse_level(std::string_view s, level &out) {
  out.volts = false;
  if (!s.empty() && (s.back() == 'V' || s.back() == 'v')) {
    out.volts = true;
    s.remove_suffix(1);
  }
  return config::parse_double(s, out.value);
}

// "512", "1.65V", "sine:amp=1V,offset=1.65V,freq=0.5[,phase=90]",
// "ramp:from=0,to=1023,period=2".
bool parse_input(std::string_view s, input &out) {
  input in;
  auto params = [&](std::string_view list, auto &&take) {
    for (auto kv : config::split(list, ',')) {
      const auto eq = kv.find('=');
      if (eq == std::string_view::npos || !take(kv.substr(0, eq), kv.substr(eq + 1))) return false;
    }
    return true;
  };
  if (s.starts_with("sine:")) {
    in.kind = input::sine;
    bool has_amp = false, has_freq = false;
    if (!params(s.substr(5),
                [&](std::string_view k, std::string_view v) {
                  if (k == "amp") return has_amp = parse_level(v, in.amp);
                  if (k == "offset") return parse_level(v, in.offset);
                  if (k == "freq")
                    return has_freq = config::parse_double(v, in.freq) && in.freq >= 0.0;
                  if (k == "phase") return config::parse_double(v, in.phase_deg);
                  return false;
                }) ||
        !has_amp || !has_freq) {
      return false;
    }
  } else if (s.starts_with("ramp:")) {
    in.kind = input::ramp;
    bool has_period = false, has_to = false;
    if (!params(s.substr(5),
                [&](std::string_view k, std::string_view v) {
                  if (k == "from") return parse_level(v, in.from);
                  if (k == "to") return has_to = parse_level(v, in.to);
                  if (k == "period")
                    return has_period = config::parse_double(v, in.period) && in.period > 0.0;
                  return false;
                }) ||
        !has_period || !has_to) {
      return false;
    }
  } else {
    in.kind = input::code;
    if (!parse_level(s, in.fixed)) return false;
    if (!in.fixed.volts && (in.fixed.value < 0 || in.fixed.value > 1023 ||
                            in.fixed.value != std::floor(in.fixed.value))) {
      return false;
    }
  }
  out = in;
  return true;
}

int set_input(int channel, const input &in) {
  board_lock lock;
  ensure_ready();
  board().inputs[channel] = to_shared(in);
  return 0;
}

bool bad_channel(int channel) { return channel < 0 || channel >= VBOARD_CHANNELS; }

}  // namespace

void power_on_inputs(shared_board &b) {
  b.reference = 3.3;
  for (auto &in : b.inputs) in = to_shared(input{});
}

void configure_inputs(config::reader &r) {
  shared_board &b = board();
  if (r.restore()) power_on_inputs(b);
  if (const char *v = r.get("VBOARD_VREF")) {
    double ref = 0;
    if (config::parse_double(v, ref) && ref > 0)
      b.reference = ref;
    else
      r.bad("VBOARD_VREF", v, "volts above 0");
  }
  for (int ch = 0; ch < VBOARD_CHANNELS; ++ch) {
    char name[16];
    std::snprintf(name, sizeof name, "VBOARD_CH%d", ch);
    if (const char *v = r.get(name)) {
      input in;
      if (parse_input(v, in))
        b.inputs[ch] = to_shared(in);
      else
        r.bad(name, v);
    }
  }
}

double channel_lsb(int ch) {
  if (bad_channel(ch)) return 0.0;
  const shared_board &b = board();
  const shared_input &in = b.inputs[ch];
  const double ref = b.reference;
  const double s = static_cast<double>(now_ns()) / 1e9;
  switch (in.kind) {
    case input::code:
      return lsb(in.fixed, ref);
    case input::sine:
      return lsb(in.offset, ref) +
             lsb(in.amp, ref) * std::sin(2.0 * std::numbers::pi * in.freq * s +
                                         in.phase_deg * std::numbers::pi / 180.0);
    case input::ramp: {
      if (!(in.period > 0)) return 0.0;
      const double frac = std::fmod(s, in.period) / in.period;
      const double a = lsb(in.from, ref), z = lsb(in.to, ref);
      return a + (z - a) * frac;
    }
  }
  return 0.0;
}

}  // namespace vboard

using namespace vboard;

extern "C" {

int vboard_set_code(int channel, int code) {
  if (bad_channel(channel) || code < 0 || code > 1023) return fail(EINVAL);
  input in;
  in.fixed = {static_cast<double>(code), false};
  return set_input(channel, in);
}

int vboard_set_voltage(int channel, double volts) {
  if (bad_channel(channel) || !std::isfinite(volts)) return fail(EINVAL);
  input in;
  in.fixed = {volts, true};
  return set_input(channel, in);
}

int vboard_set_sine(int channel, double amplitude_volts, double offset_volts, double freq_hz,
                    double phase_deg) {
  if (bad_channel(channel) || !std::isfinite(amplitude_volts) || !std::isfinite(offset_volts) ||
      !std::isfinite(freq_hz) || freq_hz < 0 || !std::isfinite(phase_deg)) {
    return fail(EINVAL);
  }
  input in;
  in.kind = input::sine;
  in.amp = {amplitude_volts, true};
  in.offset = {offset_volts, true};
  in.freq = freq_hz;
  in.phase_deg = phase_deg;
  return set_input(channel, in);
}

int vboard_set_ramp(int channel, double from_volts, double to_volts, double period_s) {
  if (bad_channel(channel) || !std::isfinite(from_volts) || !std::isfinite(to_volts) ||
      !std::isfinite(period_s) || !(period_s > 0)) {
    return fail(EINVAL);
  }
  input in;
  in.kind = input::ramp;
  in.from = {from_volts, true};
  in.to = {to_volts, true};
  in.period = period_s;
  return set_input(channel, in);
}

int vboard_set_reference(double volts) {
  if (!std::isfinite(volts) || !(volts > 0)) return fail(EINVAL);
  board_lock lock;
  ensure_ready();
  board().reference = volts;
  return 0;
}

}  // extern "C"
