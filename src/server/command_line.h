#pragma once
// The server's command line: --port, --config, --station, --bind, --allow,
// --max-clients, --tx-timeout, --help, --version, and on Windows
// --install-service, --uninstall-service and --service.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/allow_list.h"
#include "server/server_state.h"

namespace brinmoor {

inline constexpr std::int32_t kMaxTxTimeoutSeconds = 86400;

// Far above any station's need (and the load tool's 200 clients), low enough
// that this many sessions fit a small machine (docs/reliability.md).
inline constexpr std::size_t kDefaultMaxClients = 256;
inline constexpr std::size_t kMostMaxClients = 10000;

enum class CommandLineAction { Run, Help, Version, Refuse, InstallService, UninstallService };

struct CommandLine {
    CommandLineAction action = CommandLineAction::Run;
    std::int32_t tcpPort = kDefaultTcpPort;
    std::string configPath;             // empty: brinmoor.json beside the executable
    std::string stationPath;            // empty: no station file
    std::string bindAddress;            // empty: every interface
    AllowList allow = *ParseAllowList(kDefaultAllow);
    std::size_t maxClients = kDefaultMaxClients;
    std::int32_t txTimeoutSeconds = 0;  // 0: off
    std::string refusal;                // the line for standard error when refused
    bool underServiceManager = false;   // --service: started by the Windows service manager
    std::vector<std::string> serviceOptions;  // --install-service: the options the service keeps
};

// --port N: converted like strtol in base 10 ("5000x" gives 5000); a value
// without digits or beyond 32 bits is ignored without a word, the last one
// that converts wins, and the value itself is examined as an argument too. A
// final value outside 1 to 65535 is refused. --tx-timeout takes whole seconds,
// 0 (off) to kMaxTxTimeoutSeconds; anything else is refused. --config,
// --station, --bind, --allow and --max-clients take the next argument as
// their value and refuse one they cannot use. Unknown arguments are ignored.
// --install-service keeps every other argument for the service once they are
// all accepted.
CommandLine ParseCommandLine(int argc, const char* const* argv);

// A dotted IPv4 address: four decimal numbers 0 to 255.
bool IsIpv4Address(std::string_view text);

std::string HelpText();
std::string VersionText();

}  // namespace brinmoor
