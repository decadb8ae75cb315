// Opening ports from their settings: apart from the checks (port_entry.cpp),
// so that a program that only checks entries (brinmoorctl) links no serial
// device.
#include "radio/port_entry.h"

#include <cstdint>

namespace brinmoor {

bool OpenPort(SerialPort& port, const PortSettings& settings, const EndpointOptions& options) {
    return port.Open(settings.port, static_cast<std::uint32_t>(settings.baud),
                     static_cast<std::uint32_t>(settings.bytesize), settings.parity,
                     settings.stopbits, options);
}

bool LockedOpenPort(SerialPort& port, const PortSettings& settings,
                    const EndpointOptions& options) {
    return port.LockedOpen(settings.port, static_cast<std::uint32_t>(settings.baud),
                           static_cast<std::uint32_t>(settings.bytesize), settings.parity,
                           settings.stopbits, options);
}

bool OpenLine(KeyingLine& line, const PortSettings& settings) {
    return line.OpenOwn(settings.port, static_cast<std::uint32_t>(settings.baud),
                        static_cast<std::uint32_t>(settings.bytesize), settings.parity,
                        settings.stopbits, settings.flow);
}

}  // namespace brinmoor
