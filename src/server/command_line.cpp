#include "server/command_line.h"

#include <cstring>
#include <optional>
#include <utility>

#include "common/text.h"

namespace brinmoor {
namespace {

bool Is(const char* argument, const char* name) {
    return std::strcmp(argument, name) == 0;
}

std::string ValueNeeded(const std::string& option) {
    if (option == "--config" || option == "--station") return "a file name";
    if (option == "--bind") return "an IPv4 address";
    if (option == "--allow") return "a list of IPv4 addresses and blocks, or any";
    return "a number";
}

// Stores an option's value; what the option needs instead when it is unusable.
std::string TakeValue(const std::string& option, const std::string& value, CommandLine& result) {
    if (option == "--config") {
        result.configPath = value;
    } else if (option == "--station") {
        result.stationPath = value;
    } else if (option == "--bind") {
        if (!IsIpv4Address(value)) return "an IPv4 address such as 127.0.0.1";
        result.bindAddress = value;
    } else if (option == "--allow") {
        auto allow = ParseAllowList(value);
        if (!allow) {
            return "IPv4 addresses or blocks such as 192.168.1.0/24 separated by commas, or any";
        }
        result.allow = std::move(*allow);
    } else {
        const auto count = ParseDigits(value, 9);
        if (!count || *count < 1 || *count > kMostMaxClients) {
            return "a number from 1 to " + std::to_string(kMostMaxClients);
        }
        result.maxClients = *count;
    }
    return {};
}

}  // namespace

bool IsIpv4Address(std::string_view text) {
    return ParseIpv4(text).has_value();
}

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine result;
    bool help = false;
    bool version = false;
    bool install = false;
    bool uninstall = false;
    std::string refusal;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (Is(argument, "--install-service")) {
            install = true;
        } else if (Is(argument, "--service")) {
            result.underServiceManager = true;
        } else if (Is(argument, "--help")) {
            help = true;
        } else if (Is(argument, "--uninstall-service")) {
            uninstall = true;
        } else if (Is(argument, "--version")) {
            version = true;
        } else if (Is(argument, "--port")) {
            // The value is looked at again as an argument of its own.
            if (!hasValue) continue;
            if (auto port = ParseLeadingInt(argv[i + 1])) result.tcpPort = *port;
        } else if (Is(argument, "--tx-timeout")) {
            const std::string value = hasValue ? argv[++i] : "";
            const bool digits = !value.empty() && value.size() <= 5 &&
                                value.find_first_not_of("0123456789") == std::string::npos;
            const std::int32_t seconds = digits ? std::stoi(value) : -1;
            if (seconds >= 0 && seconds <= kMaxTxTimeoutSeconds) {
                result.txTimeoutSeconds = seconds;
            } else if (refusal.empty()) {
                refusal = "[brinmoor] --tx-timeout needs whole seconds from 0 (off) to " +
                          std::to_string(kMaxTxTimeoutSeconds) + ", not '" +
                          EscapeControlBytes(value) + "'.\n";
            }
        } else if (Is(argument, "--config") || Is(argument, "--station") ||
                   Is(argument, "--bind") || Is(argument, "--allow") ||
                   Is(argument, "--max-clients")) {
            const std::string name = argument;
            if (!hasValue || argv[i + 1][0] == '\0') {
                if (refusal.empty()) {
                    refusal = "[brinmoor] " + name + " needs " + ValueNeeded(name) + ".\n";
                }
                continue;
            }
            const std::string value = argv[++i];
            const std::string problem = TakeValue(name, value, result);
            if (!problem.empty() && refusal.empty()) {
                refusal = "[brinmoor] " + name + " needs " + problem + ", not '" +
                          EscapeControlBytes(value) + "'.\n";
            }
        }
    }
    if (refusal.empty() && (result.tcpPort < 1 || result.tcpPort > 65535)) {
        refusal = "[brinmoor] TCP port " + std::to_string(result.tcpPort) +
                  " is out of range: use 1 to 65535.\n";
    }
    if (help) {
        result.action = CommandLineAction::Help;
    } else if (version) {
        result.action = CommandLineAction::Version;
    } else if (!refusal.empty()) {
        result.action = CommandLineAction::Refuse;
        result.refusal = refusal;
    } else if (uninstall) {
        result.action = CommandLineAction::UninstallService;
    } else if (install) {
        result.action = CommandLineAction::InstallService;
        for (int i = 1; i < argc; ++i) {
            if (!Is(argv[i], "--install-service") && !Is(argv[i], "--service")) {
                result.serviceOptions.push_back(argv[i]);
            }
        }
    }
    return result;
}

std::string HelpText() {
    return "Usage: brinmoor [--port N] [--config FILE] [--station FILE] [--bind ADDRESS]\n"
           "               [--allow LIST] [--max-clients N] [--tx-timeout SECONDS]\n"
           "\n"
           "Shares one radio's CAT port among a controlling application and other\n"
           "station programs over TCP. Runs until a client sends \"QUIT;\", or until\n"
           "Ctrl-C or a termination signal; either way every keyed line is dropped.\n"
           "Every client may key the transmitter and stop the server: let only\n"
           "the station's own machines reach it (--bind, --allow).\n"
           "The radio's answer to ID; sets the commands the server uses: ID and three\n"
           "digits (Kenwood: TX; transmits, the state is read from IF;) or ID and four\n"
           "digits (TX; reads the state); until it answers, the server sends only ID;.\n"
           "Port names: a serial device (COM5, /dev/ttyUSB0); tcp:PORT or\n"
           "tcp:ADDRESS:PORT, where an app group's program connects (127.0.0.1 unless\n"
           "an address is given; the radio's CAT port connects out to a serial server\n"
           "there); pty:PATH (Linux), a pseudo-terminal made for a program, PATH a link\n"
           "to it. PTT, CW and the server's own ports need serial devices.\n"
           "\n"
           "Options:\n"
           "  --port N          TCP port to listen on, 1 to 65535 (default 4532)\n"
           "  --config FILE     file that keeps the CAT port settings between runs\n"
           "                    (default: brinmoor.json beside the executable)\n"
           "  --station FILE    a CFG document applied at start-up, before any client:\n"
           "                    app groups, the server's own ports, and \"active\", the\n"
           "                    app group made active\n"
           "  --bind ADDRESS    IPv4 address to listen on (default: all interfaces)\n"
           "  --allow LIST      who may connect: IPv4 addresses and blocks separated\n"
           "                    by commas (192.168.1.0/24,10.8.0.5), or any. Default:\n"
           "                    loopback, the private ranges 10.0.0.0/8, 172.16.0.0/12,\n"
           "                    192.168.0.0/16, link-local 169.254.0.0/16 and\n"
           "                    100.64.0.0/10 (mesh VPNs). Others are closed at once.\n"
           "  --max-clients N   clients served at once, 1 to 10000 (default 256);\n"
           "                    a connection beyond them is closed at once\n"
           "  --tx-timeout SECONDS\n"
           "                    release the server's own PTT or CW line once it has\n"
           "                    been keyed that long (default 0: never)\n"
           "  --install-service [OPTION]...\n"
           "                    (Windows) register the service \"brinmoor\", started at\n"
           "                    boot with the other options given; needs an administrator\n"
           "  --uninstall-service\n"
           "                    (Windows) stop and remove the service\n"
           "  --help            show this text and exit\n"
           "  --version         show the version and exit\n";
}

std::string VersionText() {
    return std::string("brinmoor ") + BRINMOOR_VERSION + "\n";
}

}  // namespace brinmoor
