#pragma once
// What the server knows of the radio, learned from the traffic the CAT link
// already carries: every answer, every report the radio sends of its own
// accord and the stale input drained before a command. Nothing is asked of
// the radio for it. Read in the radio's dialect:
//   FA/FB and eleven (three-digit radios) or nine (four-digit) digits: VFO A/B;
//   MD and the mode (four-digit radios: MD0 and the main receiver's mode);
//   IF: the frequency and mode of the VFO in use, and on three-digit radios
//   the transmit state; TX (four-digit radios): the transmit state.
// Every change of frequency, mode or transmit state counts up `changes`, so
// that listeners learn of a change by comparing one number.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "radio/radio_dialect.h"

namespace brinmoor {

enum class RadioLinkState { Closed, Open, Lost };

struct RadioSnapshot {
    std::optional<std::uint64_t> vfoA;  // Hz
    std::optional<std::uint64_t> vfoB;
    std::string mode;                   // the mode's code as the radio writes it
    std::optional<bool> transmitting;
    std::size_t frequencyDigits = 11;   // as the radio writes FA and FB
    std::string lastIf;                 // the radio's last IF, without ";"
    std::uint64_t changes = 0;          // counts every change of the above
    std::optional<std::chrono::steady_clock::time_point> lastHeard;  // last message
    std::optional<std::chrono::steady_clock::time_point> lastIfAt;   // last IF message
    std::string id;                     // the answer to ID, such as "ID019"
    RadioDialect dialect = RadioDialect::Unknown;
    RadioLinkState link = RadioLinkState::Closed;
    std::string port;  // the CAT port's name while open or lost
    std::chrono::steady_clock::time_point lostSince;
};

// What an IF message says, by the layout of the dialect; empty fields when it
// says nothing of them.
struct InformationFields {
    std::optional<std::uint64_t> frequency;
    bool onVfoB = false;
    std::string mode;
    std::optional<bool> transmitting;

    bool operator==(const InformationFields&) const = default;
};
InformationFields ReadInformation(std::string_view message, RadioDialect dialect);

class RadioState {
  public:
    // One whole message from the radio (without ";"), answer or report.
    void NoteMessage(std::string_view message, RadioDialect dialect);
    // Messages cut from drained input: every complete one is noted.
    void NoteStream(std::string_view bytes, RadioDialect dialect);
    void NoteIdentity(std::string_view answer, RadioDialect dialect);
    // Lost keeps the first moment of a loss and the port's name.
    void NoteLink(RadioLinkState link, std::string_view port = {});

    RadioSnapshot Snapshot() const;
    std::uint64_t Changes() const { return changes.load(); }

  private:
    void ChangedLocked();

    mutable std::mutex mutex;
    RadioSnapshot state;
    std::atomic<std::uint64_t> changes{0};
};

// "FA" or "FB" and the frequency in the radio's width.
std::string FrequencyMessage(char vfo, std::uint64_t hertz, std::size_t digits);
// "MD" and the mode; four-digit radios name the main receiver ("MD0").
std::string ModeMessage(std::string_view mode, RadioDialect dialect);

}  // namespace brinmoor
