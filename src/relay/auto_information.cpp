#include "relay/auto_information.h"

#include "relay/cat_relay.h"

namespace brinmoor {

AutoInformation::AutoInformation(RadioState& radio, GroupActivity& activity, bool listenOnly)
    : radio(radio), activity(activity), listenOnly(listenOnly) {
    // A listening device is told the radio's state as soon as it is known.
    if (listenOnly) seen = radio.Changes() - 1;
}

std::optional<std::string> AutoInformation::Handle(std::string_view command) {
    if (command.substr(0, 2) != "AI") return std::nullopt;
    const std::string_view setting = command.substr(2);
    if (setting.empty()) return "AI" + std::string(1, activity.autoInformation.load()) + ";";
    const char highest = radio.Snapshot().dialect == RadioDialect::FourDigit ? '1' : '4';
    if (setting.size() != 1 || setting[0] < '0' || setting[0] > highest) return "?;";
    const bool wasWanted = Wanted();
    activity.autoInformation.store(setting[0]);
    if (!wasWanted && Wanted()) {
        // Turned on: from now on the program hears of changes, not of the past.
        const RadioSnapshot state = radio.Snapshot();
        seen = state.changes;
        vfoA = state.vfoA;
        vfoB = state.vfoB;
        mode = state.mode;
        information = ReadInformation(state.lastIf, state.dialect);
        transmitting = state.transmitting;
    }
    return std::string();
}

bool AutoInformation::Wanted() const {
    return listenOnly || activity.autoInformation.load() != '0';
}

std::string AutoInformation::DueReports() {
    if (!Wanted() || radio.Changes() == seen) return {};
    const RadioSnapshot state = radio.Snapshot();
    seen = state.changes;
    if (!IsIdentified(state.dialect)) return {};
    std::string reports;
    if (state.vfoA && state.vfoA != vfoA) {
        reports += FrequencyMessage('A', *state.vfoA, state.frequencyDigits) + ";";
    }
    if (state.vfoB && state.vfoB != vfoB) {
        reports += FrequencyMessage('B', *state.vfoB, state.frequencyDigits) + ";";
    }
    if (!state.mode.empty() && state.mode != mode) {
        reports += ModeMessage(state.mode, state.dialect) + ";";
    }
    const InformationFields fields = ReadInformation(state.lastIf, state.dialect);
    if (!state.lastIf.empty() && (fields != information || state.transmitting != transmitting)) {
        reports += state.lastIf + ";";
        information = fields;
        transmitting = state.transmitting;
    }
    vfoA = state.vfoA;
    vfoB = state.vfoB;
    mode = state.mode;
    return reports;
}

std::string ReadCommandBetweenReports(SerialPort& port, AutoInformation& reports) {
    if (!reports.Wanted()) return port.ReadUntil(';', kCatRelayIdleMs);
    std::string command;
    int idleMs = 0;
    while (idleMs < kCatRelayIdleMs && command.size() < kMaxSerialMessage) {
        if (command.empty()) {
            const std::string due = reports.DueReports();
            if (!due.empty()) port.Write(due);
        }
        const std::string byte = port.ReadCount(1, kSerialPollMs);
        if (byte.empty()) {
            idleMs += kSerialPollMs;
            // The relay looks at its running flag between commands.
            if (command.empty() && idleMs >= kCatRelayIdleMs) break;
            continue;
        }
        idleMs = 0;
        if (byte[0] == ';') return command;
        command += byte[0];
    }
    return command;
}

}  // namespace brinmoor
