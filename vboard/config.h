#pragma once
// Reading VBOARD_* variables: one parser for every part, and the one way
// the board tells anything on standard error. Included by internal.h.
// See internal.h for where things live and the locking rule.
#include <string>
#include <string_view>
#include <vector>

namespace vboard {

// ---------------------------------------------------------------------------
// Reading variables: one parser for every part

// One line on standard error, formatted as printf does and cut to fit;
// straight to the descriptor, since stdio may not be ready yet. Every
// message of the board goes through here.
void tell(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

namespace config {

// The variable's value, or null when unset or empty.
const char *env(const char *name);
std::vector<std::string_view> split(std::string_view s, char sep);
bool parse_double(std::string_view s, double &out);
// A whole number in C notation (decimal, 0x hex, 0 octal), sign allowed.
bool parse_long(std::string_view s, long &out);
// As parse_long, no sign; takes the full unsigned range (request numbers
// have the top bit set, which a 32-bit long cannot hold).
bool parse_unsigned(std::string_view s, unsigned long &out);
// An errno value by number (1-4095) or by name ("EIO").
bool parse_errno(std::string_view s, int &err);

// Tells on standard error that a variable's value was malformed and is
// ignored.
// `why`, when given, says what would have been accepted.
void complain(const char *var, const char *value, const char *why = nullptr);

class reader;
// The strict profile (VBOARD_STRICT=1): the board models the target's
// limits instead of being lenient. Read by each part that has any.
bool strict(reader &r);

// Collects whether every variable read was well formed.
class reader {
 public:
  explicit reader(bool restore = true) : restore_(restore) {}
  // True when unset variables restore their defaults (see configure_core).
  bool restore() const { return restore_; }
  const char *get(const char *name) const { return env(name); }
  void bad(const char *name, const char *value, const char *why = nullptr) {
    complain(name, value, why);
    ok_ = false;
  }
  bool ok() const { return ok_; }

 private:
  bool restore_;
  bool ok_ = true;
};

}  // namespace config

}  // namespace vboard
