#pragma once
// Pseudo-terminals for tests that need a real serial-like device on POSIX:
// the program opens the slave by its path (/dev/pts/N), the test plays the
// other end of the cable on the master.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace brinmoor::test {

// The line settings a tty holds, as the test reads them back.
struct TtyLineSettings {
    // No data bits or parity generation: a pseudo-terminal forces eight bits
    // without parity.
    std::uint32_t baud = 0;  // 0: the settings could not be read
    bool oddParity = false;  // with stick: mark
    bool stickParity = false;
    bool parityChecked = false;  // INPCK
    bool twoStopBits = false;
    bool hardwareFlow = false;  // CRTSCTS
    bool softwareFlow = false;  // IXON or IXOFF
    bool local = false;         // CLOCAL and CREAD
    bool raw = false;           // no canonical mode, echo, signals or output processing
};

class PseudoTerminal {
  public:
    // Opens a master and unlocks its slave; IsOpen tells whether that worked.
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool IsOpen() const { return master >= 0; }
    // The path the program opens, e.g. /dev/pts/3.
    const std::string& SlavePath() const { return slavePath; }
    int MasterFd() const { return master; }

    // Sends bytes to the program; false when the master is closed or the
    // bytes could not all be written within a second.
    bool Write(std::string_view bytes);
    // Collects what the program writes until the text has appeared (true) or
    // the time-out has passed (false). Everything collected stays in Received.
    bool WaitFor(std::string_view text, std::chrono::milliseconds timeout);
    // Collects for the whole duration and returns what came in it.
    std::string ReadFor(std::chrono::milliseconds duration);
    // Everything collected so far, removed.
    std::string TakeReceived();

    // The slave's settings as the program left them (read through the master).
    TtyLineSettings LineSettings() const;

    // Hangs up: the program's end sees the device gone.
    void CloseMaster();

  private:
    void Collect(std::chrono::milliseconds wait);

    int master = -1;
    std::string slavePath;
    std::string received;
};

// Whether a process holds the device locked: brinmoor locks every serial
// port it opens for as long as it keeps it open.
bool DeviceLocked(const std::string& path);

}  // namespace brinmoor::test
