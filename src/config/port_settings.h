#pragma once
// One serial port's settings as a configuration entry gives them, and their
// text forms.
#include <cstdint>
#include <string>
#include <string_view>

#include "config/json.h"
#include "platform/serial_device.h"

namespace brinmoor {

struct PortSettings {
    std::string port;        // empty: not configured
    std::int32_t baud = 38400;
    std::int32_t bytesize = 8;
    char parity = 'N';       // N, E, O, M or S
    float stopbits = 1.0f;   // 1.0, 1.5 or 2.0
    std::string flow = "DTR";  // "DTR", "RTS" or "DTR/RTS"
};

// An empty name, or "NONE" in any letter case, configures no port.
bool IsNoPort(std::string_view name);

// Reads a port entry: "port", "baud", "bytesize", "parity", "stopbits", "flow".
// Never fails; whatever is missing or ill-typed takes its default.
PortSettings PortSettingsFromJson(const JsonValue& entry, std::int32_t defaultBaud,
                                  float defaultStopBits = 1.0f);

// Replaces the target with the parent's member named kindName, and sets
// present, unless that entry configures no port; then both are left alone.
void ReadPortEntry(const JsonValue& parent, std::string_view kindName, PortSettings& target,
                   bool& present, std::int32_t defaultBaud);

char ParseParity(const JsonValue& value, char fallback);
std::string ParityName(char code);
std::string StopBitsText(float value);

// How the serial layer reads the same values: the parity code upper-cased
// (anything unknown is no parity), the stop bits by the thresholds 1.4 and 1.9.
SerialParity SerialParityFromCode(char code);
SerialStopBits SerialStopBitsFromValue(float value);

}  // namespace brinmoor
