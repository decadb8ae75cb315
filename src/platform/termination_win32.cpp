#include <windows.h>

#include "platform/termination.h"

namespace brinmoor {
namespace {

// Windows ends the process about 5 s after a close event whatever the handler
// does; the handler waits a little less for the shutdown to finish.
constexpr DWORD kShutdownWaitMs = 4500;

HANDLE handled = nullptr;  // set once the orderly shutdown is done

BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            NoteTerminationRequest(static_cast<int>(event) + 1);
            return TRUE;  // the process goes on and shuts down by itself
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            NoteTerminationRequest(static_cast<int>(event) + 1);
            // The process ends when this returns: wait for the shutdown.
            if (handled != nullptr) WaitForSingleObject(handled, kShutdownWaitMs);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

bool WatchTerminationRequests() {
    if (handled == nullptr) handled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
}

void TerminationHandled() {
    if (handled != nullptr) SetEvent(handled);
}

std::string TerminationReasonName(int reason) {
    if (reason == kServiceStopReason) return "Service stop";
    if (reason == kServiceShutdownReason) return "System shutdown";
    switch (reason - 1) {
        case CTRL_C_EVENT:
            return "Ctrl-C";
        case CTRL_BREAK_EVENT:
            return "Ctrl-Break";
        case CTRL_CLOSE_EVENT:
            return "console close";
        case CTRL_LOGOFF_EVENT:
            return "logoff";
        case CTRL_SHUTDOWN_EVENT:
            return "system shutdown";
        default:
            return "console event " + std::to_string(reason - 1);
    }
}

}  // namespace brinmoor
