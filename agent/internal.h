// Helpers shared by the agent's sources; not part of the exported interface.
#pragma once

#include "dayward.h"
#include "revo_codes.h"

#include <pthread.h>

#include <atomic>
#include <string>
#include <string_view>

namespace dayward {

// Releases a connection this thread owns (a heap record, not released yet):
// the release ends the thread, so the caller goes on no further.
[[noreturn]] inline void EndConnection(REVOConnection* c) {
    ReleaseConnection(c);
    pthread_exit(nullptr); // not reached: the release above ends the thread
}

// Exiting and HighestSocket are plain exported ints (libraries read them by
// name), but the signal handler and other threads touch them, so every access
// from our own code is atomic.
inline bool IsExiting() {
    return std::atomic_ref<int>(Exiting).load(std::memory_order_acquire);
}
inline void SetExiting() {
    std::atomic_ref<int>(Exiting).store(1, std::memory_order_release);
}
inline int CurrentHighestSocket() {
    return std::atomic_ref<int>(HighestSocket).load(std::memory_order_acquire);
}
inline int CurrentServerSocket() {
    return std::atomic_ref<int>(ServerSocket).load(std::memory_order_acquire);
}
inline void SetServerSocket(int fd) {
    std::atomic_ref<int>(ServerSocket).store(fd, std::memory_order_release);
}

// Starts a detached thread on DaywardThreadStack bytes of stack, with the
// signals the agent handles blocked in it (so they reach the main thread
// only); false when it could not be created.
bool StartDetached(void* (*fn)(void*), void* arg);

// Waits up to `seconds` in one-second steps, returning early once Exiting is set.
void PauseSeconds(int seconds);

// Limits on what the REVO peers can make the agent hold. Set once in main,
// before any thread starts.
struct Limits {
    int maxQueueConnections = 256; // queue connections served at once; more are refused
    int idleTimeoutMs = 120000;    // silence that ends a connection's read
};
extern Limits limits;

// Queue connections are accepted only from the REVO servers the agent
// registers with. Both are called on the main thread, the first before the
// accept loop starts.
void AllowQueuePeer(const char* dottedAddress);
bool QueuePeerAllowed(uint32_t address); // network byte order

// True when `value` can stand on a protocol line: no CR, LF or NUL; as a
// word (one of several space-separated arguments) also not empty and without
// space, tab or other control characters.
bool LineTextOk(std::string_view value);
bool LineWordOk(std::string_view value);

// One protocol command line, built from checked values: "VERB a b c\r\n".
// A value that fails its check spoils the command, which is then never sent:
// whatever comes from a message, the directory or a peer cannot add a line or
// an argument of its own.
class Command {
  public:
    explicit Command(std::string_view verb);
    Command& Word(std::string_view value);
    Command& Number(unsigned long value);
    // The rest of the line, spaces allowed; nothing may follow it.
    Command& Text(std::string_view value);
    bool Ok() const { return ok_; }
    // Through REVOSendAll (with its failure handling). 0 without sending a
    // byte when the command is spoiled.
    int Send(REVOConnection* connection) const;
    // Appends the line and its CR LF to out, to go in one write with others
    // (SendLines); false, appending nothing, when the command is spoiled.
    bool AppendTo(std::string& out) const;

  private:
    std::string line_;
    bool ok_ = true;
    bool ended_ = false;
};

// Several command lines, each built by Command, in one write: REVOSendAll's
// failure handling, and its refusal of anything but whole CR LF lines.
int SendLines(REVOConnection* connection, std::string_view lines);

} // namespace dayward
