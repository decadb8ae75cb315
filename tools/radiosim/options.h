#pragma once
// Command-line options of brinmoor-radiosim, and the number reader that the
// control lines share with them.
#include <optional>
#include <string>
#include <string_view>

#include "radio.h"

namespace brinmoor {

struct Options {
    Radio radio;  // the radio's state at start (--id, --meter)
    int delayMs = 0;
    bool silent = false;
    bool question = false;
    bool quietUnknown = false;
    bool log = false;
    int autoInfoMs = 0;  // 0: no automatic reports
    bool autoInfoAlways = false;
    std::string linkPath;
    int tcpPort = -1;  // -1: a pseudo-terminal; 0: a TCP port the system picks
};

// A whole decimal number in [low, high], or nothing.
std::optional<long long> ParseNumber(std::string_view text, long long low, long long high);

// Fills the options from the command line. Returns the exit code when the
// program should end at once (after --help or --version: 0; a bad option: 2,
// with the reason on standard error).
std::optional<int> ParseOptions(int argc, char** argv, Options& options);

}  // namespace brinmoor
