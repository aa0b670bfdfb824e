// The chip's analogue inputs: the reference voltage and, per channel, a
// fixed code or voltage, a waveform over board time (sine, ramp) or a
// recording replayed, each with Gaussian noise on request; their variables
// (VBOARD_VREF, VBOARD_CH0..7) and control calls. Their part of the board
// object sets them at power-on, checks them when found and shows a line a
// channel.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <string>
#include <string_view>
#include <vector>

#include "internal.h"

namespace vboard {

namespace {

std::size_t inputs_at = 0;  // the inputs' slice of the board object

// Bounds that keep every level the chip computes finite: a level or a
// noise of 1e9 V against a reference of 1e-9 V is still some 1e21 LSB.
constexpr double kMaxLevel = 1e9;   // volts or LSB
constexpr double kMinRef = 1e-9;    // volts
constexpr double kMaxRef = 1e9;     // volts
constexpr double kMaxFreq = 1e9;    // Hz
constexpr double kMaxPeriod = 1e9;  // s
constexpr double kMinPeriod = 1e-9;
// A recording longer than this is refused rather than filling memory in
// every process on the board.
constexpr std::size_t kMaxRows = 1U << 20;
constexpr std::size_t kMaxBytes = 128U << 20;

enum kind_t : std::uint32_t { code = 0, sine = 1, ramp = 2, replay = 3 };

// A quantity given either in volts or in LSB (code units).
struct level {
  double value = 0.0;
  bool volts = false;
};

struct input {
  kind_t kind = code;
  level fixed;        // code: the constant level
  level amp, offset;  // sine
  double freq = 0.0, phase_deg = 0.0;
  level from, to;  // ramp
  double period = 1.0;
  level noise;  // standard deviation; 0 none
  std::uint64_t seed = 0;
  bool seeded = false;
  std::string path, column;  // replay
  bool loops = false;
};

bool sane(const level &l) { return std::isfinite(l.value) && std::fabs(l.value) <= kMaxLevel; }

// Every number an input holds, bounded so that what the chip computes from
// it stays finite whatever the reference: the chip would otherwise read a
// NaN as 0 and an infinity as 1023 without anyone being told.
bool sane(const input &in) {
  return sane(in.fixed) && sane(in.amp) && sane(in.offset) && sane(in.from) && sane(in.to) &&
         sane(in.noise) && in.noise.value >= 0 && std::isfinite(in.freq) && in.freq >= 0 &&
         in.freq <= kMaxFreq && std::isfinite(in.phase_deg) &&
         std::fabs(in.phase_deg) <= kMaxLevel && std::isfinite(in.period) &&
         in.period >= kMinPeriod && in.period <= kMaxPeriod;
}

bool sane_reference(double volts) {
  return std::isfinite(volts) && volts >= kMinRef && volts <= kMaxRef;
}

std::uint64_t splitmix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// The n-th value of the seed's standard normal sequence (Box-Muller over a
// counter-based generator): the sequence is the board's, not a process's,
// so every process on the board continues it and a seed repeats it.
double gaussian(std::uint64_t seed, std::uint64_t n) {
  const std::uint64_t a = splitmix(seed ^ splitmix(2 * n));
  const std::uint64_t b = splitmix(seed ^ splitmix(2 * n + 1));
  const double u1 = (static_cast<double>(a >> 11) + 1.0) / 9007199254740992.0;  // (0, 1]
  const double u2 = static_cast<double>(b >> 11) / 9007199254740992.0;          // [0, 1)
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
}

void copy_text(char *dst, std::size_t size, const std::string &src) {
  const std::size_t n = std::min(size - 1, src.size());
  std::memcpy(dst, src.data(), n);
  std::memset(dst + n, 0, size - n);
}

// `start_ns` is the board time the input is set at.
shared_input to_shared(const input &in, std::uint64_t start_ns) {
  auto lv = [](const level &l) { return shared_level{l.value, l.volts ? 1U : 0U, 0}; };
  shared_input out{};
  out.kind = in.kind;
  out.flags = in.loops ? kInputLoops : 0;
  out.fixed = lv(in.fixed);
  out.amp = lv(in.amp);
  out.offset = lv(in.offset);
  out.from = lv(in.from);
  out.to = lv(in.to);
  out.freq = in.freq;
  out.phase_deg = in.phase_deg;
  out.period = in.period;
  out.noise = lv(in.noise);
  out.seed =
      in.seeded ? in.seed : splitmix(monotonic_ns() ^ (static_cast<std::uint64_t>(getpid()) << 40));
  out.start_ns = start_ns;
  copy_text(out.column, sizeof out.column, in.column);
  copy_text(out.path, sizeof out.path, in.path);
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

// A noise's size: LSB, or volts with "V" or "mV".
bool parse_noise(std::string_view s, level &out) {
  if (s.ends_with("mV") || s.ends_with("mv")) {
    s.remove_suffix(2);
    out.volts = true;
    if (!config::parse_double(s, out.value)) return false;
    out.value *= 1e-3;
  } else if (!parse_level(s, out)) {
    return false;
  }
  return out.value >= 0;
}

bool parse_seed(std::string_view s, std::uint64_t &out) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return !s.empty() && ec == std::errc{} && end == s.data() + s.size();
}

// ---------------------------------------------------------------------------
// Recordings: the CSV adcread --csv writes (a header "time,ch0,...", then
// one row per scan: seconds, then a code or a voltage per channel, empty
// when the scan got no reading). A column named chN holds codes, chN_V
// volts.

struct recording {
  std::string path, column;
  std::uint64_t start_ns = 0;  // the setting it was loaded for
  bool tried = false;          // loaded, or failed and told so
  bool volts = false;
  std::vector<std::int64_t> t;  // nanoseconds since the first reading
  std::vector<double> v;
  std::int64_t span = 0;  // a loop's length; 0: no loop
};

bool read_whole(const std::string &path, std::string &text, int &err) {
  const int fd = real_open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) {
    err = errno;
    return false;
  }
  char buf[65536];
  while (true) {
    const ssize_t n = real_read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      (void)real_close(fd);
      return false;
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > kMaxBytes) {
      err = EFBIG;
      (void)real_close(fd);
      return false;
    }
  }
  (void)real_close(fd);
  return true;
}

