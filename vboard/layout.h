#pragma once
// The shared board object's header: what every process on a board maps
// first and checks before it reads any slice, and the spidev devices'
// record (spidev.cpp keeps its slice). The other devices' records are in
// gpio_records.h and inputs.h. Included by internal.h.
// See internal.h for where things live and the locking rule.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "chip_lines.h"

namespace vboard {

// The shared board object (state.cpp)
//
// Everything a kernel would hold for the board lives in one object that
// every process on the board maps: a POSIX shared-memory object named after
// the user and the board (VBOARD_BOARD=name), or a file (VBOARD_BOARD=path),
// or, with VBOARD_BOARD=private, memory of this process alone. Its fields
// have fixed sizes and places on 32- and 64-bit builds, so a native shell
// and an ARM program under qemu share one board. Per process stay: the
// descriptors, the faults, the trace and the spidev controller quirks.
//
// The object is a header (shared_board) and after it the slice of each
// device that keeps state there, asked for by its part (part.h) and laid
// out by parts.cpp in the parts' order; the records below are what the
// devices' slices hold. The slices' fingerprint in the header makes an
// object of another build's slices be refused as another layout.

constexpr std::uint32_t kBoardMagic = 0x56424f41;  // "VBOA"
// Raised whenever a field below changes place, size or meaning: a board
// object of another layout is refused, never read.
constexpr std::uint32_t kBoardLayout = 8;
// A process's ticket t is the lock on byte kTicketBase + t of the board
// object (see state.cpp); past the object's end, so it covers no field.
constexpr long kTicketBase = 1L << 20;
constexpr int kSpidevSlots = 16;

// Settings of one spidev device as its driver keeps them across opens.
struct shared_spidev {
  char path[32];  // "/dev/spidevB.C", empty for a free slot
  std::uint32_t mode;
  std::uint32_t bits_per_word;
  std::uint32_t lsb_first;
  std::uint32_t max_speed_hz;  // the device's maximum (device tree)
  std::uint32_t speed_hz;      // current default rate
  std::int32_t open_count;
  std::uint32_t reserved[2];
};

// The header every board object starts with; the devices' slices follow
// it (parts.cpp), each a record of the device's own.
struct shared_board {
  std::uint32_t magic;
  std::uint32_t layout;
  std::uint32_t size;  // the header and every slice after it
  std::uint32_t ready;
  std::uint32_t lock;          // futex word: 0 free, else the holder's ticket (see state.cpp)
  std::uint32_t lock_pid;      // the holder's process id, for telling that it is stopped
  std::uint32_t edge_seq;      // futex word: bumped at every notified edge
  std::uint32_t edge_waiting;  // 1: a process may be asleep on `edge_seq`
  std::uint32_t fingerprint;   // of the slices (parts.cpp)
  std::uint32_t ticket_seq;    // the last ticket handed out
  std::uint64_t epoch_ns;      // CLOCK_MONOTONIC at power-on: board time 0
};

// The layout is the same for every build that shares a board (32- and
// 64-bit alike).
static_assert(sizeof(shared_board) == 48);
static_assert(sizeof(shared_spidev) == 64);
static_assert(std::atomic_ref<std::uint32_t>::required_alignment <= alignof(std::uint32_t));

// A word of the shared object, used atomically in place.
inline std::atomic_ref<std::uint32_t> atom(std::uint32_t &w) {
  return std::atomic_ref<std::uint32_t>(w);
}

}  // namespace vboard
