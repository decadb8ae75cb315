#include "relay/relay_manager.h"

#include <exception>
#include <tuple>
#include <utility>

#include "common/log.h"
#include "radio/port_entry.h"
#include "relay/cat_relay.h"
#include "relay/endpoint_notes.h"
#include "relay/fsk_relay.h"
#include "relay/keying_relays.h"
#include "relay/report_poller.h"

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
    std::lock_guard<std::mutex> view(viewMutex);
    configured = groups;
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
    if (!failed) StartReportPoller();
}

void RelayManager::StartReportPoller() {
    // Fixed from here until Stop, so the poller reads it without a lock.
    std::vector<std::pair<std::shared_ptr<const GroupActivity>, bool>> listeners;
    for (const auto& [number, ports] : groupPorts) {
        if (ports.cat) listeners.emplace_back(ports.activity, configured[number].catReports);
    }
    if (listeners.empty()) return;
    const auto wanted = [listeners] {
        for (const auto& [activity, reports] : listeners) {
            if (reports || activity->autoInformation.load() != '0') return true;
        }
        return false;
    };
    if (!Launch([this, wanted] { poller.Run(running, context.catLink, wanted); })) {
        LogErr("[relay] Could not start the thread that reads IF for reports\n");
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
    GroupActivity& activity = *ports.activity;
    // The endpoint's notes are logged and tell the status who is connected.
    const auto endpointOptions = [&](const std::string& name, RelayKind kind) {
        EndpointOptions options = GroupEndpointOptions(name, context.admits);
        options.told = [log = std::move(options.told), &activity, kind](const EndpointNote& note) {
            activity.NotePeer(kind, note);
            log(note);
        };
        return options;
    };

    if (group.catEnabled && !group.cat.port.empty()) {
        auto port = std::make_unique<SerialPort>();
        if (OpenPort(*port, group.cat, endpointOptions(group.cat.port, RelayKind::Cat))) {
            SerialPort& catPort = *port;
            const CatRelayGroup relayGroup{number, &activity, group.catReports, &poller};
            if (!Launch([this, &catPort, relayGroup] {
                    CatRelay(running, context, catPort, relayGroup);
                })) {
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
                           endpointOptions(group.winkey.port, RelayKind::WinKey))) {
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
        if (LockedOpenPort(*port, group.fsk, endpointOptions(group.fsk.port, RelayKind::Fsk))) {
            SerialPort& fskPort = *port;
            if (!Launch([this, &fskPort, number] { FskRelay(running, context, fskPort, number); })) {
                port->LockedClose();
                return false;
            }
            ports.fsk = std::move(port);
            const FskKeying keying = FskKeyingFromFlow(group.fsk.flow);
            if ((keying.dtr || keying.rts) &&
                !Launch([this, &fskPort, number, name = group.fsk.port, flow = group.fsk.flow,
                         &activity] {
                    FskKeyingRelay(running, context, fskPort, name, number, flow,
                                   activity.fskKeyed);
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
    std::lock_guard<std::mutex> view(viewMutex);
    for (auto& [number, ports] : groupPorts) {
        if (ports.cat) ports.cat->Close();
        if (ports.ptt) ports.ptt->Close();
        if (ports.cw) ports.cw->Close();  // a sharer closes nothing of its own
        if (ports.winkey) ports.winkey->LockedClose();
        if (ports.fsk) ports.fsk->LockedClose();
    }
    groupPorts.clear();
    configured.clear();
    winkeyReaders.Clear();
}

std::vector<GroupView> RelayManager::View() {
    std::lock_guard<std::mutex> view(viewMutex);
    std::vector<GroupView> groups;
    for (const auto& [number, group] : configured) {
        GroupView& entry = groups.emplace_back();
        entry.number = number;
        entry.reports = group.catReports;
        const auto found = groupPorts.find(number);
        const GroupPorts* ports = found != groupPorts.end() ? &found->second : nullptr;
        if (ports != nullptr) entry.activity = ports->activity;
        const auto add = [&](RelayKind kind, bool enabled, const PortSettings& settings) {
            if (!enabled || settings.port.empty()) return RelayPortView{};
            RelayPortView port;
            port.kind = kind;
            port.name = settings.port;
            if (ports != nullptr) port.peer = ports->activity->Peer(kind);
            return port;
        };
        const auto keep = [&](RelayPortView port) {
            if (!port.name.empty()) entry.ports.push_back(std::move(port));
        };
        RelayPortView cat = add(RelayKind::Cat, group.catEnabled, group.cat);
        cat.open = ports != nullptr && ports->cat && ports->cat->IsOpen();
        keep(std::move(cat));
        for (auto [kind, enabled, settings, line] :
             {std::tuple{RelayKind::Ptt, group.pttEnabled, &group.ptt,
                         ports != nullptr ? ports->ptt.get() : nullptr},
              std::tuple{RelayKind::Cw, group.cwEnabled, &group.cw,
                         ports != nullptr ? ports->cw.get() : nullptr}}) {
            RelayPortView port = add(kind, enabled, *settings);
            port.open = line != nullptr && line->IsOpen();
            if (port.open) port.keyed = line->IsDsrOn();
            keep(std::move(port));
        }
        RelayPortView winkey = add(RelayKind::WinKey, group.winkeyEnabled, group.winkey);
        winkey.open = ports != nullptr && ports->winkey && ports->winkey->IsOpen();
        keep(std::move(winkey));
        RelayPortView fsk = add(RelayKind::Fsk, group.fskEnabled, group.fsk);
        fsk.open = ports != nullptr && ports->fsk && ports->fsk->IsOpen();
        keep(std::move(fsk));
    }
    return groups;
}

}  // namespace brinmoor
