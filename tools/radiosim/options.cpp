#include "options.h"

#include <charconv>
#include <cstdio>

namespace brinmoor {
namespace {

constexpr char helpText[] =
    "Usage: brinmoor-radiosim [OPTION]...\n"
    "Plays a Kenwood-style transceiver on a pseudo-terminal, for trying brinmoor without a "
    "radio.\n"
    "The first line on standard output is the path of the terminal to open (e.g. /dev/pts/3),\n"
    "or with --tcp the port name for brinmoor (e.g. tcp:127.0.0.1:4000).\n"
    "\n"
    "Options (--name VALUE or --name=VALUE):\n"
    "  --id TEXT           identity answered to ID; (default 019); four characters\n"
    "                      (e.g. 0570) play the four-digit-ID dialect, anything\n"
    "                      else a Kenwood (three-digit-ID dialect)\n"
    "  --meter N           RM5; meter reading 0-999 (default 0)\n"
    "  --delay MS          wait MS milliseconds before each answer (default 0)\n"
    "  --silent            never answer, send no reports (a radio that is switched off)\n"
    "  --question          answer ?; to every command\n"
    "  --quiet-unknown     no answer to a command the radio refuses (instead of ?;)\n"
    "  --auto-info MS      while AI is not 0, send FA...;IF...; every MS milliseconds\n"
    "  --auto-info-always  send those reports whatever AI is (every 1000 ms by default)\n"
    "  --link PATH         make PATH a symbolic link to the terminal (removed at exit)\n"
    "  --tcp PORT          instead of a terminal, listen on 127.0.0.1:PORT (0: any free\n"
    "                      port) as a serial device server does, one connection at a time\n"
    "  --log               show commands (\"rx FA;\") and answers (\"tx ...\") on stderr\n"
    "  --help, --version\n"
    "\n"
    "Commands, case-sensitive, each ended by ;:\n"
    "  ID                  ID and the identity\n"
    "  FA, FB              FA and 11 digits (Hz); FA<11 digits> sets\n"
    "  IF                  IF, frequency, mode and transmit state (index 28: 1 while\n"
    "                      transmitting; 38 characters)\n"
    "  MD, AI, FR, FT      the code and one digit; the code and a digit sets\n"
    "  PC                  PC and 3 digits (default 100); PC<3 digits> sets\n"
    "  PS                  PS1 (the radio is on)\n"
    "  RX                  unkeys the radio\n"
    "Three-digit ID (Kenwood):\n"
    "  TX, TX0, TX1, TX2   key the radio\n"
    "  RM                  RM1 and the 4-digit meter reading; RM1 to RM3 select\n"
    "  RG SH SL NB NR PA RA BC NT GT DA\n"
    "                      bare: the code and its digits (NB0); with digits: set\n"
    "                      (NB1, RG255)\n"
    "  AG, SQ, SM          also with a receiver digit: AG0 reads AG0 + 3 digits,\n"
    "                      AG0100 sets; SM only reads\n"
    "  FV                  FV1.00\n"
    "Four-digit ID:\n"
    "  TX                  TX0 receiving, TX2 transmitting; TX0, TX1, TX2 key the radio\n"
    "  MD0, MD1            read the mode (MD02); MD02 sets it\n"
    "  NR0, NR1            read noise reduction (NR00); NR01 sets it\n"
    "  RM5                 RM5 and the 3-digit meter reading\n"
    "A set command gets no answer; anything the radio does not know gets ?;.\n"
    "\n"
    "Control lines on standard input; each non-blank one gets one line on standard\n"
    "output, \"ok\" or \"error: REASON\" (count: \"count N\"):\n"
    "  tx on|off           key or unkey the radio\n"
    "  id TEXT             answer ID; with TEXT from now on, and speak its dialect\n"
    "                      (another radio behind the same line)\n"
    "  meter N             set the RM5 reading (0-999)\n"
    "  silent on|off       stop or resume answering\n"
    "  question on|off     answer ?; to everything, or not\n"
    "  delay MS            set the answer delay\n"
    "  send TEXT           write TEXT as it is to the terminal\n"
    "  stream N            write N bytes 'x' (no ;) to the terminal\n"
    "  hangup              with --tcp: end the connection (the next one is taken)\n"
    "  count               the number of commands received so far\n"
    "  quit                end; SIGINT and SIGTERM end too, end of input does not\n";

}  // namespace

std::optional<long long> ParseNumber(std::string_view text, long long low, long long high) {
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return {};
    if (value < low || value > high) return {};
    return value;
}

std::optional<int> ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string_view name = argv[i];
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
        auto number = [&](long long low, long long high) -> std::optional<int> {
            const auto given = text();
            if (!given) return std::nullopt;
            return ParseNumber(*given, low, high);
        };
        auto flag = [&](bool& target) {
            target = true;
            return !value;
        };

        bool ok = true;
        if (name == "--help") {
            std::fputs(helpText, stdout);
            return 0;
        } else if (name == "--version") {
            std::puts("brinmoor-radiosim " BRINMOOR_VERSION);
            return 0;
        } else if (name == "--id") {
            const auto id = text();
            ok = id && !id->empty() && id->find(';') == id->npos;
            if (ok) options.radio.id = *id;
        } else if (name == "--meter") {
            const auto n = number(0, 999);
            ok = n.has_value();
            options.radio.meter = n.value_or(0);
        } else if (name == "--delay") {
            const auto n = number(0, 600000);
            ok = n.has_value();
            options.delayMs = n.value_or(0);
        } else if (name == "--auto-info") {
            const auto n = number(1, 600000);
            ok = n.has_value();
            options.autoInfoMs = n.value_or(0);
        } else if (name == "--link") {
            const auto path = text();
            ok = path && !path->empty();
            if (ok) options.linkPath = *path;
        } else if (name == "--tcp") {
            const auto n = number(0, 65535);
            ok = n.has_value();
            options.tcpPort = n.value_or(-1);
        } else if (name == "--silent") {
            ok = flag(options.silent);
        } else if (name == "--question") {
            ok = flag(options.question);
        } else if (name == "--quiet-unknown") {
            ok = flag(options.quietUnknown);
        } else if (name == "--auto-info-always") {
            ok = flag(options.autoInfoAlways);
        } else if (name == "--log") {
            ok = flag(options.log);
        } else {
            std::fprintf(stderr, "brinmoor-radiosim: unknown option %s (see --help)\n", argv[i]);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "brinmoor-radiosim: bad or missing value for %.*s (see --help)\n",
                         static_cast<int>(name.size()), name.data());
            return 2;
        }
    }
    if (options.autoInfoAlways && options.autoInfoMs == 0) options.autoInfoMs = 1000;
    return std::nullopt;
}

}  // namespace brinmoor
