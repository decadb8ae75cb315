#include "ctl_protocol.h"

#include "common/text.h"

namespace brinmoor {

std::string_view ControlCommandOf(std::string_view frame) {
    // The server's dispatch order; the lengths matter: "PT" alone is a CAT
    // command, "PT1" is the PTT command.
    const std::size_t n = frame.size();
    if (frame == "QUIT") return "QUIT";
    if (frame == "PORTS") return "PORTS";
    if (frame == "STATUS") return "STATUS";
    if (n >= 4 && frame.starts_with("CFG")) return "CFG";
    if (frame == "PW") return "PW";
    if (n >= 2 && frame.starts_with("AG")) return "AG";
    if (n >= 3 && frame.starts_with("PT")) return "PT";
    if (n >= 3 && frame.starts_with("CK")) return "CK";
    return {};
}

std::vector<std::string> SplitCatCommands(const std::vector<std::string>& arguments) {
    std::vector<std::string> commands;
    for (const std::string& argument : arguments) {
        std::size_t start = 0;
        while (start <= argument.size()) {
            std::size_t end = argument.find(';', start);
            if (end == std::string::npos) end = argument.size();
            std::string_view piece(argument.data() + start, end - start);
            while (!piece.empty() && (piece.front() == ' ' || piece.front() == '\t' ||
                                      piece.front() == '\n' || piece.front() == '\r')) {
                piece.remove_prefix(1);
            }
            while (!piece.empty() && (piece.back() == ' ' || piece.back() == '\t' ||
                                      piece.back() == '\n' || piece.back() == '\r')) {
                piece.remove_suffix(1);
            }
            if (!piece.empty()) commands.push_back(AsciiUpper(piece));
            start = end + 1;
        }
    }
    return commands;
}

std::optional<std::string> DescribePower(std::string_view reply) {
    if (!reply.starts_with("PW") || reply.size() < 5) return std::nullopt;
    for (char c : reply.substr(2)) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    // "PW000" (three digits) is the answer before any CAT port was opened.
    if (reply == "PW000") return "no power reading: no CAT port has been opened yet";
    const char state = reply[2];
    std::string_view digits = reply.substr(3);
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    const std::string watts(digits);
    if (state == '2') return "transmitting, " + watts + " W";
    if (state == '0') {
        if (watts == "0") {
            return std::string(
                "receiving, set 0 W (the setting shows once a client has asked the "
                "radio: brinmoorctl cat PC)");
        }
        return "receiving, set " + watts + " W";
    }
    return std::nullopt;
}

}  // namespace brinmoor
