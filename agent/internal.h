// Helpers shared by the agent's sources; not part of the exported interface.
#pragma once

#include "dayward.h"

#include <atomic>

namespace dayward {

// Exiting and HighestSocket are plain exported ints (libraries read them by
// name), but the signal handler and other threads touch them, so every access
// from our own code is atomic.
inline bool exiting() {
    return std::atomic_ref<int>(Exiting).load(std::memory_order_acquire);
}
inline void setExiting() {
    std::atomic_ref<int>(Exiting).store(1, std::memory_order_release);
}
inline int highestSocket() {
    return std::atomic_ref<int>(HighestSocket).load(std::memory_order_acquire);
}
inline int serverSocket() {
    return std::atomic_ref<int>(ServerSocket).load(std::memory_order_acquire);
}
inline void setServerSocket(int fd) {
    std::atomic_ref<int>(ServerSocket).store(fd, std::memory_order_release);
}

// Starts a detached thread on DaywardThreadStack bytes of stack; false when
// it could not be created.
bool startDetached(void* (*fn)(void*), void* arg);

// Waits up to `seconds` in one-second steps, returning early once Exiting is set.
void pauseSeconds(int seconds);

} // namespace dayward
