#pragma once
// Whether a descriptor is the board's, asked before anything else by the
// entry points (descriptors.cpp). Apart from routing.h because it names
// none of the C library's types whose size a build's time and offset bits
// change: time64.cpp, built with 64-bit time, includes this alone.
// Included by routing.h and time64.cpp.

namespace vboard {

// Cheap check without the lock: could `fd` be virtual at all?
bool maybe_virtual(int fd);
// True when `fd` is a virtual descriptor (takes the lock).
bool is_virtual(int fd);

}  // namespace vboard
