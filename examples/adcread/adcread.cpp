// adcread: prints MCP3008 readings taken through the adcscan library.
//
//   adcread [--device PATH] [--channels N] [--scans K] [--interval MS | --rate HZ]
//           [--vref V [--codes]] [--csv]

#include <adckit/adcscan.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

namespace {

constexpr int kExitDevice = 1;
constexpr int kExitUsage = 2;

struct options {
  std::string device = "/dev/spidev0.0";
  int channels = 8;
  long scans = 1;  // 0: until interrupted
  long interval_ms = 1000;
  bool interval_given = false;
  double rate_hz = 0;  // 0: pause interval_ms between scans instead
  double vref = 0;     // 0: codes only
  bool codes = false;  // with vref: codes beside the volts
  bool csv = false;
  bool version = false;
};

struct usage_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

#ifndef ADCKIT_VERSION
#define ADCKIT_VERSION "unknown"
#endif

// Also the source of the manual page (help2man), so it is written as one.
constexpr std::string_view kUsage =
    "Usage: adcread [--device PATH] [--channels N] [--scans K] [--interval MS] [--csv]\n"
    "               [--rate HZ] [--vref V [--codes]]\n"
    "Read channels of an MCP3008 through the kernel's spidev driver and print one\n"
    "line per scan, stamped with the time the scan ended (UTC).\n"
    "\n"
    "Options:\n"
    "  --device PATH   spidev device of the MCP3008 (default /dev/spidev0.0)\n"
    "  --channels N    read channels 0 to N-1, N from 1 to 8 (default 8)\n"
    "  --scans K       number of scans, 0 for no limit (default 1)\n"
    "  --interval MS   pause between scans in milliseconds (default 1000)\n"
    "  --csv           print comma-separated values with a header line\n"
    "  --rate HZ       scan HZ times a second on a fixed grid instead of pausing;\n"
    "                  scans that miss their time are skipped and counted\n"
    "  --vref V        print volts against a reference of V volts instead of codes\n"
    "  --codes         with --vref, print the codes beside the volts\n"
    "  -h, --help      show this text and exit\n"
    "  --version       show the version and exit\n"
    "\n"
    "A channel without a reading prints as \"failed\" (an empty field in CSV);\n"
    "failed exchanges are counted at the end of the line.  In CSV the time is\n"
    "seconds since 1970.\n"
    "\n"
    "Exit status:\n"
    "  0  every scan ran\n"
    "  1  the device cannot be opened or set up, or a scan got no reading at all\n"
    "  2  a bad command line\n"
    "\n"
    "Examples:\n"
    "  adcread --channels 4\n"
    "\n"
    "  adcread --channels 2 --scans 2 --interval 100 --csv\n"
    "\n"
    "  adcread --channels 2 --rate 10 --scans 20 --vref 3.3\n";

long parse_number(std::string_view flag, std::string_view text, long low, long high) {
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || value < low || value > high) {
    std::ostringstream why;
    why << flag << " wants a whole number from " << low << " to " << high << ", not '" << text
        << "'";
    throw usage_error(why.str());
  }
  return value;
}

double parse_positive(std::string_view flag, std::string_view text, double high) {
  const std::string copy(text);
  char *end = nullptr;
  errno = 0;
  const double value = std::strtod(copy.c_str(), &end);
  if (copy.empty() || end != copy.c_str() + copy.size() || errno != 0 || !(value > 0) ||
      value > high) {
    std::ostringstream why;
    why << flag << " wants a number above 0 and up to " << high << ", not '" << text << "'";
    throw usage_error(why.str());
  }
  return value;
}

