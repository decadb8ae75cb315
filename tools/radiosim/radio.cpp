#include "radio.h"

#include <algorithm>
#include <cstdio>

namespace brinmoor {
namespace {

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string ThreeDigits(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%03d", std::clamp(value, 0, 999));
    return text;
}

// A one-digit setting such as MD, AI, FR: the query reads it, the code with
// one digit in [low, high] sets it.
std::optional<std::string> DigitSetting(std::string_view code, std::string_view parameter,
                                        char& setting, char low, char high) {
    if (parameter.empty()) return std::string(code) + setting;
    if (parameter.size() != 1 || parameter[0] < low || parameter[0] > high) return "?";
    setting = parameter[0];
    return std::nullopt;
}

std::optional<std::string> Frequency(std::string_view code, std::string_view parameter,
                                     std::string& vfo) {
    if (parameter.empty()) return std::string(code) + vfo;
    if (parameter.size() != 11 || !AllDigits(parameter)) return "?";
    vfo = parameter;
    return std::nullopt;
}

}  // namespace

bool SpeaksFourDigitDialect(const Radio& radio) {
    return radio.id.size() == 4;
}

namespace {

// A level or switch read by its bare code (or with a receiver digit, 0 or 1)
// and set by the code, the optional receiver digit and `width` digits.
struct Level {
    std::string_view code;
    bool receiver;  // takes a receiver digit
    std::size_t width;
    bool settable;
};

// What Kenwood programs poll and change while they start and run.
constexpr Level kKenwoodLevels[] = {
    {"AG", true, 3, true},  {"SQ", true, 3, true},  {"SM", true, 4, false}, {"RG", false, 3, true},
    {"SH", false, 2, true}, {"SL", false, 2, true}, {"NB", false, 1, true}, {"NR", false, 1, true},
    {"PA", false, 1, true}, {"RA", false, 2, true}, {"BC", false, 1, true}, {"NT", false, 1, true},
    {"GT", false, 3, true}, {"DA", false, 1, true},
};
constexpr Level kFourDigitLevels[] = {{"NR", true, 1, true}};

std::optional<std::string> LevelAnswer(Radio& radio, const Level& level,
                                       std::string_view parameter) {
    auto isReceiver = [](char c) { return c == '0' || c == '1'; };
    // A bare code reads or sets receiver 0 of a level that has receivers.
    std::string key(level.code);
    std::string answer = key;  // the answer echoes the code and a receiver given
    if (level.receiver && parameter.size() == 1 && isReceiver(parameter[0])) {
        answer += parameter;
        key += parameter;
        parameter = {};
    } else if (level.receiver && parameter.size() == level.width + 1) {
        if (!isReceiver(parameter[0])) return "?";
        key += parameter[0];
        parameter.remove_prefix(1);
    } else if (level.receiver) {
        key += '0';
    }
    if (parameter.empty()) {
        const auto found = radio.levels.find(key);
        return answer +
               (found != radio.levels.end() ? found->second : std::string(level.width, '0'));
    }
    if (!level.settable || parameter.size() != level.width || !AllDigits(parameter)) return "?";
    radio.levels[key] = parameter;
    return std::nullopt;
}

// MD: bare it reads the mode. A four-digit radio reads it with a receiver
// digit (MD0, MD1) and sets it with two digits; a Kenwood sets it with one.
std::optional<std::string> Mode(Radio& radio, std::string_view parameter) {
    if (parameter.empty()) return std::string("MD") + radio.mode;
    if (SpeaksFourDigitDialect(radio) && (parameter == "0" || parameter == "1")) {
        return "MD" + std::string(parameter) + radio.mode;
    }
    if (SpeaksFourDigitDialect(radio) && parameter.size() == 2 && parameter[0] <= '1') {
        parameter.remove_prefix(1);
    }
    if (parameter.size() != 1 || !AllDigits(parameter)) return "?";
    radio.mode = parameter[0];
    return std::nullopt;
}

std::optional<std::string> FourDigitAnswer(Radio& radio, std::string_view code,
                                           std::string_view parameter) {
    if (code == "TX") {
        // Alone it reads the transmit state; TX0, TX1 and TX2 key the radio.
        if (parameter.empty()) return radio.transmitting ? "TX2" : "TX0";
        if (parameter.size() != 1 || parameter[0] < '0' || parameter[0] > '2') return "?";
        radio.transmitting = true;
        return std::nullopt;
    }
    if (code == "RM" && parameter == "5") return "RM5" + ThreeDigits(radio.meter);
    for (const Level& level : kFourDigitLevels) {
        if (level.code == code) return LevelAnswer(radio, level, parameter);
    }
    return "?";
}

std::optional<std::string> KenwoodAnswer(Radio& radio, std::string_view code,
                                         std::string_view parameter) {
    if (code == "TX") {
        // TX, TX0, TX1 and TX2 all key the transmitter; the state is in IF.
        if (parameter.size() > 1 ||
            (parameter.size() == 1 && (parameter[0] < '0' || parameter[0] > '2'))) {
            return "?";
        }
        radio.transmitting = true;
        return std::nullopt;
    }
    if (code == "RM") {
        // Bare: the selected meter's reading; RM1 to RM3 select a meter.
        // Appended, not "RM1" + ...: GCC 12 warns falsely on literal + string.
        if (parameter.empty()) return std::string("RM10").append(ThreeDigits(radio.meter));
        if (parameter.size() != 1 || parameter[0] < '1' || parameter[0] > '3') return "?";
        return std::nullopt;
    }
    if (code == "FV") return parameter.empty() ? std::optional<std::string>("FV1.00") : "?";
    for (const Level& level : kKenwoodLevels) {
        if (level.code == code) return LevelAnswer(radio, level, parameter);
    }
    return "?";
}

}  // namespace

std::optional<std::string> Answer(Radio& radio, std::string_view command) {
    if (command.size() < 2) return "?";
    const std::string_view code = command.substr(0, 2);
    const std::string_view parameter = command.substr(2);

    if (code == "ID") return parameter.empty() ? std::optional<std::string>("ID" + radio.id) : "?";
    if (code == "FA") return Frequency(code, parameter, radio.vfoA);
    if (code == "FB") return Frequency(code, parameter, radio.vfoB);
    if (code == "IF") return parameter.empty() ? std::optional(InformationReport(radio)) : "?";
    if (code == "MD") return Mode(radio, parameter);
    if (code == "AI") return DigitSetting(code, parameter, radio.autoInfo, '0', '4');
    if (code == "FR") return DigitSetting(code, parameter, radio.receiveVfo, '0', '1');
    if (code == "FT") return DigitSetting(code, parameter, radio.transmitVfo, '0', '1');
    if (code == "PS") return parameter.empty() ? std::optional<std::string>("PS1") : std::nullopt;
    if (code == "PC") {
        if (parameter.empty()) return "PC" + ThreeDigits(radio.powerSetting);
        if (parameter.size() != 3 || !AllDigits(parameter)) return "?";
        radio.powerSetting = std::stoi(std::string(parameter));
        return std::nullopt;
    }
    if (code == "RX") {
        if (!parameter.empty()) return "?";
        radio.transmitting = false;
        return std::nullopt;
    }
    return SpeaksFourDigitDialect(radio) ? FourDigitAnswer(radio, code, parameter)
                                         : KenwoodAnswer(radio, code, parameter);
}

std::string InformationReport(const Radio& radio) {
    const std::string& frequency = radio.receiveVfo == '1' ? radio.vfoB : radio.vfoA;
    std::string report = "IF" + frequency;
    report += "     ";  // frequency step
    report += "+0000";  // RIT/XIT offset: sign and 4 digits
    report += "000";    // RIT off, XIT off, memory bank
    report += "00";     // memory channel
    report += radio.transmitting ? '1' : '0';
    report += radio.mode;
    report += radio.receiveVfo;
    report += '0';                                                // scan
    report += radio.receiveVfo != radio.transmitVfo ? '1' : '0';  // split
    report += "0000";                                             // tone off, tone number, spare
    return report;
}

std::vector<std::string> CommandSplitter::Feed(std::string_view bytes) {
    std::vector<std::string> commands;
    for (char c : bytes) {
        if (c == ';') {
            if (!discarding && !pending.empty()) commands.push_back(pending);
            pending.clear();
            discarding = false;
        } else if (discarding) {
            continue;
        } else if (pending.empty() && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            continue;
        } else if (pending.size() >= maxCommand) {
            pending.clear();
            discarding = true;
        } else {
            pending += c;
        }
    }
    return commands;
}

}  // namespace brinmoor
