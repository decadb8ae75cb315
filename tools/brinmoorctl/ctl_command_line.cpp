#include "ctl_command_line.h"

#include <charconv>
#include <optional>
#include <string_view>

#include "server/command_line.h"

namespace brinmoor {
namespace {

std::optional<long> WholeNumber(std::string_view text, long low, long high) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return {};
    if (value < low || value > high) return {};
    return value;
}

// Checks the arguments of the command; empty when they are fine.
std::string CheckArguments(const std::string& command, const std::vector<std::string>& args) {
    const auto count = args.size();
    if (command == "ports" || command == "pw" || command == "quit") {
        return count == 0 ? "" : command + " takes no arguments";
    }
    if (command == "cfg" || command == "check") {
        return count == 1 ? "" : command + " needs one file name";
    }
    if (command == "ag") {
        if (count == 0) return "";
        if (count == 1 && WholeNumber(args[0], -2147483647L - 1, 2147483647L)) return "";
        return "ag takes at most one group number, such as 1 (or -1 for none)";
    }
    if (command == "ptt" || command == "cw") {
        if (count == 1 && (args[0] == "on" || args[0] == "off")) return "";
        return command + " needs on or off";
    }
    if (command == "status") {
        if (count == 0 || (count == 1 && args[0] == "--json")) return "";
        return "status takes no arguments but --json";
    }
    if (command == "watch") {
        if (count == 0 || (count == 1 && WholeNumber(args[0], 1, 1000000))) return "";
        return "watch takes at most a number of views, such as 10";
    }
    if (command == "cat") {
        return count > 0 ? "" : "cat needs at least one CAT command, such as FA";
    }
    return "unknown command '" + command + "'";
}

}  // namespace

CtlCommandLine ParseCtlCommandLine(const std::vector<std::string>& arguments) {
    CtlCommandLine line;
    auto refuse = [&line](std::string why) {
        if (line.refusal.empty()) line.refusal = std::move(why);
    };
    std::size_t i = 0;
    for (; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        if (name == "--help" || name == "-h") {
            line.action = CtlAction::Help;
            return line;
        }
        if (name == "--version") {
            line.action = CtlAction::Version;
            return line;
        }
        if (!name.starts_with("-")) break;
        std::optional<std::string> value;
        if (const auto equals = name.find('='); equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        } else if (i + 1 < arguments.size()) {
            value = arguments[++i];
        }
        if (name != "--host" && name != "--port" && name != "--timeout") {
            refuse("unknown option '" + name + "'");
            continue;
        }
        if (!value) {
            refuse(name + " needs a value");
            continue;
        }
        if (name == "--host") {
            const std::string host = *value == "localhost" ? "127.0.0.1" : *value;
            if (IsIpv4Address(host)) {
                line.host = host;
            } else {
                refuse("--host needs an IPv4 address such as 192.168.1.20 (or localhost), not '" +
                       *value + "'");
            }
        } else if (name == "--port") {
            if (const auto port = WholeNumber(*value, 1, 65535)) {
                line.port = static_cast<std::uint16_t>(*port);
            } else {
                refuse("--port needs a TCP port number from 1 to 65535, not '" + *value + "'");
            }
        } else if (const auto seconds = WholeNumber(*value, 1, 3600)) {
            line.timeout = std::chrono::seconds(*seconds);
        } else {
            refuse("--timeout needs a number of seconds from 1 to 3600, not '" + *value + "'");
        }
    }
    if (i < arguments.size()) {
        line.command = arguments[i];
        line.arguments.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                              arguments.end());
        refuse(CheckArguments(line.command, line.arguments));
    } else {
        refuse("no command given");
    }
    if (!line.refusal.empty()) line.action = CtlAction::Refuse;
    return line;
}

std::string CtlHelpText() {
    return "Usage: brinmoorctl [--host ADDRESS] [--port N] [--timeout SECONDS] COMMAND\n"
           "\n"
           "Talks to a running brinmoor server over its TCP protocol.\n"
           "\n"
           "Commands:\n"
           "  ports             show the server's status: TCP port and CAT port settings\n"
           "  status [--json]   show the station: the radio, the active app, the groups'\n"
           "                    ports and counters, the keying lines (--json: the document)\n"
           "  watch [N]         the same view, redrawn four times a second until Ctrl-C\n"
           "                    (or N times); survives the server's restart\n"
           "  cfg FILE.json     check a configuration document, then send it (CFG);\n"
           "                    with a CAT port, then ask the radio for ID there; with\n"
           "                    \"active\" (a station file), then make that group active\n"
           "  check FILE.json   only check a configuration document; needs no server\n"
           "  ag [N]            make app group N the active app; without N: none\n"
           "  pw                show whether the radio transmits, and its power\n"
           "  ptt on|off        key or unkey the server's own PTT line\n"
           "  cw on|off         key or unkey the server's own CW line\n"
           "  cat CMD...        send CAT commands to the radio and show its answers,\n"
           "                    e.g. cat FA ID or cat \"FA;IF;\" (letters go upper-cased)\n"
           "  quit              stop the server\n"
           "\n"
           "Options:\n"
           "  --host ADDRESS    the server's IPv4 address (default 127.0.0.1)\n"
           "  --port N          the server's TCP port (default 4532)\n"
           "  --timeout SECONDS how long to wait to connect and for each reply (default 10)\n"
           "  --help, --version\n"
           "\n"
           "Exit status: 0 done; 1 the server or the radio reported a failure, or the\n"
           "document has errors; 2 wrong command line; 3 the server could not be reached,\n"
           "closed the connection or did not reply in time.\n";
}

std::string CtlVersionText() {
    return std::string("brinmoorctl ") + BRINMOOR_VERSION + "\n";
}

}  // namespace brinmoor
