#pragma once
// The server's own commands beside the CAT pass-through: QUIT, PORTS, CFG,
// PW, AG, PT and CK. Each returns the reply to send (with its ";"), or an
// empty text when the command is not answered.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/json.h"
#include "server/server_state.h"

namespace brinmoor {

std::string PortsCommand(ServerState& state);

// One whole configuration under configMutex; "CFG_OK;" in every case, a
// document that cannot be read is reported as "[config] Bad CFG JSON".
std::string CfgCommand(ServerState& state, std::string_view frame, std::int32_t tcpPort);
// The work of CFG, for a caller holding configMutex: checks every port entry
// (a refused one changes nothing), stops the relays, applies "ports" and
// "ext_groups". The document, or nothing when it could not be read or was
// refused; every failure is logged.
std::optional<JsonValue> ApplyConfigDocument(ServerState& state, std::string_view text,
                                             std::int32_t tcpPort);

// "PW" + 2 while transmitting (0 otherwise) + the power, at least 3 digits;
// "PW000;" before any CAT port has opened.
std::string PwCommand(ServerState& state);

// "AG" alone or with an unreadable number selects -1 ("Default").
std::string AgCommand(ServerState& state, std::string_view frame);
// Makes the group the active app and logs its name.
void SetActiveGroup(ServerState& state, std::int32_t group);

// PT and CK: the third character '0' drops the line, anything else raises it.
// `client` names the connection (0: none), for ReleaseClientKeying.
void PtCommand(ServerState& state, std::string_view frame, std::uint64_t client = 0);
void CkCommand(ServerState& state, std::string_view frame, std::uint64_t client = 0);

// A connection that ends without PT0 or CK0 releases the lines it raised last
// (a controller that crashed must not leave the transmitter keyed); a line
// another client or a relay raised after it is left alone. Logged.
void ReleaseClientKeying(ServerState& state, std::uint64_t client);

// With --tx-timeout: releases the server's own PTT and CW lines once they
// have been held keyed that long, with a log line. Called every few hundred
// milliseconds.
void ReleaseOverdueKeying(ServerState& state);

}  // namespace brinmoor