// Returns nothing when the user asked for help.
std::optional<options> parse(int argc, char **argv) {
  options opts;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") return std::nullopt;
    if (arg == "--version") {
      opts.version = true;
      return opts;
    }
    if (arg == "--csv" || arg == "--codes") {
      (arg == "--csv" ? opts.csv : opts.codes) = true;
      continue;
    }
    if (arg != "--device" && arg != "--channels" && arg != "--scans" && arg != "--interval" &&
        arg != "--rate" && arg != "--vref") {
      throw usage_error("unknown option '" + std::string(arg) + "'");
    }
    if (i + 1 >= argc) throw usage_error(std::string(arg) + " needs a value");
    const std::string_view value = argv[++i];
    if (arg == "--device") {
      if (value.empty()) throw usage_error("--device needs a path");
      opts.device = value;
    } else if (arg == "--channels") {
      opts.channels = static_cast<int>(parse_number(arg, value, 1, 8));
    } else if (arg == "--scans") {
      opts.scans = parse_number(arg, value, 0, 1'000'000'000);
    } else if (arg == "--rate") {
      opts.rate_hz = parse_positive(arg, value, 1'000'000);
    } else if (arg == "--vref") {
      opts.vref = parse_positive(arg, value, 1000);
    } else {
      opts.interval_ms = parse_number(arg, value, 0, 86'400'000);
      opts.interval_given = true;
    }
  }
  if (opts.rate_hz > 0 && opts.interval_given) {
    throw usage_error("--rate and --interval each set the time between scans; give one");
  }
  if (opts.codes && opts.vref == 0) throw usage_error("--codes goes with --vref");
  return opts;
}

// ISO 8601 in UTC with nanoseconds, so scans sort and compare as text.
std::string format_time(const timespec &ts) {
  std::tm parts{};
  const time_t seconds = ts.tv_sec;
  if (gmtime_r(&seconds, &parts) == nullptr) return std::to_string(ts.tv_sec);
  std::array<char, 32> date{};
  if (std::strftime(date.data(), date.size(), "%Y-%m-%dT%H:%M:%S", &parts) == 0) {
    return std::to_string(ts.tv_sec);
  }
  std::array<char, 48> text{};
  (void)std::snprintf(text.data(), text.size(), "%s.%09ldZ", date.data(),
                      static_cast<long>(ts.tv_nsec));
  return text.data();
}

// Decimals that show a tenth of an LSB at the reference, and no fewer than
// three: a reading printed in volts and read back lands in the same step.
int volt_decimals(double vref) {
  const int d = static_cast<int>(std::ceil(std::log10(10.0 * 1024.0 / vref)));
  return d < 3 ? 3 : d > 9 ? 9 : d;
}

// A code in volts by the converter's transfer function, code x Vref / 1024:
// the bottom of the code's step.
std::string volts(const options &opts, int32_t code) {
  std::array<char, 48> text{};
  (void)std::snprintf(text.data(), text.size(), "%.*f", volt_decimals(opts.vref),
                      code * opts.vref / 1024.0);
  return text.data();
}

void print_header(const options &opts) {
  std::cout << "time";
  for (int ch = 0; ch < opts.channels; ++ch) {
    if (opts.vref == 0 || opts.codes) std::cout << ",ch" << ch;
    if (opts.vref > 0) std::cout << ",ch" << ch << "_V";
  }
  std::cout << ",failed_exchanges\n";
}

void print_scan(const options &opts, const std::array<int32_t, 8> &values, const timespec &ts,
                int failures) {
  std::ostringstream line;
  const bool show_codes = opts.vref == 0 || opts.codes;
  if (opts.csv) {
    line << ts.tv_sec << '.';
    std::array<char, 16> nanos{};
    (void)std::snprintf(nanos.data(), nanos.size(), "%09ld", static_cast<long>(ts.tv_nsec));
    line << nanos.data();
    for (int ch = 0; ch < opts.channels; ++ch) {
      // An empty field: no reading.
      if (show_codes) {
        line << ',';
        if (values[ch] >= 0) line << values[ch];
      }
      if (opts.vref > 0) {
        line << ',';
        if (values[ch] >= 0) line << volts(opts, values[ch]);
      }
    }
    line << ',' << failures;
  } else {
    line << format_time(ts);
    for (int ch = 0; ch < opts.channels; ++ch) {
      line << "  ch" << ch << '=';
      if (values[ch] < 0) {
        line << "failed";
      } else if (opts.vref == 0) {
        line << values[ch];
      } else if (opts.codes) {
        line << values[ch] << " (" << volts(opts, values[ch]) << "V)";
      } else {
        line << volts(opts, values[ch]) << 'V';
      }
    }
    if (failures > 0) line << "  (" << failures << " failed exchanges)";
  }
  std::cout << line.str() << '\n' << std::flush;
}

volatile std::sig_atomic_t stop_signal = 0;

extern "C" void on_stop(int sig) { stop_signal = sig; }

