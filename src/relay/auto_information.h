#pragma once
// Auto-information on one group's CAT port. "AI" belongs to the group's
// program and never reaches the radio: "AI;" reads the group's own setting,
// "AI0;" to "AI4;" (four-digit radios: "AI0;" and "AI1;") set it, whether the
// group is active or not. While it is on, or while the port has the
// "reports" option (a device that only listens), the program is told every
// change the radio's state learns, in the radio's own forms: FA/FB when a
// frequency changes, MD when the mode does, IF when any of these or the
// transmit state does. Reports go out only between the program's commands,
// never inside an answer.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "radio/radio_state.h"
#include "radio/serial_port.h"
#include "relay/group_activity.h"

namespace brinmoor {

class AutoInformation {
  public:
    AutoInformation(RadioState& radio, GroupActivity& activity, bool listenOnly);

    // For an AI command (upper-cased, without ";"): what to write back ("AI2;",
    // "?;", or empty for a setting). Nothing for any other command.
    std::optional<std::string> Handle(std::string_view command);

    bool Wanted() const;

    // The reports owed since the last call, each ended by ";"; empty when the
    // radio's state has not changed or nobody listens.
    std::string DueReports();

  private:
    RadioState& radio;
    GroupActivity& activity;
    bool listenOnly;
    std::uint64_t seen = 0;  // the radio's change count last looked at
    // What the program was last told.
    std::optional<std::uint64_t> vfoA;
    std::optional<std::uint64_t> vfoB;
    std::string mode;
    InformationFields information;
    std::optional<bool> transmitting;
};

// Reads one command from the program as the CAT relay does (up to ";", or
// what came before 500 ms of silence), writing the reports owed while it
// waits, every 50 ms at most.
std::string ReadCommandBetweenReports(SerialPort& port, AutoInformation& reports);

}  // namespace brinmoor