// Seconds as adcread writes them ("1772366400.123456789") without the loss
// a double would have at today's dates, or any decimal number of seconds.
bool parse_time(std::string_view s, std::int64_t &ns) {
  const auto dot = s.find('.');
  const std::string_view whole = s.substr(0, dot);
  std::string_view frac = dot == std::string_view::npos ? std::string_view{} : s.substr(dot + 1);
  std::int64_t sec = 0;
  const auto [end, ec] = std::from_chars(whole.data(), whole.data() + whole.size(), sec);
  const bool digits =
      std::all_of(frac.begin(), frac.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!whole.empty() && ec == std::errc{} && end == whole.data() + whole.size() && sec >= 0 &&
      sec < 9000000000LL && digits && (dot == std::string_view::npos || !frac.empty())) {
    std::int64_t sub = 0;
    for (std::size_t i = 0; i < 9; ++i) sub = sub * 10 + (i < frac.size() ? frac[i] - '0' : 0);
    ns = sec * 1000000000LL + sub;
    return true;
  }
  double x = 0;
  if (!config::parse_double(s, x) || x < 0 || x > 9e9) return false;
  ns = std::llround(x * 1e9);
  return true;
}

// 'text', built by appending (GCC 12 warns wrongly about the operator+ form).
std::string quoted(std::string_view text) {
  std::string q(1, '\'');
  q.append(text);
  q += '\'';
  return q;
}

