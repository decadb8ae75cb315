#pragma once
// Termination requests from the system: SIGTERM, SIGINT and SIGHUP on POSIX;
// Ctrl-C, Ctrl-Break, console close, logoff and shutdown on Windows. They
// lead into the same orderly shutdown as QUIT (every line dropped, exit 0):
// a handler only notes the request, which the server's accept loop picks up.
#include <atomic>
#include <string>

namespace brinmoor {

// Installs the handlers, once, at start; false when the system refused one.
// A signal the server was started with ignored (nohup) is left ignored.
bool WatchTerminationRequests();

// The orderly shutdown has finished. A Windows console handler waits (for a
// few seconds at most) for this before it returns, since the system ends the
// process as soon as a close, logoff or shutdown handler returns.
void TerminationHandled();

// The reasons the Windows service manager's stop and system-shutdown
// requests are noted with (beyond every console event's).
inline constexpr int kServiceStopReason = 0x101;
inline constexpr int kServiceShutdownReason = 0x102;

// The request's name for the log: "SIGTERM", "console close", ...
std::string TerminationReasonName(int reason);

namespace termination_detail {
// Lock-free, so that a signal handler may store to it.
inline std::atomic<int> request{0};
static_assert(std::atomic<int>::is_always_lock_free);
}  // namespace termination_detail

// What a handler does (async-signal-safe): notes the first request's reason
// (a signal number, or a console event + 1; never 0).
inline void NoteTerminationRequest(int reason) {
    int none = 0;
    termination_detail::request.compare_exchange_strong(none, reason);
}
// The reason of the request noted, or 0 while there is none.
inline int TerminationRequested() {
    return termination_detail::request.load();
}
// Forgets the request once it has been served (the server may run again in
// the same process, as tests do).
inline void ClearTerminationRequest() {
    termination_detail::request.store(0);
}

}  // namespace brinmoor
