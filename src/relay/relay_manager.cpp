#include "relay/relay_manager.h"

#include <exception>
#include <utility>

#include "common/log.h"
#include "radio/port_entry.h"
#include "relay/cat_relay.h"
#include "relay/endpoint_notes.h"
#include "relay/fsk_relay.h"
#include "relay/keying_relays.h"

namespace brinmoor {
namespace {

std::thread StartStdThread(std::function<void()> body) {
    return std::thread(std::move(body));
}

bool ServerPortOpen(Handover<SerialPort>& holder) {
    auto port = holder.Snapshot();
    return port && port->IsOpen();
}

}  // namespace

RelayManager::RelayManager(RelayContext relayContext)
    : context(relayContext), startThread(StartStdThread) {}

RelayManager::~RelayManager() {
    Stop();
}

void RelayManager::SetThreadStarter(ThreadStarter starter) {
    startThread = starter ? std::move(starter) : ThreadStarter(StartStdThread);
}

void RelayManager::Start(const AppGroupTable& groups) {
    running.store(true);
    // Every group that may read the keyer is known before the first reader
    // starts, so no reader takes the active group's bytes for nobody's while
    // the later groups are still being started.
    if (ServerPortOpen(context.winkeyPort)) {
        for (const auto& [number, group] : groups) {
            if (group.winkeyEnabled && !group.winkey.port.empty()) winkeyReaders.Add(number);
        }
    }
    bool failed = false;
    for (const auto& [number, group] : groups) {
        if (failed) {
            winkeyReaders.Remove(number);
            continue;
        }
        auto [entry, added] = groupPorts.try_emplace(number);
        if (!added) continue;  // a group of this number already runs
        bool readsKeyer = false;
        if (!StartGroup(number, group, entry->second, readsKeyer)) {
            LogErr("[relay] Could not start a relay thread for group " + std::to_string(number) +
                   "\n");
            failed = true;
        }
        if (!readsKeyer) winkeyReaders.Remove(number);
    }
}

bool RelayManager::Launch(std::function<void()> body) {
    try {
        // Room first, so that a thread once created is always kept for Stop.
        threads.reserve(threads.size() + 1);
        threads.push_back(startThread(std::move(body)));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Each port is closed again at once when its relay thread cannot be created;
// ports whose threads run stay in ports for Stop.
bool RelayManager::StartGroup(std::int32_t number, const AppGroup& group, GroupPorts& ports,
                              bool& readsKeyer) {
    const std::string numberText = std::to_string(number);

    if (group.catEnabled && !group.cat.port.empty()) {
        auto port = std::make_unique<SerialPort>();
        if (OpenPort(*port, group.cat, GroupEndpointOptions(group.cat.port, context.admits))) {
            SerialPort& catPort = *port;
            if (!Launch(
                    [this, &catPort, number] { CatRelay(running, context, catPort, number); })) {
                port->Close();
                return false;
            }
            ports.cat = std::move(port);
            LogOut("[relay] CAT relay started for group " + numberText + " on " + group.cat.port +
                   "\n");
        } else {
            LogOut("[relay] Failed to open CAT port for group " + numberText + "\n");
        }
    }

    if (group.pttEnabled && !group.ptt.port.empty()) {
        auto line = std::make_shared<KeyingLine>();
        if (OpenLine(*line, group.ptt)) {
            KeyingLine& pttLine = *line;
            if (!Launch(
                    [this, &pttLine, number] { PttRelay(running, context, pttLine, number); })) {
                line->Close();
                return false;
            }
            ports.ptt = std::move(line);
            LogOut("[relay] PTT relay started for group " + numberText + "\n");
        }
    }

    if (group.cwEnabled && !group.cw.port.empty()) {
        auto line = std::make_shared<KeyingLine>();
        bool ready = false;
        if (ports.ptt && group.cw.port == group.ptt.port) {
            // One cable for both: the CW relay reads the PTT port's DSR too.
            line->ShareWith(ports.ptt, group.cw.flow);
            ready = true;
        } else {
            ready = OpenLine(*line, group.cw);
        }
        if (ready) {
            KeyingLine& cwLine = *line;
            if (!Launch([this, &cwLine, number] { CwRelay(running, context, cwLine, number); })) {
                line->Close();  // a sharer leaves the PTT port to its own relay
                return false;
            }
            ports.cw = std::move(line);
            LogOut("[relay] CW relay started for group " + numberText + "\n");
        }
    }

    if (group.winkeyEnabled && !group.winkey.port.empty() && ServerPortOpen(context.winkeyPort)) {
        auto port = std::make_unique<SerialPort>();
        if (LockedOpenPort(*port, group.winkey,
                           GroupEndpointOptions(group.winkey.port, context.admits))) {
            SerialPort& winkeyPort = *port;
            if (!Launch([this, &winkeyPort, number] {
                    WinKeyFromApp(running, context, winkeyPort, number);
                })) {
                port->LockedClose();
                return false;
            }
            // From here the port has a running thread and belongs to Stop.
            ports.winkey = std::move(port);
            if (!Launch([this, &winkeyPort, number] {
                    WinKeyToApp(running, context, winkeyReaders, winkeyPort, number);
                })) {
                return false;
            }
            readsKeyer = true;
            LogOut("[relay] WinKey relay started for group " + numberText + "\n");
        }
    }

    if (group.fskEnabled && !group.fsk.port.empty() && ServerPortOpen(context.fskPort)) {
        auto port = std::make_unique<SerialPort>();
        if (LockedOpenPort(*port, group.fsk, GroupEndpointOptions(group.fsk.port, context.admits))) {
            SerialPort& fskPort = *port;
            if (!Launch([this, &fskPort, number] { FskRelay(running, context, fskPort, number); })) {
                port->LockedClose();
                return false;
            }
            ports.fsk = std::move(port);
            const FskKeying keying = FskKeyingFromFlow(group.fsk.flow);
            if ((keying.dtr || keying.rts) &&
                !Launch([this, &fskPort, number, name = group.fsk.port, flow = group.fsk.flow] {
                    FskKeyingRelay(running, context, fskPort, name, number, flow);
                })) {
                return false;
            }
            LogOut("[relay] FSK relay started for group " + numberText + "\n");
        }
    }
    return true;
}

void RelayManager::Stop() {
    running.store(false);
    context.activeGroup.WakeAll();  // relays of inactive groups wait on it
    // Every thread is joined before any port is closed, so no relay ever
    // touches a closed port.
    for (std::thread& thread : threads) {
        if (thread.joinable()) thread.join();
    }
    threads.clear();
    for (auto& [number, ports] : groupPorts) {
        if (ports.cat) ports.cat->Close();
        if (ports.ptt) ports.ptt->Close();
        if (ports.cw) ports.cw->Close();  // a sharer closes nothing of its own
        if (ports.winkey) ports.winkey->LockedClose();
        if (ports.fsk) ports.fsk->LockedClose();
    }
    groupPorts.clear();
    winkeyReaders.Clear();
}

}  // namespace brinmoor