int64_t monotonic_now() {
  timespec ts{};
  (void)clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Scan times on a fixed grid of CLOCK_MONOTONIC, slot k at start + k/rate,
// so neither the scans' own time nor a late wake-up shifts the ones after.
class grid {
 public:
  explicit grid(double rate_hz) : period_ns_(1e9 / rate_hz), start_(monotonic_now()) {}

  // Sleeps until the next slot still ahead, counting as late those whose
  // time passed before the scan could be made: they are skipped, not made
  // up in a burst. False when a stop signal came.
  bool wait_next() {
    const int64_t now = monotonic_now();
    int64_t next = slot_ + 1;
    if (at(next) < now) {
      int64_t ahead = static_cast<int64_t>(static_cast<double>(now - start_) / period_ns_) + 1;
      while (at(ahead) < now) ++ahead;
      while (ahead - 1 > next && at(ahead - 1) >= now) --ahead;
      late_ += ahead - next;
      next = ahead;
    }
    slot_ = next;
    const int64_t when = at(slot_);
    const timespec until{static_cast<time_t>(when / 1'000'000'000),
                         static_cast<long>(when % 1'000'000'000)};
    while (stop_signal == 0) {
      const int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
      if (rc == 0) return true;
      if (rc != EINTR) throw std::runtime_error(std::string("cannot sleep: ") + std::strerror(rc));
    }
    return false;
  }

  int64_t late() const { return late_; }

 private:
  int64_t at(int64_t k) const { return start_ + std::llround(static_cast<double>(k) * period_ns_); }

  double period_ns_;
  int64_t start_;
  int64_t slot_ = 0;
  int64_t late_ = 0;
};

int run(const options &opts) {
  errno = 0;
  if (spiOpen(opts.device.c_str()) != 0) {
    const int error = errno;
    if (spifd < 0) {
      std::cerr << "adcread: cannot open " << opts.device << ": " << std::strerror(error)
                << " (check the path, that the spidev driver is loaded and that you may "
                   "read and write the device)\n";
    } else {
      std::cerr << "adcread: " << opts.device
                << " refused the SPI settings (mode 0, 8-bit words, 15625 Hz)\n";
      (void)spiClose();
    }
    return kExitDevice;
  }

  if (opts.csv) print_header(opts);

  // On a grid, an interrupted run still tells how it kept its rate.
  const bool on_grid = opts.rate_hz > 0;
  if (on_grid) {
    struct sigaction act {};
    act.sa_handler = on_stop;
    sigemptyset(&act.sa_mask);
    (void)sigaction(SIGINT, &act, nullptr);
    (void)sigaction(SIGTERM, &act, nullptr);
  }
  std::optional<grid> slots;

  int status = 0;
  long taken = 0;
  for (long scan = 0; opts.scans == 0 || scan < opts.scans; ++scan) {
    if (on_grid) {
      if (!slots) {
        slots.emplace(opts.rate_hz);
      } else if (!slots->wait_next()) {
        break;
      }
    } else if (scan > 0 && opts.interval_ms > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(opts.interval_ms));
    }
    std::array<int32_t, 8> values{};
    timespec ts{};
    const int failures = get_mcp3008_channels(values.data(), opts.channels, &ts);
    print_scan(opts, values, ts, failures);
    ++taken;

    bool any = false;
    for (int ch = 0; ch < opts.channels; ++ch) any = any || values[ch] >= 0;
    if (!any) {
      std::cerr << "adcread: " << opts.device << " stopped answering; giving up\n";
      status = kExitDevice;
      break;
    }
    if (stop_signal != 0) break;
  }

  if (spiClose() != 0) status = kExitDevice;
  if (on_grid) {
    const int64_t late = slots ? slots->late() : 0;
    std::cerr << "adcread: " << taken << " scans at " << opts.rate_hz << " Hz, " << late
              << " late (skipped)\n";
  }
  if (stop_signal != 0) {
    // Ends as the signal would have ended it, for the shell that waits.
    const int sig = stop_signal;
    (void)std::signal(sig, SIG_DFL);
    (void)std::raise(sig);
  }
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    const auto opts = parse(argc, argv);
    if (!opts) {
      std::cout << kUsage;
      return 0;
    }
    if (opts->version) {
      std::cout << "adcread (adckit) " << ADCKIT_VERSION << '\n';
      return 0;
    }
    return run(*opts);
  } catch (const usage_error &e) {
    std::cerr << "adcread: " << e.what() << '\n' << kUsage;
    return kExitUsage;
  } catch (const std::exception &e) {
    std::cerr << "adcread: " << e.what() << '\n';
    return kExitDevice;
  }
}
