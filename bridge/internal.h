// Shared by the runtime and the installation sources; not installed.
#pragma once

#include <atomic>

namespace bridge_internal {

// MLAbort and MLDone stay plain ints for outside code, but the link
// library's delivery thread writes them while the serving thread reads
// them, so every access inside the library goes through atomic_ref.
static_assert(std::atomic_ref<int>::required_alignment <= alignof(int));
static_assert(std::atomic_ref<int>::is_always_lock_free,
              "the message handler must never take a lock");

inline int load_flag(int &flag) { return std::atomic_ref<int>(flag).load(); }
inline void store_flag(int &flag, int value) { std::atomic_ref<int>(flag).store(value); }

}  // namespace bridge_internal
