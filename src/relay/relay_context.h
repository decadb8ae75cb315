#pragma once
// What the relays use of the server: the radio, the active group and the
// server's own keying lines and ports. The lines and ports are replaced by a
// CFG while relays of other managers may still hold them, so every use takes
// a fresh snapshot, which keeps the object alive for as long as it is used.
#include <cstdint>
#include <functional>

#include "common/handover.h"
#include "radio/cat_link.h"
#include "radio/keying_line.h"
#include "radio/serial_port.h"
#include "relay/active_group.h"

namespace brinmoor {

struct RelayContext {
    CatLink& catLink;
    const ActiveGroup& activeGroup;
    Handover<KeyingLine>& pttLine;
    Handover<KeyingLine>& cwLine;
    Handover<SerialPort>& winkeyPort;
    Handover<SerialPort>& fskPort;
    // Who may connect to the groups' tcp: endpoints (host-order IPv4); empty: anyone.
    std::function<bool(std::uint32_t)> admits = {};
};

}  // namespace brinmoor
