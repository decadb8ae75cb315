#pragma once
// Command-line options of brinmoor-load.
#include <cstdint>
#include <optional>
#include <string>

namespace brinmoor::load {

struct LoadOptions {
    int clients = 200;
    int seconds = 30;
    int replyTimeoutSeconds = 30;  // a reply later than this counts as missing
    int churn = 40;                // a client reconnects after about this many replies; 0: never
    int paceMs = 20;               // each client waits 0 to paceMs between bursts
    int depth = 3;                 // queries one client keeps in flight at most
    std::uint64_t seed = 0;
    bool seedGiven = false;
    std::string serverPath;    // empty: beside this tool in the build tree
    std::string radiosimPath;  // empty: beside this tool in the build tree
    int attachPort = 0;        // 0: start a server of our own
    int pid = 0;               // with attachPort: the server's process, for its figures
    std::string radioDevice;   // empty: start the radio simulator
    bool sendCfg = true;
    bool quitAtEnd = false;  // with attachPort; a server of our own always gets QUIT
    bool verbose = false;
};

// Fills the options from the command line. Returns the exit code when the
// program should end at once (after --help: 0; a bad option: 2, with the
// reason on standard error).
std::optional<int> ParseLoadOptions(int argc, char** argv, LoadOptions& options);

}  // namespace brinmoor::load
