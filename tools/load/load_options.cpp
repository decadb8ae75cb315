#include "load_options.h"

#include <charconv>
#include <cstdio>
#include <string_view>
#include <type_traits>

namespace brinmoor::load {
namespace {

constexpr char kHelpText[] =
    "Usage: brinmoor-load [OPTION]...\n"
    "Drives brinmoor with many TCP clients on 127.0.0.1 for a while and checks that every\n"
    "query gets exactly one reply, the right one, in order. Starts brinmoor and the radio\n"
    "simulator (or uses the ones given), puts the CAT port on the radio with CFG, runs the\n"
    "clients with connection churn, ends the server with QUIT and prints a summary.\n"
    "Exit code 0 when nothing was wrong, missing or failed; 1 otherwise; 2 when it could\n"
    "not start.\n"
    "\n"
    "Options (--name VALUE or --name=VALUE):\n"
    "  --clients N         clients at once (default 200, 1-1000)\n"
    "  --seconds T         how long the clients send queries (default 30, 1-86400)\n"
    "  --reply-timeout S   a reply later than S seconds is missing (default 30, 1-600)\n"
    "  --churn N           a client hangs up after about N replies and comes back\n"
    "                      (default 40; 0: never)\n"
    "  --pace MS           a client waits 0 to MS ms between bursts (default 20, 0-10000)\n"
    "  --depth N           queries one client keeps in flight at most (default 3, 1-50)\n"
    "  --seed N            random seed (default: from the clock; printed)\n"
    "  --server PATH       the brinmoor binary to start (default: in this build tree)\n"
    "  --radiosim PATH     the radio simulator to start (default: in this build tree)\n"
    "  --attach PORT       use the server listening on 127.0.0.1:PORT instead\n"
    "  --pid PID           with --attach: the server's process, for its memory figures\n"
    "  --radio DEVICE      put the CAT port on DEVICE instead of a started simulator\n"
    "  --no-cfg            send no CFG (the attached server's CAT port is already set)\n"
    "  --quit              with --attach: end the server with QUIT afterwards\n"
    "  --verbose           show the server's error lines and every fault as it happens\n"
    "  --help\n"
    "\n"
    "The clients ask FA, FB, ID, IF, MD, PC, SM0, PW and PORTS and now and then set FA\n"
    "to the frequency read at the start, so every answer can be checked exactly.\n";

std::optional<long long> ParseNumber(std::string_view text, long long low, long long high) {
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return {};
    if (value < low || value > high) return {};
    return value;
}

}  // namespace

std::optional<int> ParseLoadOptions(int argc, char** argv, LoadOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const char* written = argv[i];
        std::string_view name = written;
        std::optional<std::string_view> value;
        if (const auto equals = name.find('='); name.starts_with("--") && equals != name.npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        auto text = [&]() -> std::optional<std::string_view> {
            if (value) return value;
            if (i + 1 < argc) return std::string_view(argv[++i]);
            return std::nullopt;
        };
        auto number = [&](auto& target, long long low, long long high) {
            const auto given = text();
            const auto parsed = given ? ParseNumber(*given, low, high) : std::nullopt;
            if (parsed) target = static_cast<std::remove_reference_t<decltype(target)>>(*parsed);
            return parsed.has_value();
        };
        auto path = [&](std::string& target) {
            const auto given = text();
            if (given && !given->empty()) target = *given;
            return given && !given->empty();
        };
        auto flag = [&](bool& target, bool setting) {
            target = setting;
            return !value;
        };
        bool ok = false;
        if (name == "--help") {
            std::fputs(kHelpText, stdout);
            return 0;
        } else if (name == "--clients") {
            ok = number(options.clients, 1, 1000);
        } else if (name == "--seconds") {
            ok = number(options.seconds, 1, 86400);
        } else if (name == "--reply-timeout") {
            ok = number(options.replyTimeoutSeconds, 1, 600);
        } else if (name == "--churn") {
            ok = number(options.churn, 0, 1000000);
        } else if (name == "--pace") {
            ok = number(options.paceMs, 0, 10000);
        } else if (name == "--depth") {
            ok = number(options.depth, 1, 50);
        } else if (name == "--seed") {
            ok = number(options.seed, 0, 0x7fffffffffffffffLL);
            options.seedGiven = ok;
        } else if (name == "--server") {
            ok = path(options.serverPath);
        } else if (name == "--radiosim") {
            ok = path(options.radiosimPath);
        } else if (name == "--attach") {
            ok = number(options.attachPort, 1, 65535);
        } else if (name == "--pid") {
            ok = number(options.pid, 1, 0x7fffffff);
        } else if (name == "--radio") {
            ok = path(options.radioDevice);
        } else if (name == "--no-cfg") {
            ok = flag(options.sendCfg, false);
        } else if (name == "--quit") {
            ok = flag(options.quitAtEnd, true);
        } else if (name == "--verbose") {
            ok = flag(options.verbose, true);
        }
        if (!ok) {
            const bool consumed = std::string_view(argv[i]) != written;
            std::fprintf(stderr, "brinmoor-load: bad option or value: %s%s%s\n", written,
                         consumed ? " " : "", consumed ? argv[i] : "");
            std::fputs("Try 'brinmoor-load --help'.\n", stderr);
            return 2;
        }
    }
    if (options.pid != 0 && options.attachPort == 0) {
        std::fputs("brinmoor-load: --pid needs --attach\n", stderr);
        return 2;
    }
    return std::nullopt;
}

}  // namespace brinmoor::load
