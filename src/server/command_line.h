#pragma once
// The server's command line: --port, --config, --bind, --tx-timeout, --help,
// --version.
#include <cstdint>
#include <string>
#include <string_view>

#include "server/server_state.h"

namespace brinmoor {

inline constexpr std::int32_t kMaxTxTimeoutSeconds = 86400;

enum class CommandLineAction { Run, Help, Version, Refuse };

struct CommandLine {
    CommandLineAction action = CommandLineAction::Run;
    std::int32_t tcpPort = kDefaultTcpPort;
    std::string configPath;             // empty: brinmoor.json beside the executable
    std::string bindAddress;            // empty: every interface
    std::int32_t txTimeoutSeconds = 0;  // 0: off
    std::string refusal;                // the line for standard error when refused
};

// --port N: converted like strtol in base 10 ("5000x" gives 5000); a value
// without digits or beyond 32 bits is ignored without a word, the last one
// that converts wins, and the value itself is examined as an argument too. A
// final value outside 1 to 65535 is refused. --tx-timeout takes whole seconds,
// 0 (off) to kMaxTxTimeoutSeconds; anything else is refused. Unknown
// arguments are ignored.
CommandLine ParseCommandLine(int argc, const char* const* argv);

// A dotted IPv4 address: four decimal numbers 0 to 255.
bool IsIpv4Address(std::string_view text);

std::string HelpText();
std::string VersionText();

}  // namespace brinmoor
