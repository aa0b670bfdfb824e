// adcread: prints MCP3008 readings taken through the adcscan library.
//
//   adcread [--device PATH] [--channels N] [--scans K] [--interval MS] [--csv]

#include <adckit/adcscan.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
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
    "Read channels of an MCP3008 through the kernel's spidev driver and print one\n"
    "line per scan, stamped with the time the scan ended (UTC).\n"
    "\n"
    "Options:\n"
    "  --device PATH   spidev device of the MCP3008 (default /dev/spidev0.0)\n"
    "  --channels N    read channels 0 to N-1, N from 1 to 8 (default 8)\n"
    "  --scans K       number of scans, 0 for no limit (default 1)\n"
    "  --interval MS   pause between scans in milliseconds (default 1000)\n"
    "  --csv           print comma-separated values with a header line\n"
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
    "  adcread --channels 2 --scans 2 --interval 100 --csv\n";

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
    if (arg == "--csv") {
      opts.csv = true;
      continue;
    }
    if (arg != "--device" && arg != "--channels" && arg != "--scans" && arg != "--interval") {
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
    } else {
      opts.interval_ms = parse_number(arg, value, 0, 86'400'000);
    }
  }
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

void print_scan(const options &opts, const std::array<int32_t, 8> &values, const timespec &ts,
                int failures) {
  std::ostringstream line;
  if (opts.csv) {
    line << ts.tv_sec << '.';
    std::array<char, 16> nanos{};
    (void)std::snprintf(nanos.data(), nanos.size(), "%09ld", static_cast<long>(ts.tv_nsec));
    line << nanos.data();
    for (int ch = 0; ch < opts.channels; ++ch) {
      line << ',';
      if (values[ch] >= 0) line << values[ch];  // empty field: no reading
    }
    line << ',' << failures;
  } else {
    line << format_time(ts);
    for (int ch = 0; ch < opts.channels; ++ch) {
      line << "  ch" << ch << '=';
      if (values[ch] >= 0) {
        line << values[ch];
      } else {
        line << "failed";
      }
    }
    if (failures > 0) line << "  (" << failures << " failed exchanges)";
  }
  std::cout << line.str() << '\n' << std::flush;
}

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

  if (opts.csv) {
    std::cout << "time";
    for (int ch = 0; ch < opts.channels; ++ch) std::cout << ",ch" << ch;
    std::cout << ",failed_exchanges\n";
  }

  int status = 0;
  for (long scan = 0; opts.scans == 0 || scan < opts.scans; ++scan) {
    if (scan > 0 && opts.interval_ms > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(opts.interval_ms));
    }
    std::array<int32_t, 8> values{};
    timespec ts{};
    const int failures = get_mcp3008_channels(values.data(), opts.channels, &ts);
    print_scan(opts, values, ts, failures);

    bool any = false;
    for (int ch = 0; ch < opts.channels; ++ch) any = any || values[ch] >= 0;
    if (!any) {
      std::cerr << "adcread: " << opts.device << " stopped answering; giving up\n";
      status = kExitDevice;
      break;
    }
  }

  if (spiClose() != 0) status = kExitDevice;
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