std::string_view trim_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Loads `r.path`'s column `r.column`. Returns an empty string, or why not
// (naming the line).
std::string load(recording &r) {
  std::string text;
  int err = 0;
  if (!read_whole(r.path, text, err)) {
    return std::string("a readable file; ") + std::strerror(err);
  }
  auto at = [](std::size_t line, const std::string &what) {
    return "a CSV as adcread --csv writes it; line " + std::to_string(line) + ": " + what;
  };
  std::vector<std::string_view> lines = config::split(text, '\n');
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.empty()) return at(1, "the file is empty");
  const auto head = config::split(trim_cr(lines[0]), ',');
  if (head[0] != "time") return at(1, "the header does not begin with 'time'");
  std::size_t col = 0;
  for (int pass = 0; pass < 2 && col == 0; ++pass) {
    const std::string want = pass == 0 ? r.column : r.column + "_V";
    for (std::size_t i = 1; i < head.size(); ++i) {
      if (head[i] == want) col = i;
    }
  }
  if (col == 0) return at(1, "no column " + r.column + " or " + r.column + "_V");
  r.volts = std::string_view(head[col]).ends_with("_V");

  std::int64_t first = 0, last = 0;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::size_t n = i + 1;
    const std::string_view line = trim_cr(lines[i]);
    if (line.empty()) continue;
    const auto f = config::split(line, ',');
    if (f.size() != head.size()) {
      return at(n, std::to_string(f.size()) + " fields where the header has " +
                       std::to_string(head.size()));
    }
    std::int64_t ns = 0;
    if (!parse_time(f[0], ns)) return at(n, quoted(f[0]) + " is no time in seconds");
    if (!r.t.empty() && ns < last) return at(n, "the time goes back");
    if (f[col].empty()) continue;  // no reading in that scan: the last one holds
    level l;
    if (!config::parse_double(f[col], l.value) || !sane(l)) {
      return at(n, quoted(f[col]) + (r.volts ? " is no voltage" : " is no code"));
    }
    if (r.t.size() >= kMaxRows) return at(n, "more than " + std::to_string(kMaxRows) + " rows");
    if (r.t.empty()) first = ns;
    last = ns;
    r.t.push_back(ns - first);
    r.v.push_back(l.value);
  }
  if (r.t.empty()) return at(lines.size(), "no reading in column " + std::string(head[col]));
  // A loop lasts the recording plus one step, so the last reading holds as
  // long as the others do on average.
  if (r.t.size() > 1) {
    const std::int64_t whole = r.t.back();
    r.span = whole + whole / static_cast<std::int64_t>(r.t.size() - 1);
  }
  return {};
}

recording &cached(int ch) {
  // Never freed: a conversion may still come while the process exits.
  static recording *const table = new recording[VBOARD_CHANNELS];
  return table[ch];
}

// Loads channel ch's recording for the input `in` into this process's
// copy. Returns why it cannot be replayed, or "" (the copy then holds it).
std::string reload(int ch, const shared_input &in) {
  recording &r = cached(ch);
  r = recording{};
  r.path = in.path;
  r.column = in.column;
  r.start_ns = in.start_ns;
  r.tried = true;
  std::string why = load(r);
  if (!why.empty()) {
    r.t.clear();
    r.v.clear();
  }
  return why;
}

// This process's copy of channel ch's recording for the input set now,
// loaded when the setting is new to it; null when it cannot be (said once).
const recording *recording_for(int ch, const shared_input &in) {
  recording &r = cached(ch);
  if (r.tried && r.start_ns == in.start_ns && r.path == in.path && r.column == in.column) {
    return r.t.empty() ? nullptr : &r;
  }
  const std::string why = reload(ch, in);
  if (!why.empty()) {
    char var[16];
    std::snprintf(var, sizeof var, "VBOARD_CH%d", ch);
    const std::string value = "replay:file=" + r.path + ",column=" + r.column;
    config::complain(var, value.c_str(), (why + "; the channel reads 0").c_str());
    return nullptr;
  }
  return &r;
}

