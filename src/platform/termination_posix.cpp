#include <signal.h>

#include "platform/termination.h"

namespace brinmoor {
namespace {

void OnSignal(int signal) {
    NoteTerminationRequest(signal);
}

}  // namespace

bool WatchTerminationRequests() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // the accept loop looks within its next wait anyway
    bool installed = true;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        // A signal ignored by whoever started the server (SIGHUP under nohup,
        // SIGINT for a background job) stays ignored: they meant it to.
        struct sigaction inherited {};
        if (sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) {
            continue;
        }
        installed = sigaction(signal, &action, nullptr) == 0 && installed;
    }
    return installed;
}

void TerminationHandled() {}

std::string TerminationReasonName(int reason) {
    switch (reason) {
        case SIGTERM:
            return "SIGTERM";
        case SIGINT:
            return "SIGINT";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "signal " + std::to_string(reason);
    }
}

}  // namespace brinmoor
