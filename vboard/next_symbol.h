#pragma once
// The C library's own definition of an entry point the board stands in
// for, resolved once, on first use (null when the library has none).
// dlsym(RTLD_NEXT) does not call back into the board's entry points, so no
// recursion guard is needed. Included by interposed.h and time64.cpp.
#include <dlfcn.h>

#include <atomic>

namespace vboard {

template <typename F>
F next_symbol(std::atomic<void *> &slot, const char *name) {
  void *p = slot.load(std::memory_order_acquire);
  if (p == nullptr) {
    p = dlsym(RTLD_NEXT, name);
    slot.store(p, std::memory_order_release);
  }
  return reinterpret_cast<F>(p);
}

}  // namespace vboard