// "512", "1.65V", "sine:amp=1V,offset=1.65V,freq=0.5[,phase=90]",
// "ramp:from=0,to=1023,period=2", "replay:file=PATH,column=ch3[,loop]",
// each optionally followed by ",noise=2" (LSB) or ",noise=5mV" and
// ",seed=N".
bool parse_input(std::string_view s, input &out) {
  input in;
  std::string_view list;
  if (s.starts_with("sine:")) {
    in.kind = sine;
    list = s.substr(5);
  } else if (s.starts_with("ramp:")) {
    in.kind = ramp;
    list = s.substr(5);
  } else if (s.starts_with("replay:")) {
    in.kind = replay;
    list = s.substr(7);
  } else {
    in.kind = code;
    const auto comma = s.find(',');
    if (!parse_level(s.substr(0, comma), in.fixed)) return false;
    if (!in.fixed.volts && (in.fixed.value < 0 || in.fixed.value > 1023 ||
                            in.fixed.value != std::floor(in.fixed.value))) {
      return false;
    }
    list = comma == std::string_view::npos ? std::string_view{} : s.substr(comma + 1);
  }
  bool has_amp = false, has_freq = false, has_period = false, has_to = false, has_file = false,
       has_column = false;
  auto take = [&](std::string_view k, std::string_view v) {
    if (k == "noise") return parse_noise(v, in.noise);
    if (k == "seed") return in.seeded = parse_seed(v, in.seed);
    if (in.kind == sine) {
      if (k == "amp") return has_amp = parse_level(v, in.amp);
      if (k == "offset") return parse_level(v, in.offset);
      if (k == "freq") return has_freq = config::parse_double(v, in.freq);
      if (k == "phase") return config::parse_double(v, in.phase_deg);
    } else if (in.kind == ramp) {
      if (k == "from") return parse_level(v, in.from);
      if (k == "to") return has_to = parse_level(v, in.to);
      if (k == "period") return has_period = config::parse_double(v, in.period);
    } else if (in.kind == replay) {
      if (k == "file") {
        in.path = std::string(v);
        return has_file = !v.empty();
      }
      if (k == "column") {
        in.column = std::string(v);
        return has_column = !v.empty() && v.size() < kReplayColumn - 2;  // room for "_V"
      }
    }
    return false;
  };
  if (!list.empty()) {
    for (auto kv : config::split(list, ',')) {
      if (in.kind == replay && kv == "loop") {
        in.loops = true;
        continue;
      }
      const auto eq = kv.find('=');
      if (eq == std::string_view::npos || !take(kv.substr(0, eq), kv.substr(eq + 1))) return false;
    }
  } else if (in.kind != code) {
    return false;
  }
  if (in.kind == sine && (!has_amp || !has_freq)) return false;
  if (in.kind == ramp && (!has_period || !has_to)) return false;
  if (in.kind == replay) {
    if (!has_file || !has_column) return false;
    // Every process on the board opens it, whatever its working directory.
    if (in.path[0] != '/') {
      char cwd[4096];
      if (getcwd(cwd, sizeof cwd) == nullptr) return false;
      in.path = std::string(cwd) + "/" + in.path;
    }
    if (in.path.size() >= kReplayPath) return false;
  }
  if (!sane(in)) return false;
  out = in;
  return true;
}

int set_input(int channel, const input &in) {
  board_lock lock;
  ensure_ready();
  inputs_state().inputs[channel] = to_shared(in, now_ns());
  return 0;
}

bool bad_channel(int channel) { return channel < 0 || channel >= VBOARD_CHANNELS; }

constexpr const char *kInputForms =
    "a code 0-1023, a voltage (1.65V), sine:..., ramp:... or replay:file=PATH,column=chN[,loop], "
    "levels within 1e9, optionally with ,noise=SIZE[,seed=N]";

