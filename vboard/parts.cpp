// The table of the board object's parts (device.h): each device registers
// what it sets at power-on, checks on a found object and shows, and the
// core runs them in their order without knowing any of them.
//
// Parts register from constructors that run before the board's first use
// (kPartPriority), while the process is still single-threaded; the table
// is constant-initialised so that it is there whatever runs first.
#include <array>
#include <cstddef>
#include <string>

#include "internal.h"

namespace vboard {
namespace {

constexpr std::size_t kMaxParts = 16;
std::array<part, kMaxParts> parts{};
std::size_t part_count = 0;
// Set at the first power-on or check: a part registered later would find
// its fields never set, or unchecked.
bool in_use = false;

template <typename Fn>
void each(Fn fn) {
  for (std::size_t i = 0; i < part_count; ++i) fn(parts[i]);
}

}  // namespace

bool add_part(const part &p) {
  if (in_use) {
    tell("vboard: the part %s came after the board was in use; its state is not kept\n", p.name);
    return false;
  }
  if (part_count >= kMaxParts) {
    tell("vboard: no room for the part %s; its state is not kept\n", p.name);
    return false;
  }
  // Kept sorted: a stable insertion after every part of a lower or equal order.
  std::size_t at = part_count;
  while (at > 0 && parts[at - 1].order > p.order) {
    parts[at] = parts[at - 1];
    --at;
  }
  parts[at] = p;
  ++part_count;
  return true;
}

void power_on_parts(shared_board &b) {
  in_use = true;
  each([&](const part &p) {
    if (p.power_on != nullptr) p.power_on(b);
  });
}

const char *part_damage(const shared_board &b) {
  in_use = true;
  for (std::size_t i = 0; i < part_count; ++i) {
    if (parts[i].damage == nullptr) continue;
    if (const char *why = parts[i].damage(b)) return why;
  }
  return nullptr;
}

void show_parts(const shared_board &b, std::string &out) {
  each([&](const part &p) {
    if (p.show != nullptr) p.show(b, out);
  });
}

void attach_parts(shared_board &b) {
  in_use = true;
  each([&](const part &p) {
    if (p.attached != nullptr) p.attached(b);
  });
}

void parts_powered() {
  each([&](const part &p) {
    if (p.powered != nullptr) p.powered();
  });
}

}  // namespace vboard
