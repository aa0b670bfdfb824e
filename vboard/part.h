#pragma once
// A device's part of the shared board object: the hooks and the slice a
// device registers (add_part), and the core's runs of every part's hooks
// (parts.cpp). Included by internal.h; the object's header is layout.h.
// See internal.h for where things live and the locking rule.
#include <cstddef>
#include <cstdint>
#include <string>

namespace vboard {

namespace config {
class reader;
}

// A device that keeps state in the shared board object (layout.h) owns
// that part of it: it sets it at power-on, tells what makes it unusable
// when a process finds the object, and describes it for `vboard show`.
// The core knows none of it. They run in `order`, lowest first, whatever
// order their files load in; each hook may be null.
struct shared_board;
struct part {
  const char *name;
  int order;
  // Sets the part's fields on a board whose bytes were all just zeroed.
  void (*power_on)(shared_board &b);
  // Why the part found on a board object cannot be run from (a short
  // phrase, "the chip's state is invalid"), or null. The object may hold
  // anything: read each field once.
  const char *(*damage)(const shared_board &b);
  // Appends the part's lines of `vboard show` to `out`. Lock held.
  void (*show)(const shared_board &b, std::string &out);
  // This process now runs on `b` (first use, or a power cycle that took
  // up a board refused before). Lock held.
  void (*attached)(shared_board &b);
  // A power cycle has reset and configured every device. Lock held.
  void (*powered)();
  // The part's own slice of the board object (0 bytes: none), aligned to
  // `slice_align` (at most 16); the core lays the slices out after the
  // header, by `slice_place` (lowest first; `order` is where the part's
  // lines go in `vboard show`), and stores where this one starts in
  // `*slice_at` (board_slice finds it). Their names and sizes make the
  // layout's fingerprint: an object made with other slices is refused.
  std::uint32_t slice_size;
  std::uint32_t slice_align;
  int slice_place;
  std::size_t *slice_at;
  // Reads the part's VBOARD_* variables through `r` (its `restore` as for
  // configure_core), ahead of the core's own variables and of the
  // handlers' configure hooks; the parts' hooks run by `configure_place`,
  // lowest first, so that the board's complaints come in one fixed order
  // whatever order the parts load or show in. Lock held.
  void (*configure)(config::reader &r);
  int configure_place;
};

// The slice at `at` (a part's *slice_at) of board `b`.
inline void *board_slice(shared_board &b, std::size_t at) {
  return reinterpret_cast<unsigned char *>(&b) + at;
}
inline const void *board_slice(const shared_board &b, std::size_t at) {
  return reinterpret_cast<const unsigned char *>(&b) + at;
}

// Appends one line of `vboard show`, formatted as printf does, to `out`;
// a line is cut at 255 bytes.
void show_line(std::string &out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The constructor priority a part registers from: ahead of every ordinary
// constructor, the board's first use among them, e.g.
//   [[gnu::constructor(vboard::kRegisterPriority)]] void add_my_part() { add_part({...}); }
constexpr int kRegisterPriority = 110;
// Registers a part. Returns false, after saying so, when the table or the
// object has no room for it or the board was already in use (its power-on
// and checks are past); the device then registers no handler either.
bool add_part(const part &p);

// The parts' hooks (parts.cpp), each part in its order: power-on
// of a zeroed board, the first reason a found object cannot be run from
// (or null), the lines of `vboard show`, the board attached, a power cycle
// done. Lock held.
void power_on_parts(shared_board &b);
// The board object's size with every part's slice, and the fingerprint of
// the slices a board of this build records (parts.cpp).
std::size_t board_bytes();
std::uint32_t parts_fingerprint();
const char *part_damage(const shared_board &b);
void show_parts(const shared_board &b, std::string &out);
void attach_parts(shared_board &b);
void parts_powered();
// Each part's configure hook, by configure_place, on one reader.
void configure_parts(config::reader &r);

}  // namespace vboard
