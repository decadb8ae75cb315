#pragma once
// Shared by the POSIX serial-device files (not part of the seam): the open
// device record and how each kind of name is opened and let go. A terminal
// and a pseudo-terminal are file descriptors read and written on one path
// (serial_device_posix.cpp); a tcp: endpoint is served by tcp_endpoint.cpp.
#include <cstdint>
#include <string>

#include "platform/endpoint.h"
#include "platform/serial_device.h"
#include "platform/tcp_endpoint.h"

namespace brinmoor {

struct SerialDevice {
    EndpointKind kind = EndpointKind::Serial;
    int fd = -1;                 // Serial: the terminal; Pty: the master
    TcpEndpoint* tcp = nullptr;  // Tcp
    std::uint32_t baud = 0;      // bounds how long a write may take
    int readTimeoutMs = 200;     // until the first SetSerialReadTimeout
    bool inBurst = false;        // the last read took a byte: more are likely queued
    int slave = -1;              // Pty: held open, so the master never sees a hang-up
    std::string slavePath = {};  // Pty
    std::string linkPath = {};   // Pty
    bool lowLatencyAsked = false;  // Serial: asked once, at the first modem-line wait
};

// serial_tty_posix.cpp: a serial terminal opened exclusively with the
// settings, both lines dropped, both queues purged; -1 when refused.
int OpenTerminal(const std::string& name, const SerialDeviceSettings& settings);
// Drops DTR and RTS, throws queued output away, gives the exclusive flag
// back and closes.
void CloseTerminal(int fd);

// serial_pty_posix.cpp: a pseudo-terminal whose slave the link at linkPath
// names (see OpenSerialDevice); null when refused, with the reason told.
SerialDevice* OpenPseudoTerminal(const std::string& linkPath, const EndpointOptions& options);
// Removes the link if it still names this slave, and closes both ends.
void ClosePseudoTerminal(SerialDevice& device);

// Throws away the output queued on a terminal or a pseudo-terminal's master.
void DiscardTerminalOutput(int fd);

// A device without modem lines refuses; that is no effect.
void ChangeModemLines(int fd, int lines, bool on);

}  // namespace brinmoor
