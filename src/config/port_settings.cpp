#include "config/port_settings.h"

#include <cmath>

#include "common/text.h"

namespace brinmoor {

bool IsNoPort(std::string_view name) {
    return name.empty() || EqualsIgnoreAsciiCase(name, "NONE");
}

namespace {

// "baud": a Number member truncated to 32 bits (NaN or out of range gives
// -2147483648); a quoted baud rate is not read and gives the default.
std::int32_t ReadBaud(const JsonValue& entry, std::int32_t defaultBaud) {
    if (!JsonHasMember(entry, "baud")) return defaultBaud;
    const JsonValue& baud = JsonMember(entry, "baud");
    if (baud.kind != JsonKind::Number) return defaultBaud;
    return JsonToInt(baud, defaultBaud);
}

}  // namespace

PortSettings PortSettingsFromJson(const JsonValue& entry, std::int32_t defaultBaud,
                                  float defaultStopBits) {
    PortSettings settings;
    settings.port = JsonText(JsonMember(entry, "port"));
    settings.baud = ReadBaud(entry, defaultBaud);
    settings.bytesize = JsonToInt(JsonMember(entry, "bytesize"), 8);
    settings.parity = ParseParity(JsonMember(entry, "parity"), 'N');
    settings.stopbits = JsonToFloat(JsonMember(entry, "stopbits"), defaultStopBits);
    settings.flow = JsonText(JsonMember(entry, "flow"));
    if (settings.flow.empty()) settings.flow = "DTR";
    return settings;
}

void ReadPortEntry(const JsonValue& parent, std::string_view kindName, PortSettings& target,
                   bool& present, std::int32_t defaultBaud) {
    const JsonValue& entry = JsonMember(parent, kindName);
    if (IsNoPort(JsonText(JsonMember(entry, "port")))) return;
    target = PortSettingsFromJson(entry, defaultBaud);
    present = true;
}

char ParseParity(const JsonValue& value, char fallback) {
    if (value.kind != JsonKind::String) return fallback;
    const std::string name = AsciiLower(value.text);
    if (name == "none" || name == "n") return 'N';
    if (name == "even" || name == "e") return 'E';
    if (name == "odd" || name == "o") return 'O';
    if (name == "mark" || name == "m") return 'M';
    if (name == "space" || name == "s") return 'S';
    return fallback;
}

std::string ParityName(char code) {
    switch (code) {
        case 'E':
            return "even";
        case 'M':
            return "mark";
        case 'O':
            return "odd";
        case 'S':
            return "space";
        default:
            return "none";
    }
}

std::string StopBitsText(float value) {
    // The same thresholds the serial layer opens the port with.
    switch (SerialStopBitsFromValue(value)) {
        case SerialStopBits::Two:
            return "2";
        case SerialStopBits::OneAndHalf:
            return "1.5";
        case SerialStopBits::One:
            break;
    }
    return "1";
}

SerialParity SerialParityFromCode(char code) {
    switch (code) {
        case 'E':
        case 'e':
            return SerialParity::Even;
        case 'M':
        case 'm':
            return SerialParity::Mark;
        case 'O':
        case 'o':
            return SerialParity::Odd;
        case 'S':
        case 's':
            return SerialParity::Space;
        default:
            return SerialParity::None;
    }
}

SerialStopBits SerialStopBitsFromValue(float value) {
    // Single-precision thresholds; a NaN fails both tests and gives one.
    if (value >= 1.9f) return SerialStopBits::Two;
    if (value >= 1.4f) return SerialStopBits::OneAndHalf;
    return SerialStopBits::One;
}

}  // namespace brinmoor
