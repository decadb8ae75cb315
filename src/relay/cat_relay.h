#pragma once
// Plays the radio on one app group's CAT port: every group may read the radio,
// only the active one may change it.
#include <atomic>
#include <cstdint>

#include "radio/serial_port.h"
#include "relay/relay_context.h"

namespace brinmoor {

// Silence that ends a command whose ";" has not come.
inline constexpr int kCatRelayIdleMs = 500;

// Runs until running drops; the port belongs to this thread alone.
void CatRelay(const std::atomic<bool>& running, const RelayContext& context, SerialPort& port,
              std::int32_t group);

}  // namespace brinmoor
