#pragma once
// App groups: one external station program each, reaching the radio through
// up to five serial ports on which the server plays the radio.
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "config/json.h"
#include "config/port_settings.h"

namespace brinmoor {

enum class RelayKind { Cat, Ptt, Cw, WinKey, Fsk };

struct AppGroup {
    PortSettings cat;
    PortSettings ptt;
    PortSettings cw;
    PortSettings winkey;
    PortSettings fsk;
    bool catEnabled = false;
    bool pttEnabled = false;
    bool cwEnabled = false;
    bool winkeyEnabled = false;
    bool fskEnabled = false;
    // The cat port's "reports": its device only listens, and is told every
    // change of the radio as if it had asked for auto-information.
    bool catReports = false;
};

// Groups with at least one usable port, ascending by group number.
using AppGroupTable = std::map<std::int32_t, AppGroup>;

// Reads an "ext_groups" document: every member's display name goes into
// names, every member with a usable port into table. A member key without a
// decimal number throws (std::invalid_argument or std::out_of_range); names of
// the members read before it stay stored.
void ReadExtGroups(const JsonValue& document, std::map<std::int32_t, std::string>& names,
                   AppGroupTable& table);

// The app group a station document's "active" makes active: a whole number,
// written as a number or as its decimal text ("2"). Nothing when absent or
// anything else.
std::optional<std::int32_t> ActiveGroupOf(const JsonValue& document);

}  // namespace brinmoor
