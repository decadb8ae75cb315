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

std::optional<std::string> Answer(Radio& radio, std::string_view command) {
    if (command.size() < 2) return "?";
    const std::string_view code = command.substr(0, 2);
    const std::string_view parameter = command.substr(2);

    if (code == "ID") return parameter.empty() ? std::optional<std::string>("ID" + radio.id) : "?";
    if (code == "FA") return Frequency(code, parameter, radio.vfoA);
    if (code == "FB") return Frequency(code, parameter, radio.vfoB);
    if (code == "IF") return parameter.empty() ? std::optional(InformationReport(radio)) : "?";
    if (code == "MD") return DigitSetting(code, parameter, radio.mode, '0', '9');
    if (code == "AI") return DigitSetting(code, parameter, radio.autoInfo, '0', '4');
    if (code == "FR") return DigitSetting(code, parameter, radio.receiveVfo, '0', '1');
    if (code == "FT") return DigitSetting(code, parameter, radio.transmitVfo, '0', '1');
    if (code == "PC") {
        if (parameter.empty()) return "PC" + ThreeDigits(radio.powerSetting);
        if (parameter.size() != 3 || !AllDigits(parameter)) return "?";
        radio.powerSetting = std::stoi(std::string(parameter));
        return std::nullopt;
    }
    if (code == "TX") {
        // Alone it reads the transmit state; TX0, TX1 and TX2 key the radio.
        if (parameter.empty()) return radio.transmitting ? "TX2" : "TX0";
        if (parameter.size() != 1 || parameter[0] < '0' || parameter[0] > '2') return "?";
        radio.transmitting = true;
        return std::nullopt;
    }
    if (code == "RX") {
        if (!parameter.empty()) return "?";
        radio.transmitting = false;
        return std::nullopt;
    }
    if (command == "RM5") return "RM5" + ThreeDigits(radio.meter);
    return "?";
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
