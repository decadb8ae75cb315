#include "server/local_ports.h"

#include <cstdint>
#include <string>

#include "common/log.h"
#include "common/text.h"
#include "config/port_settings.h"
#include "radio/port_entry.h"

namespace brinmoor {
namespace {

constexpr std::int32_t kLineBaud = 38400;
constexpr float kLineStopBits = 1.0f;
constexpr std::int32_t kWinKeyBaud = 1200;
constexpr float kWinKeyStopBits = 2.0f;
constexpr std::int32_t kFskBaud = 45;
constexpr float kFskStopBits = 1.5f;

// The entry's "flow" text, or the fallback when it is missing, not a text or empty.
std::string LineName(const JsonValue& entry, const char* fallback) {
    std::string line = JsonText(JsonMember(entry, "flow"));
    return line.empty() ? fallback : line;
}

std::string PortName(const JsonValue& entry) {
    return JsonText(JsonMember(entry, "port"));
}

void LogOpenFailure(std::string_view name, const std::string& port) {
    LogOut("[brinmoor] Failed to open " + std::string(name) + " port " + EscapeControlBytes(port) +
           "\n");
}

}  // namespace

std::shared_ptr<KeyingLine> OpenLocalLine(const JsonValue& ports, std::string_view name) {
    const JsonValue& entry = JsonMember(ports, name);
    const std::string port = PortName(entry);
    if (IsNoPort(port)) return nullptr;
    auto line = std::make_shared<KeyingLine>();
    // An empty or missing "flow" keys DTR.
    if (!OpenLine(*line, PortSettingsFromJson(entry, kLineBaud, kLineStopBits))) {
        LogOpenFailure(name, port);
        return nullptr;
    }
    return line;
}

std::shared_ptr<SerialPort> OpenLocalSerialPort(const JsonValue& ports, std::string_view name,
                                                std::int32_t defaultBaud, float defaultStopBits) {
    const JsonValue& entry = JsonMember(ports, name);
    const std::string port = PortName(entry);
    if (IsNoPort(port)) return nullptr;
    auto serial = std::make_shared<SerialPort>();
    if (!LockedOpenPort(*serial, PortSettingsFromJson(entry, defaultBaud, defaultStopBits))) {
        LogOpenFailure(name, port);
        return nullptr;
    }
    return serial;
}

void ApplyLocalPorts(ServerState& state, const JsonValue& document) {
    // Every line is dropped and every port released before any is opened
    // again, so the same devices can be named once more.
    CloseLocalPorts(state);
    const JsonValue& ports = JsonMember(document, "ports");

    const std::shared_ptr<KeyingLine> ptt = OpenLocalLine(ports, "PTT");
    state.pttLine.Replace(ptt);

    const JsonValue& cwEntry = JsonMember(ports, "CW");
    const std::string cwPort = PortName(cwEntry);
    const std::string pttPort = PortName(JsonMember(ports, "PTT"));
    if (!IsNoPort(cwPort)) {
        // One cable may carry both keying lines; the port is then opened once.
        const bool shares =
            ptt != nullptr && !pttPort.empty() && EqualsIgnoreAsciiCase(cwPort, pttPort);
        auto cw = std::make_shared<KeyingLine>();
        if (shares) {
            std::shared_ptr<KeyingLine> owner = ptt->Owns() ? ptt : ptt->Shared();
            cw->ShareWith(std::move(owner), LineName(cwEntry, "RTS"));
            state.cwLine.Replace(std::move(cw));
        } else {
            if (OpenLine(*cw, PortSettingsFromJson(cwEntry, kLineBaud, kLineStopBits))) {
                state.cwLine.Replace(std::move(cw));
            } else {
                LogOpenFailure("CW", cwPort);
            }
        }
    }

    state.winkeyPort.Replace(OpenLocalSerialPort(ports, "WinKey", kWinKeyBaud, kWinKeyStopBits));
    state.fskPort.Replace(OpenLocalSerialPort(ports, "FSK", kFskBaud, kFskStopBits));
}

}  // namespace brinmoor
