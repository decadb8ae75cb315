#include "radio/port_entry.h"

#include <charconv>

#include "common/text.h"

namespace brinmoor {
namespace {

std::string NumberText(double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

std::string ValueText(const JsonValue& value) {
    if (value.kind == JsonKind::Number) return NumberText(value.number);
    // Appended piece by piece: GCC 12 at -O3 warns falsely about "..." + std::string.
    std::string text = "\"";
    text += JsonEscape(value.text);
    text += '"';
    return text;
}

// Whether the number, cut toward zero, lies in low..high (low at least 1).
// A NaN fails as well.
bool TruncatesInto(double value, double low, double high) {
    return value >= low && value < high + 1.0;
}

std::string BaudProblem(const JsonValue& entry) {
    // A quoted baud rate is not read at all (the default applies).
    const JsonValue& baud = JsonMember(entry, "baud");
    if (baud.kind != JsonKind::Number || TruncatesInto(baud.number, 1, kMostBaud)) return {};
    return "baud " + ValueText(baud) + " is out of range (1 to 4000000)";
}

std::string ByteSizeProblem(const JsonValue& entry) {
    const JsonValue& bytesize = JsonMember(entry, "bytesize");
    bool inRange = true;
    if (bytesize.kind == JsonKind::Number) {
        inRange = TruncatesInto(bytesize.number, 5, 8);
    } else if (bytesize.kind == JsonKind::String) {
        const auto value = ParseLeadingInt(bytesize.text);
        inRange = !value || (*value >= 5 && *value <= 8);
    }
    return inRange ? std::string()
                   : "bytesize " + ValueText(bytesize) + " is out of range (5 to 8)";
}

std::string ParityProblem(const JsonValue& entry) {
    const JsonValue& parity = JsonMember(entry, "parity");
    if (parity.kind != JsonKind::String || parity.text.empty()) return {};
    if (ParseParity(parity, '?') != '?') return {};
    return "parity " + ValueText(parity) + " is not none, even, odd, mark or space";
}

std::string StopBitsProblem(const JsonValue& entry) {
    const JsonValue& stopbits = JsonMember(entry, "stopbits");
    double value = 1.0;
    if (stopbits.kind == JsonKind::Number) {
        value = stopbits.number;
    } else if (stopbits.kind == JsonKind::String) {
        value = JsonToFloat(stopbits, 1.0f);  // text that is no number: the default
    }
    if (value == 1.0 || value == 1.5 || value == 2.0) return {};
    return "stopbits " + ValueText(stopbits) + " is not 1, 1.5 or 2";
}

}  // namespace

std::string PortEntryProblem(const JsonValue& entry) {
    if (HasControlByte(JsonText(JsonMember(entry, "port")))) {
        return "a port name cannot hold control characters";
    }
    for (auto check : {BaudProblem, ByteSizeProblem, ParityProblem, StopBitsProblem}) {
        std::string problem = check(entry);
        if (!problem.empty()) return problem;
    }
    return {};
}

std::string EndpointProblem(std::string_view name, PortUse use) {
    const EndpointName endpoint = ParseEndpointName(name);
    if (endpoint.kind == EndpointKind::Serial) return {};
    if (!endpoint.problem.empty()) return endpoint.problem;
    const bool pty = endpoint.kind == EndpointKind::Pty;
    switch (use) {
        case PortUse::Radio:
            if (pty) return "the radio's CAT port is a serial device or tcp:ADDRESS:PORT";
            return {};
        case PortUse::ServerOwn:
            return "the server's own ports are serial devices; tcp: and pty: serve app groups";
        case PortUse::GroupLine:
            return "PTT and CW keying needs a serial port's modem lines, which tcp: and pty: "
                   "lack (TX; and RX; on the group's CAT port key the radio)";
        case PortUse::GroupData:
            break;
    }
    if (pty && !kHasPseudoTerminals) {
        return "pty: endpoints exist only on Linux; use tcp: or a virtual null-modem pair";
    }
    return {};
}

std::string PortRefusalLine(std::string_view what, std::string_view name,
                            std::string_view problem, std::string_view tag) {
    return std::string(tag) + " " + std::string(what) + " port " + EscapeControlBytes(name) +
           " refused: " + std::string(problem) + "\n";
}

std::string PortEntryRefusal(const JsonValue& entry, std::string_view what, PortUse use) {
    const std::string name = JsonText(JsonMember(entry, "port"));
    if (const std::string problem = PortEntryProblem(entry); !problem.empty()) {
        return PortRefusalLine(what, name, problem);
    }
    if (const std::string problem = EndpointProblem(name, use); !problem.empty()) {
        const bool group = use == PortUse::GroupData || use == PortUse::GroupLine;
        return PortRefusalLine(what, name, problem, group ? "[relay]" : "[config]");
    }
    return {};
}

}  // namespace brinmoor
