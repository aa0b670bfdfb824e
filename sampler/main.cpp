// gpiosampler: how fast can an MCP3008 be read through sysfs GPIO alone?
//
// Claims five pins, blinks the indicator twice, takes 50 conversions of
// channel 0 by bit-banging the chip's lines, prints them with the elapsed
// time and the rate, and releases the pins.  Everything is fixed here; the
// program reads no arguments and no environment.
#include <time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "gpio.h"
#include "mcp3008.h"

// The GPIO number of the controller's first line, set by the build for
// kernels that number the controller from a base (0 on older kernels).
#ifndef ADCKIT_GPIO_BASE
#define ADCKIT_GPIO_BASE 0
#endif

namespace {

constexpr int gpio_base = ADCKIT_GPIO_BASE;
// Every number must fit the nine digits pinpath leaves for it.
static_assert(gpio_base >= 0 && gpio_base <= 999999, "ADCKIT_GPIO_BASE out of range");

constexpr int indicator_pin = gpio_base + 26;
constexpr int clock_pin = gpio_base + 4;
constexpr int data_in_pin = gpio_base + 27;  // the chip's DOUT
constexpr int data_out_pin = gpio_base + 5;  // the chip's DIN
constexpr int chip_select_pin = gpio_base + 17;
constexpr int pins[] = {indicator_pin, clock_pin, data_in_pin, data_out_pin, chip_select_pin};

constexpr int channel = 0;
constexpr useconds_t blink_us = 500000;
constexpr std::int64_t ns_per_s = 1000000000;

// A complete run ends with 1; a run that could not drive the indicator ends
// with 2 so a script can tell the two apart.
constexpr int status_complete = 1;
constexpr int status_aborted = 2;

}  // namespace

int main() {
  struct timespec tp {};
  struct timespec start {};
  struct timespec finish {};
  const clockid_t clk_id = CLOCK_REALTIME;

  for (const int pin : pins) {
    exportGPIO(pin);  // failures are printed and the run goes on
  }

  if (gpio_init(indicator_pin, "out") == 0) {
    std::puts("Aborting..");
    unexportGPIO(indicator_pin);
    return status_aborted;
  }

  for (int pulse = 0; pulse < 2; ++pulse) {
    gpio_write(indicator_pin, 1);
    usleep(blink_us);
    gpio_write(indicator_pin, 0);
    usleep(blink_us);
  }

  clock_gettime(clk_id, &tp);
  start = tp;
  std::printf("start at %ld\n", static_cast<long>(start.tv_nsec));

  const int nsamples = 50;
  init_mcp3008(clock_pin, data_in_pin, data_out_pin, chip_select_pin);
  for (int i = 0; i < nsamples; ++i) {
    const int value = mcp3008_value(channel, clock_pin, data_in_pin, data_out_pin, chip_select_pin);
    std::printf("value is %d\n", value);
  }

  clock_gettime(clk_id, &tp);
  finish = tp;
  std::printf("finish at %ld\n", static_cast<long>(finish.tv_nsec));

  // 64 bits even where long is 32: a timed stretch beyond 2.1 s must not wrap.
  const std::int64_t dt = (static_cast<std::int64_t>(finish.tv_sec) - start.tv_sec) * ns_per_s +
                          (static_cast<std::int64_t>(finish.tv_nsec) - start.tv_nsec);
  // A dt of 0 gives an infinite rate, which printf shows as "inf".
  const double frequency = static_cast<double>(nsamples) * 1e9 / static_cast<double>(dt);
  std::printf("DeltaT  %" PRId64 " nanosecs at frequency %f Hz\n", dt, frequency);

  for (const int pin : pins) {
    unexportGPIO(pin);
  }
  return status_complete;
}
