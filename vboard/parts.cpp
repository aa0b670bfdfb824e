// The table of the board object's parts (part.h): each device registers
// what it sets at power-on, checks on a found object and shows, and the
// slice of the object it keeps; the core runs them in their order and
// lays the slices out without knowing any of them.
//
// Each part registers from a constructor that runs before the board's
// first use (kRegisterPriority), while the process is still
// single-threaded; the table is constant-initialised so that it is there
// whatever runs first.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "internal.h"

namespace vboard {
namespace {

constexpr std::size_t kTableRoom = 16;
std::array<part, kTableRoom> parts{};
std::size_t part_count = 0;
// Set when the layout is made, at the board's first use: a part
// registered later would find its fields never set, or unchecked.
bool in_use = false;
std::size_t total_bytes = sizeof(shared_board);
std::uint32_t slices_fingerprint = 0;
// The most the slices registered so far can take, padding included: the
// object must end before the lock bytes past it (kTicketBase).
std::size_t most_bytes = sizeof(shared_board);

// FNV-1a, 32 bits: enough to tell one build's slices from another's.
void mix(std::uint32_t &h, unsigned char c) { h = (h ^ c) * 16777619U; }

// Places each part's slice after the header, by slice_place, and
// fingerprints the slices' names and sizes.
void lay_out() {
  if (in_use) return;
  in_use = true;
  std::array<std::size_t, kTableRoom> by_place{};
  for (std::size_t i = 0; i < part_count; ++i) by_place[i] = i;
  std::stable_sort(
      by_place.begin(), by_place.begin() + static_cast<std::ptrdiff_t>(part_count),
      [](std::size_t a, std::size_t b) { return parts[a].slice_place < parts[b].slice_place; });
  std::uint32_t h = 2166136261U;
  std::size_t at = sizeof(shared_board);
  for (std::size_t k = 0; k < part_count; ++k) {
    const part &p = parts[by_place[k]];
    if (p.slice_size > 0) {
      const std::size_t start = (at + p.slice_align - 1) / p.slice_align * p.slice_align;
      *p.slice_at = start;
      at = start + p.slice_size;
      for (const char *c = p.name; *c != '\0'; ++c) mix(h, static_cast<unsigned char>(*c));
      mix(h, 0);
      for (int b = 0; b < 4; ++b) mix(h, static_cast<unsigned char>(p.slice_size >> (8 * b)));
    }
  }
  total_bytes = (at + 7) / 8 * 8;
  slices_fingerprint = h;
}

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
  const bool power_of_two = p.slice_align != 0 && (p.slice_align & (p.slice_align - 1)) == 0;
  if (p.slice_size > 0 && (p.slice_at == nullptr || !power_of_two || p.slice_align > 16)) {
    tell("vboard: the part %s asks for a slice it cannot have; its state is not kept\n", p.name);
    return false;
  }
  const std::size_t most = p.slice_size > 0 ? p.slice_size + p.slice_align - 1 : 0;
  if (part_count >= kTableRoom || most_bytes + most + 7 > static_cast<std::size_t>(kTicketBase)) {
    tell("vboard: no room for the part %s; its state is not kept\n", p.name);
    return false;
  }
  most_bytes += most;
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

std::size_t board_bytes() {
  lay_out();
  return total_bytes;
}

std::uint32_t parts_fingerprint() {
  lay_out();
  return slices_fingerprint;
}

void power_on_parts(shared_board &b) {
  lay_out();
  each([&](const part &p) {
    if (p.power_on != nullptr) p.power_on(b);
  });
}

const char *part_damage(const shared_board &b) {
  lay_out();
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
  lay_out();
  each([&](const part &p) {
    if (p.attached != nullptr) p.attached(b);
  });
}

void configure_parts(config::reader &r) {
  // By a place of its own: `order` is how `vboard show` lists the parts,
  // while the complaints keep the order the board has always read its
  // variables in.
  std::array<std::size_t, kTableRoom> by_place{};
  for (std::size_t i = 0; i < part_count; ++i) by_place[i] = i;
  std::stable_sort(by_place.begin(), by_place.begin() + static_cast<std::ptrdiff_t>(part_count),
                   [](std::size_t a, std::size_t b) {
                     return parts[a].configure_place < parts[b].configure_place;
                   });
  for (std::size_t k = 0; k < part_count; ++k) {
    const part &p = parts[by_place[k]];
    if (p.configure != nullptr) p.configure(r);
  }
}

void parts_powered() {
  each([&](const part &p) {
    if (p.powered != nullptr) p.powered();
  });
}

}  // namespace vboard