// The inputs' part of the board object: the reference and each channel's
// input.
void power_on_inputs(shared_board &b) {
  inputs_slice &s = inputs_state(b);
  s.reference = 3.3;
  for (auto &in : s.inputs) in = to_shared(input{}, 0);
}

const char *inputs_damage(const shared_board &b) {
  const inputs_slice &s = inputs_state(b);
  if (!(s.reference > 0) || !std::isfinite(s.reference)) return "its reference voltage is invalid";
  for (const auto &in : s.inputs) {
    if (in.kind > replay || (in.flags & ~kInputLoops) != 0) return "an input has an unknown kind";
    if (std::memchr(in.path, 0, sizeof in.path) == nullptr ||
        std::memchr(in.column, 0, sizeof in.column) == nullptr) {
      return "a replayed input's file is unterminated";
    }
  }
  return nullptr;
}

std::string level_text(const shared_level &l) {
  char buf[48];
  if (l.volts != 0)
    std::snprintf(buf, sizeof buf, "%g V", l.value);
  else
    std::snprintf(buf, sizeof buf, "%g LSB", l.value);
  return buf;
}

// A line a channel under the chip's line: what drives it and the code a
// conversion gives now.
void inputs_show(const shared_board &b, std::string &out) {
  for (int ch = 0; ch < VBOARD_CHANNELS; ++ch) {
    const shared_input &in = inputs_state(b).inputs[ch];
    const int now = chip().convert(true, static_cast<unsigned>(ch));
    std::string what;
    if (in.kind == sine) {
      char buf[160];
      std::snprintf(buf, sizeof buf, "sine amp %s offset %s freq %g Hz phase %g deg",
                    level_text(in.amp).c_str(), level_text(in.offset).c_str(), in.freq,
                    in.phase_deg);
      what = buf;
    } else if (in.kind == ramp) {
      char buf[160];
      std::snprintf(buf, sizeof buf, "ramp from %s to %s over %g s", level_text(in.from).c_str(),
                    level_text(in.to).c_str(), in.period);
      what = buf;
    } else if (in.kind == replay) {
      what = std::string("replay of ") + in.column + " in " + in.path +
             ((in.flags & kInputLoops) != 0 ? ", looping" : "");
    } else {
      what = level_text(in.fixed);
    }
    if (in.noise.value > 0) what += " with noise " + level_text(in.noise);
    out += "  CH" + std::to_string(ch) + " " + what + ": code " + std::to_string(now) + " now\n";
  }
}

[[gnu::constructor(kRegisterPriority)]] void add_inputs_part() {
  add_part({"inputs", 40, power_on_inputs, inputs_damage, inputs_show, nullptr, nullptr,
            sizeof(inputs_slice), alignof(inputs_slice), 10, &inputs_at, configure_inputs, 10});
}

}  // namespace

static_assert(sizeof(inputs_slice) == 8 + 424 * VBOARD_CHANNELS);

inputs_slice &inputs_state(shared_board &b) {
  return *static_cast<inputs_slice *>(board_slice(b, inputs_at));
}
const inputs_slice &inputs_state(const shared_board &b) {
  return *static_cast<const inputs_slice *>(board_slice(b, inputs_at));
}
inputs_slice &inputs_state() { return inputs_state(board()); }

void configure_inputs(config::reader &r) {
  shared_board &b = board();
  if (r.restore()) power_on_inputs(b);
  if (const char *v = r.get("VBOARD_VREF")) {
    double ref = 0;
    if (config::parse_double(v, ref) && sane_reference(ref))
      inputs_state(b).reference = ref;
    else
      r.bad("VBOARD_VREF", v, "volts from 1e-9 to 1e9");
  }
  for (int ch = 0; ch < VBOARD_CHANNELS; ++ch) {
    char name[16];
    std::snprintf(name, sizeof name, "VBOARD_CH%d", ch);
    const char *v = r.get(name);
    if (v == nullptr) continue;
    input in;
    if (!parse_input(v, in)) {
      r.bad(name, v, kInputForms);
      continue;
    }
    const shared_input set = to_shared(in, now_ns());
    if (in.kind == replay) {
      // Read here, so a file that cannot be replayed is refused up front;
      // every other process loads its own copy when it first converts.
      if (const std::string why = reload(ch, set); !why.empty()) {
        r.bad(name, v, why.c_str());
        continue;
      }
    }
    inputs_state(b).inputs[ch] = set;
  }
}

