#include "relay/endpoint_notes.h"

#include <memory>

#include "common/log.h"
#include "common/peer_address.h"
#include "common/text.h"

namespace brinmoor {

EndpointOptions GroupEndpointOptions(const std::string& name,
                                     const std::function<bool(std::uint32_t)>& admits) {
    // Told only by the thread that reads the endpoint, so the limit needs no lock.
    auto limit = std::make_shared<RefusalLogLimit>();
    const std::string where = "[relay] " + EscapeControlBytes(name);
    auto told = [where, limit](const EndpointNote& note) {
        const std::string peer = FormatIpv4(note.peer);
        const auto refused = [&](const char* reason) {
            if (limit->ShouldLog(note.peer, RefusalLogLimit::Clock::now())) {
                LogErr(where + ": connection from " + peer + " refused (" + reason + ")\n");
            }
        };
        switch (note.event) {
            case EndpointEvent::Connected:
                LogOut(where + ": program connected from " + peer + "\n");
                break;
            case EndpointEvent::Disconnected:
                LogOut(where + ": program from " + peer + " disconnected\n");
                break;
            case EndpointEvent::RefusedBusy:
                refused("a program is already connected");
                break;
            case EndpointEvent::RefusedNotAllowed:
                refused("not in --allow");
                break;
            case EndpointEvent::NotOpened:
                LogErr(where + " not opened: " + note.why + "\n");
                break;
        }
    };
    return EndpointOptions{.outgoing = false, .admits = admits, .told = std::move(told)};
}

}  // namespace brinmoor
