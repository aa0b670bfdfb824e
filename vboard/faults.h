#pragma once
// Faults on paths (faults.cpp): opens that fail and nodes that are missing,
// which the core checks on every open and stat and handlers add their own
// through. Included by internal.h.
// See internal.h for where things live and the locking rule.
#include <string>
#include <string_view>

namespace vboard {

namespace config {
class reader;
}

// Clears the path faults the core holds. Lock held.
void clear_path_faults();
// `path` fails to open with `err` (0 removes). Lock held.
void set_open_fault(std::string_view path, int err);
// `path` is missing (or present again). Lock held.
void set_missing(std::string_view path, bool missing);
// Reads a variable holding a "path:ERR[,...]" list of open faults, or a
// "path[,...]" list of missing nodes, into the core's faults; `form` is
// what a complaint says was expected. False when it was malformed (the
// rest of the list is then ignored). Lock held.
bool add_open_faults(config::reader &r, const char *name, const char *form);
bool add_missing(config::reader &r, const char *name, const char *form);
// Lookups on a normalised path. Lock held.
bool is_missing(const std::string &path);
int open_fault_for(const std::string &path);

// The path faults (faults.cpp). Lock held.
void configure_path_faults(config::reader &r);

}  // namespace vboard