double channel_lsb(int ch) {
  if (bad_channel(ch)) return 0.0;
  inputs_slice &b = inputs_state();
  shared_input &in = b.inputs[ch];
  const double ref = b.reference;
  // A fixed level needs no clock, and a conversion asks at every frame.
  const auto kind = shared_read(in.kind);
  const std::uint64_t now = kind == code ? 0 : now_ns();
  const double s = static_cast<double>(now) / 1e9;
  double v = 0.0;
  // A code stands for its whole step: under noise, and in a recording that
  // was quantised by the chip, its level is the step's middle, so readings
  // centre on the code rather than half an LSB below it.
  double step_middle = in.noise.value > 0 ? 0.5 : 0.0;
  switch (kind) {
    case code:
      if (in.fixed.volts != 0) step_middle = 0.0;
      v = lsb(in.fixed, ref) + step_middle;
      break;
    case sine:
      v = lsb(in.offset, ref) +
          lsb(in.amp, ref) * std::sin(2.0 * std::numbers::pi * in.freq * s +
                                      in.phase_deg * std::numbers::pi / 180.0);
      break;
    case ramp: {
      if (!(in.period > 0)) return 0.0;
      const double frac = std::fmod(s, in.period) / in.period;
      const double a = lsb(in.from, ref), z = lsb(in.to, ref);
      v = a + (z - a) * frac;
      break;
    }
    case replay: {
      const recording *r = recording_for(ch, in);
      if (r == nullptr) return 0.0;
      auto elapsed = static_cast<std::int64_t>(now > in.start_ns ? now - in.start_ns : 0);
      if ((in.flags & kInputLoops) != 0 && r->span > 0) elapsed %= r->span;
      const auto at = std::upper_bound(r->t.begin(), r->t.end(), elapsed) - r->t.begin() - 1;
      const double x = r->v[static_cast<std::size_t>(at < 0 ? 0 : at)];
      // adcread writes a voltage as code x Vref / 1024: the step's bottom.
      v = (r->volts ? x * 1024.0 / ref : x) + 0.5;
      break;
    }
  }
  if (in.noise.value > 0) v += lsb(in.noise, ref) * gaussian(in.seed, in.draws++);
  return v;
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
  input in;
  in.fixed = {volts, true};
  if (bad_channel(channel) || !sane(in)) return fail(EINVAL);
  return set_input(channel, in);
}

int vboard_set_sine(int channel, double amplitude_volts, double offset_volts, double freq_hz,
                    double phase_deg) {
  input in;
  in.kind = sine;
  in.amp = {amplitude_volts, true};
  in.offset = {offset_volts, true};
  in.freq = freq_hz;
  in.phase_deg = phase_deg;
  if (bad_channel(channel) || !sane(in)) return fail(EINVAL);
  return set_input(channel, in);
}

int vboard_set_ramp(int channel, double from_volts, double to_volts, double period_s) {
  input in;
  in.kind = ramp;
  in.from = {from_volts, true};
  in.to = {to_volts, true};
  in.period = period_s;
  if (bad_channel(channel) || !sane(in)) return fail(EINVAL);
  return set_input(channel, in);
}

int vboard_set_reference(double volts) {
  if (!sane_reference(volts)) return fail(EINVAL);
  board_lock lock;
  ensure_ready();
  inputs_state().reference = volts;
  return 0;
}

}  // extern "C"
