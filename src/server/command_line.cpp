#include "server/command_line.h"

#include <cstring>

#include "common/text.h"

namespace brinmoor {
namespace {

bool Is(const char* argument, const char* name) {
    return std::strcmp(argument, name) == 0;
}

}  // namespace

bool IsIpv4Address(std::string_view text) {
    int parts = 0;
    std::size_t i = 0;
    while (true) {
        const std::size_t start = i;
        std::size_t digits = 0;
        int value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
            value = value * 10 + (text[i] - '0');
            ++digits;
            ++i;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        if (digits > 1 && text[start] == '0') return false;  // no octal look-alikes
        ++parts;
        if (i == text.size()) return parts == 4;
        if (text[i] != '.' || parts == 4) return false;
        ++i;
    }
}

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine result;
    bool help = false;
    bool version = false;
    std::string refusal;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (Is(argument, "--help")) {
            help = true;
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
                          std::to_string(kMaxTxTimeoutSeconds) + ", not '" + value + "'.\n";
            }
        } else if (Is(argument, "--config") || Is(argument, "--bind")) {
            const bool config = Is(argument, "--config");
            if (!hasValue || argv[i + 1][0] == '\0') {
                if (refusal.empty()) {
                    refusal = std::string("[brinmoor] ") + argument +
                              (config ? " needs a file name.\n" : " needs an IPv4 address.\n");
                }
                continue;
            }
            const std::string value = argv[++i];
            if (config) {
                result.configPath = value;
            } else if (IsIpv4Address(value)) {
                result.bindAddress = value;
            } else if (refusal.empty()) {
                refusal = "[brinmoor] --bind needs an IPv4 address such as 127.0.0.1, not '" +
                          value + "'.\n";
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
    }
    return result;
}

std::string HelpText() {
    return "Usage: brinmoor [--port N] [--config FILE] [--bind ADDRESS] [--tx-timeout SECONDS]\n"
           "\n"
           "Shares one radio's CAT port among a controlling application and other\n"
           "station programs over TCP. Runs until a client sends \"QUIT;\", or until\n"
           "Ctrl-C or a termination signal; either way every keyed line is dropped.\n"
           "The radio's answer to ID; sets the commands the server uses: ID and three\n"
           "digits (Kenwood: TX; transmits, the state is read from IF;) or ID and four\n"
           "digits (TX; reads the state); until it answers, the server sends only ID;.\n"
           "\n"
           "Options:\n"
           "  --port N          TCP port to listen on, 1 to 65535 (default 4532)\n"
           "  --config FILE     file that keeps the CAT port settings between runs\n"
           "                    (default: brinmoor.json beside the executable)\n"
           "  --bind ADDRESS    IPv4 address to listen on (default: all interfaces)\n"
           "  --tx-timeout SECONDS\n"
           "                    release the server's own PTT or CW line once it has\n"
           "                    been keyed that long (default 0: never)\n"
           "  --help            show this text and exit\n"
           "  --version         show the version and exit\n";
}

std::string VersionText() {
    return std::string("brinmoor ") + BRINMOOR_VERSION + "\n";
}

}  // namespace brinmoor
