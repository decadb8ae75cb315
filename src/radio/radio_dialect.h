#pragma once
// Which command set the radio speaks, as its answer to "ID" tells.
//   "ID" and four digits: "TX;" reads the transmit state, and a digit after
//   the code picks the main or sub receiver ("MD0;" reads the main mode).
//   "ID" and three digits (Kenwood's radios and their compatibles): "TX;"
//   keys the transmitter and "RX;" unkeys it, "MD1;" switches to LSB, and the
//   transmit state is the TX/RX digit of the "IF;" answer.
// Until the radio has identified itself the dialect is Unknown: the server
// sends it nothing of its own but "ID;", and a command is a read only if it
// reads in both dialects.
#include <cstdint>
#include <optional>
#include <string_view>

namespace brinmoor {

enum class RadioDialect : std::uint8_t {
    Unknown,
    FourDigit,
    // Three-digit radios; the models named have read commands of their own.
    ThreeDigit,     // any other three-digit ID
    ThreeDigit019,  // TS-2000
    ThreeDigit020,  // TS-480
    ThreeDigit021,  // TS-590S, and the TS-590SG (ID023)
    ThreeDigit022,  // TS-990S
    ThreeDigit024,  // TS-890S
};

// The dialect of an answer to "ID" (without ";"); nothing when the answer is
// neither "ID" and three digits nor "ID" and four.
std::optional<RadioDialect> DialectFromId(std::string_view answer);

// Whether the radio has said which dialect it speaks. Every rule that
// depends on the dialect asks this one question: the classification of
// commands, the power monitor and the server's own queries.
bool IsIdentified(RadioDialect dialect);

bool IsThreeDigit(RadioDialect dialect);

// The server's own question for the transmit state ("TX" or "IF"); empty
// while the dialect is unknown.
std::string_view TransmitStateQuery(RadioDialect dialect);
// Whether the answer to that question says the radio is transmitting: a
// "TX" answer ending in '2', an "IF" answer with '1' at index 28 (the digit
// after the memory channel).
bool SaysTransmitting(RadioDialect dialect, std::string_view answer);

// Whether an answer to one of the server's own queries is what a radio of
// this dialect gives: "TX" and a digit 0 to 2, "IF" and 35 characters, "RM5"
// and the reading. "?" or no answer never fits: the radio on the port may
// not be the one that identified itself.
bool AnswerFits(RadioDialect dialect, std::string_view query, std::string_view answer);

// The log line that names the dialect once the radio has identified itself.
std::string_view DialectLogLine(RadioDialect dialect);

}  // namespace brinmoor
