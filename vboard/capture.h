#pragma once
// The board's lines recorded as a Value Change Dump (VBOARD_CAPTURE), as a
// logic analyzer on the board's pins would see them.
//
// A change is recorded under the board lock into a ring in the shared board
// object, stamped with board time that never goes backwards; it is written
// out after the lock by a capturing process that holds the capture file's
// own lock (an open-file-description lock, tried, never waited for). So
// the separate processes a shell runs append to one file in time order, and a
// capture nobody manages to write holds up no program: its ring fills and
// the changes it could not take are counted and told. While any process
// on the board captures, every process records its changes, as a logic
// analyzer sees every program's; a capturing process holds a lock on a
// byte of the board object, so a ring left full by capturers that are gone
// tells the others to stop recording.
//
// Signals: the chip's four lines (CLK, DIN, DOUT, CS, as the chip sees
// them, whoever drives them: the GPIO lines wired to it or a spidev
// message), and every other GPIO line (GPIO<number>), "x" while it is
// neither exported nor requested.
//
// Included by internal.h, and by shared_test.cpp, which reads the ring.
#include <cstdint>

namespace vboard {

namespace config {
class reader;
}

constexpr int kCaptureRing = 16384;   // changes waiting to be written
constexpr int kCaptureWires = 4;      // the chip's lines come first: CLK, DIN, DOUT, CS
constexpr int kCaptureLevels = 1032;  // the wires, then a level a GPIO line (1024), padded

struct shared_change {
  std::uint64_t time_ns;  // capture time
  std::uint32_t signal;   // a wire, or kCaptureWires + a GPIO line
  std::uint32_t value;    // 0 undriven (x), 1 low, 2 high
};

struct shared_capture {
  std::uint32_t head;  // changes recorded so far (wraps)
  std::uint32_t tail;  // changes taken out for writing so far (wraps)
  std::uint32_t lost;  // changes a full ring could not take, not yet told
  std::uint32_t active;  // nonzero while some process on the board captures
  std::uint64_t last_ns;    // the latest time given to a change
  std::uint64_t offset_ns;  // capture time minus board time
  std::uint64_t file_dev;   // the file whose header was written last
  std::uint64_t file_ino;
  std::uint8_t level[kCaptureLevels];  // as last recorded, values as above
  shared_change ring[kCaptureRing];
};
// Laid out alike on 32- and 64-bit builds, as every slice of the board is.
static_assert(sizeof(shared_capture) == 48 + kCaptureLevels + 16 * kCaptureRing);

// Reads VBOARD_CAPTURE and VBOARD_CAPTURE_LIMIT; a new capture records
// every line as it stands. Lock held.
void configure_capture(config::reader &r);
// True while this process records changes: it captures, or another
// process on the board does. Lock held.
bool capturing();
// After pins or the chip's lines changed: records what changed, now.
// Lock held.
void capture_lines();
// Writes out the changes waiting in the ring, when this process captures
// and nobody else is writing them. Called without the lock.
void capture_flush();

// Time for a spidev message: its wires are drawn at the message's own
// clock, from now or from the end of the last change, whichever is later.
// Lock held throughout.
class capture_clock {
 public:
  capture_clock();
  // Records the chip's lines as they stand, at the clock's time.
  void mark();
  // Time passes on the wires.
  void wait(double ns) { t_ += ns; }
  // Whether the lines are being recorded: every edge is then seen.
  bool on() const { return on_; }

 private:
  bool on_;
  double t_ = 0;
};

}  // namespace vboard
