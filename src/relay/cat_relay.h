#pragma once
// Plays the radio on one app group's CAT port: every group may read the radio,
// only the active one may change it. Auto-information belongs to the group
// (relay/auto_information.h).
#include <atomic>
#include <cstdint>

#include "radio/serial_port.h"
#include "relay/group_activity.h"
#include "relay/relay_context.h"
#include "relay/report_poller.h"

namespace brinmoor {

// Silence that ends a command whose ";" has not come.
inline constexpr int kCatRelayIdleMs = 500;

struct CatRelayGroup {
    std::int32_t number = 0;
    GroupActivity* activity = nullptr;  // outlives the relay
    bool reports = false;               // the port's device listens for reports only
    ReportPoller* poller = nullptr;     // IF rounds to share; outlives the relay
};

// Runs until running drops; the port belongs to this thread alone.
void CatRelay(const std::atomic<bool>& running, const RelayContext& context, SerialPort& port,
              const CatRelayGroup& group);

}  // namespace brinmoor
