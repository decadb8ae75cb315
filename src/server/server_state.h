#pragma once
// The one record every thread of the server shares. Built once by the server's
// start-up; it outlives every session and the power monitor, which shutdown
// joins before the record is torn down (fields go in reverse order).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "common/handover.h"
#include "radio/cat_link.h"
#include "radio/keying_line.h"
#include "radio/power_monitor.h"
#include "radio/serial_port.h"
#include "relay/active_group.h"
#include "server/allow_list.h"
#include "server/session_registry.h"

namespace brinmoor {

inline constexpr std::int32_t kDefaultTcpPort = 4532;

// The owner of the app groups' ports and relay threads; defined by the relay
// layer, which fills the `relays` hand-over. Until then it stays empty.
class RelayManager;

struct ServerState {
    // The radio's CAT line; every transaction with the radio runs on it.
    CatLink catLink;
    // -1: no app group owns the radio ("Default"). Before `relays`, which
    // wake its waiters when they stop, so that it outlives them.
    ActiveGroup activeGroup;
    // Created by the first CAT port that opens, then kept until shutdown;
    // sessions read it for PW and the "PC" hook while a CFG may create it.
    Handover<PowerMonitor> powerMonitor;
    // The server's own keying ports; replaced only under configMutex (or at
    // shutdown) while PT, CK and the relays use snapshots of them.
    Handover<KeyingLine> pttLine;
    Handover<KeyingLine> cwLine;
    Handover<SerialPort> winkeyPort;
    Handover<SerialPort> fskPort;
    Handover<RelayManager> relays;

    std::map<std::int32_t, std::string> groupNames{{-1, "Default"}};  // groupsMutex
    std::mutex groupsMutex;

    std::string statusReply;  // statusMutex; what PORTS returns
    std::mutex statusMutex;

    std::atomic<bool> quit{false};  // set once, by QUIT
    std::mutex configMutex;         // one whole CFG at a time; taken before any other lock

    // Fixed once the command line has been read, before any other thread runs.
    std::int32_t tcpPort = kDefaultTcpPort;
    std::string configPath;             // the saved CAT settings
    std::chrono::seconds txTimeout{0};  // 0: the server's own lines may stay keyed
    AllowList allow;                    // who may connect: to the listener and to tcp: endpoints

    // Declared last so it goes first at teardown: no session outlives the rest.
    SessionRegistry sessions;
};

// Closes and drops the server's own keying ports: PTT line, CW line, WinKey
// port, FSK port, in that order. Holders of a snapshot keep a closed object.
void CloseLocalPorts(ServerState& state);

}  // namespace brinmoor
