#include "radio/radio_state.h"

#include <algorithm>

#include "common/text.h"

namespace brinmoor {
namespace {

using Clock = std::chrono::steady_clock;

// Where the fields of IF sit. Three-digit radios: "IF", 11 digits of
// frequency, step, RIT offset, RIT/XIT, memory channel, then the TX/RX digit
// (28), the mode (29) and the VFO in use (30). Four-digit radios: "IF", the
// memory channel (3), 9 digits of frequency, the clarifier, then the mode
// (21), 27 characters in all: an IF of another length is not read.
struct InformationLayout {
    std::size_t frequencyAt;
    std::size_t frequencyDigits;
    std::size_t modeAt;
    std::optional<std::size_t> transmitAt;
    std::optional<std::size_t> vfoAt;
    std::optional<std::size_t> length;
};
constexpr InformationLayout kThreeDigitIf{2, 11, 29, 28, 30, std::nullopt};
constexpr InformationLayout kFourDigitIf{5, 9, 21, std::nullopt, std::nullopt, 27};

std::optional<std::uint64_t> Frequency(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    return ParseDigits(digits, 18);
}

bool IsModeCode(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
}

}  // namespace

InformationFields ReadInformation(std::string_view message, RadioDialect dialect) {
    InformationFields fields;
    if (message.substr(0, 2) != "IF" || dialect == RadioDialect::Unknown) return fields;
    const InformationLayout& layout =
        dialect == RadioDialect::FourDigit ? kFourDigitIf : kThreeDigitIf;
    if (message.size() <= layout.modeAt) return fields;
    if (layout.length && message.size() != *layout.length) return fields;
    fields.frequency = Frequency(message.substr(layout.frequencyAt, layout.frequencyDigits));
    if (IsModeCode(message[layout.modeAt])) fields.mode = std::string(1, message[layout.modeAt]);
    if (layout.transmitAt) fields.transmitting = message[*layout.transmitAt] == '1';
    if (layout.vfoAt && message.size() > *layout.vfoAt) {
        fields.onVfoB = message[*layout.vfoAt] == '1';
    }
    return fields;
}

void RadioState::NoteMessage(std::string_view message, RadioDialect dialect) {
    if (message.size() < 2) return;
    const std::string_view code = message.substr(0, 2);
    const std::string_view rest = message.substr(2);
    const bool fourDigit = dialect == RadioDialect::FourDigit;
    std::lock_guard<std::mutex> guard(mutex);
    const RadioSnapshot before = state;
    state.lastHeard = Clock::now();
    if (code == "FA" || code == "FB") {
        if (const auto hertz = Frequency(rest)) {
            (code == "FA" ? state.vfoA : state.vfoB) = *hertz;
            state.frequencyDigits = rest.size();
        }
    } else if (code == "MD") {
        // Four-digit radios name the receiver first; only the main one counts.
        if (fourDigit && rest.size() == 2 && rest[0] == '0' && IsModeCode(rest[1])) {
            state.mode = std::string(rest.substr(1));
        } else if (!fourDigit && rest.size() == 1 && IsModeCode(rest[0])) {
            state.mode = std::string(rest);
        }
    } else if (code == "TX" && fourDigit && rest.size() == 1) {
        state.transmitting = rest[0] != '0';
    } else if (code == "IF") {
        const InformationFields fields = ReadInformation(message, dialect);
        if (fields.frequency) (fields.onVfoB ? state.vfoB : state.vfoA) = *fields.frequency;
        if (!fields.mode.empty()) state.mode = fields.mode;
        if (fields.transmitting) state.transmitting = fields.transmitting;
        state.lastIf = std::string(message);
        state.lastIfAt = state.lastHeard;
        // A new IF that says something else is news for IF's listeners even
        // when an FA or MD told the rest before it.
        if (ReadInformation(before.lastIf, dialect) != fields) {
            ChangedLocked();
            return;
        }
    }
    if (state.vfoA != before.vfoA || state.vfoB != before.vfoB || state.mode != before.mode ||
        state.transmitting != before.transmitting) {
        ChangedLocked();
    }
}

void RadioState::NoteStream(std::string_view bytes, RadioDialect dialect) {
    std::size_t start = 0;
    for (std::size_t end = bytes.find(';'); end != std::string_view::npos;
         end = bytes.find(';', start)) {
        NoteMessage(bytes.substr(start, end - start), dialect);
        start = end + 1;
    }
}

void RadioState::NoteIdentity(std::string_view answer, RadioDialect dialect) {
    std::lock_guard<std::mutex> guard(mutex);
    state.id = std::string(answer);
    state.dialect = dialect;
    state.lastHeard = Clock::now();
}

void RadioState::NoteLink(RadioLinkState link, std::string_view port) {
    std::lock_guard<std::mutex> guard(mutex);
    if (link == RadioLinkState::Lost && state.link == RadioLinkState::Lost) return;
    if (link == RadioLinkState::Lost) state.lostSince = Clock::now();
    state.link = link;
    if (link == RadioLinkState::Closed) state.port.clear();
    if (link != RadioLinkState::Open) return;
    // Another radio may answer on this opening: what the last one said goes.
    const std::uint64_t count = state.changes;
    state = RadioSnapshot{};
    state.link = link;
    state.port = std::string(port);
    state.changes = count;
    ChangedLocked();
}

RadioSnapshot RadioState::Snapshot() const {
    std::lock_guard<std::mutex> guard(mutex);
    return state;
}

void RadioState::ChangedLocked() {
    state.changes = changes.fetch_add(1) + 1;
}

std::string FrequencyMessage(char vfo, std::uint64_t hertz, std::size_t digits) {
    std::string number = std::to_string(hertz);
    if (number.size() < digits) number.insert(0, digits - number.size(), '0');
    return std::string("F") + vfo + number;
}

std::string ModeMessage(std::string_view mode, RadioDialect dialect) {
    return (dialect == RadioDialect::FourDigit ? "MD0" : "MD") + std::string(mode);
}

}  // namespace brinmoor
