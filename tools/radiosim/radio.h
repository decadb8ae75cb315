#pragma once
// The simulated transceiver: its settings and how it answers CAT commands.
// Nothing here touches a file descriptor, so the rules stay easy to follow.
// The identity chooses the dialect, as on real radios: three digits (the
// default, 019) behave like a Kenwood ("TX;" keys, "RX;" unkeys, "MD1;" sets
// LSB, bare codes such as "NB;" read); four digits like the radios that read
// "TX;" and pick a receiver with a digit ("MD0;" reads the main mode).
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brinmoor {

struct Radio {
    std::string id = "019";
    std::string vfoA = "00014074000";  // Hz, always 11 digits
    std::string vfoB = "00007074000";
    char mode = '2';         // MD: 1 LSB, 2 USB, 3 CW, ...
    char autoInfo = '0';     // AI: non-zero asks for unsolicited reports
    char receiveVfo = '0';   // FR: 0 VFO A, 1 VFO B
    char transmitVfo = '0';  // FT
    int powerSetting = 100;  // PC, watts 000..999
    int meter = 0;           // RM5 reading 000..999
    bool transmitting = false;
    // Levels and switches (RG, NB, AG0, ...), by code and receiver digit;
    // missing ones read as zeros.
    std::map<std::string, std::string> levels;
};

bool SpeaksFourDigitDialect(const Radio& radio);

// The radio's answer to one command (given without its ";"), also without
// ";". A set command that the radio accepts gets no answer (nullopt); a
// command it does not know or cannot take gets "?".
std::optional<std::string> Answer(Radio& radio, std::string_view command);

// The "IF" report: frequency, mode and transmit state in one message.
std::string InformationReport(const Radio& radio);

// Cuts the byte stream from the serial line into commands at ";". Leading
// blanks and line ends are dropped; a command that grows past the limit is
// thrown away up to its ";" so garbage cannot use up memory.
class CommandSplitter {
  public:
    static constexpr std::size_t maxCommand = 4096;

    // Appends the bytes and returns every command they complete, in order.
    std::vector<std::string> Feed(std::string_view bytes);

  private:
    std::string pending;
    bool discarding = false;
};

}  // namespace brinmoor
