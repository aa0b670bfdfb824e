// How much a scan through get_mcp3008_channels costs over the bare
// requests it makes, on the same board device in the same run, and how
// often the heap is touched while scanning.
//
//   adcscan_bench [ROUNDS]     (default 401 rounds of 200 scans each side)
//
// Short rounds, alternating which side goes first, and the median of each
// side keep a busy machine's drift from landing on one side only.
#include <adcscan.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <vboard.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

// Counting heap hook: every allocation of the process, the board's
// included, passes through malloc (operator new too).
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
void note_allocation() {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" void *malloc(size_t n) {
  note_allocation();
  return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t size) {
  note_allocation();
  return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, size_t n) {
  note_allocation();
  return __libc_realloc(p, n);
}
extern "C" void free(void *p) { __libc_free(p); }

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int kChannels = 8;
constexpr int kScansPerRound = 200;

// What the library does for one channel, written out by hand: three
// one-byte records over a fresh frame, one request.
int bare_exchange(int channel) {
  std::array<unsigned char, 3> frame{0x01, static_cast<unsigned char>(0x80 + 16 * channel), 0x00};
  std::array<spi_ioc_transfer, 3> recs{};
  for (std::size_t i = 0; i < recs.size(); ++i) {
    recs[i].tx_buf = reinterpret_cast<std::uintptr_t>(&frame[i]);
    recs[i].rx_buf = recs[i].tx_buf;
    recs[i].len = 1;
    recs[i].speed_hz = speed;
    recs[i].bits_per_word = bitsPerWord;
  }
  if (ioctl(spifd, SPI_IOC_MESSAGE(3), recs.data()) != 3) return -1;
  return ((frame[1] << 8) & 0x300) | frame[2];
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 401;
  if (argc > 1) {
    rounds = std::atoi(argv[1]);
    if (rounds < 1) {
      (void)std::fprintf(stderr, "usage: adcscan_bench [ROUNDS]  (ROUNDS >= 1)\n");
      return 2;
    }
  }

  // A hook that saw nothing would report a flattering 0.
  // (Called through a volatile pointer so the compiler cannot drop it.)
  void *(*volatile allocate)(size_t) = malloc;
  counting = true;
  free(allocate(64));
  counting = false;
  if (allocations == 0) {
    (void)std::fprintf(stderr, "adcscan_bench: the allocation counter is not in effect\n");
    return 1;
  }

  // The trace would grow with every request and measure the board's vector
  // instead of the scan.
  setenv("VBOARD_TRACE_LIMIT", "0", 1);
  if (vboard_reset() != 0) return 1;
  for (int ch = 0; ch < kChannels; ++ch) vboard_set_code(ch, 100 * ch + 5);
  if (spiOpen("/dev/spidev0.0") != 0) return 1;

  std::array<int32_t, kChannels> values{};
  timespec ts{};
  // Warm up both paths (first-use set-up in the board and the C library).
  for (int i = 0; i < 200; ++i) {
    get_mcp3008_channels(values.data(), kChannels, &ts);
    for (int ch = 0; ch < kChannels; ++ch) bare_exchange(ch);
  }

  std::vector<double> floor_ns, scan_ns;
  long floor_allocs = 0, scan_allocs = 0, failures = 0, wrong = 0;
  auto floor_round = [&] {
    allocations = 0;
    counting = true;
    const auto t0 = clock_type::now();
    for (int i = 0; i < kScansPerRound; ++i) {
      for (int ch = 0; ch < kChannels; ++ch) wrong += bare_exchange(ch) != 100 * ch + 5;
    }
    const auto t1 = clock_type::now();
    counting = false;
    floor_allocs += allocations;
    floor_ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() / kScansPerRound);
  };
  auto scan_round = [&] {
    allocations = 0;
    counting = true;
    const auto t0 = clock_type::now();
    for (int i = 0; i < kScansPerRound; ++i) {
      failures += get_mcp3008_channels(values.data(), kChannels, &ts);
    }
    const auto t1 = clock_type::now();
    counting = false;
    scan_allocs += allocations;
    scan_ns.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() / kScansPerRound);
    for (int ch = 0; ch < kChannels; ++ch) wrong += values[ch] != 100 * ch + 5;
  };
  for (int r = 0; r < rounds; ++r) {
    if (r % 2 == 0) {
      floor_round();
      scan_round();
    } else {
      scan_round();
      floor_round();
    }
  }
  spiClose();

  const double floor = median(floor_ns), scan = median(scan_ns);
  const double total = static_cast<double>(rounds) * kScansPerRound;
  std::printf("adcscan bench: %d rounds of %d scans of %d channels each side\n", rounds,
              kScansPerRound, kChannels);
  std::printf("  floor, 8 bare SPI_IOC_MESSAGE(3) requests: %10.0f ns per scan\n", floor);
  std::printf("  get_mcp3008_channels(8):                   %10.0f ns per scan\n", scan);
  std::printf("  ratio floor/scan:            %.3f (target >= 0.90)\n", floor / scan);
  std::printf("  heap allocations per scan:   %.3f (floor: %.3f; target 0)\n",
              static_cast<double>(scan_allocs) / total, static_cast<double>(floor_allocs) / total);
  if (failures != 0 || wrong != 0) {
    std::printf("  failed exchanges: %ld, wrong readings: %ld\n", failures, wrong);
    return 1;
  }
  return 0;
}
