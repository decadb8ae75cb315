#pragma once
// Rules of the serial layer that both platforms' devices follow, written once
// and tested on every platform.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/serial_device.h"

namespace brinmoor {

// How long a write of this many bytes may take at the baud rate: about
// 11,000/baud ms per byte (a start bit, 8 data bits, parity and two stop bits
// at most) plus a fixed 500 ms, rounded up. Never unbounded, never shorter
// than the bytes need on the wire. A baud of 0 counts as 1.
std::uint32_t SerialWriteTimeoutMs(std::size_t bytes, std::uint32_t baud);

// How long one character takes on the line: a start bit, the data bits, a
// parity bit when there is one and the stop bits, at the baud rate (0 counts
// as 1), rounded up to the microsecond. 45 baud, 5 data bits, 1.5 stop bits:
// 167 ms.
std::chrono::microseconds SerialCharacterTime(const SerialDeviceSettings& settings);

// The name a Windows port is opened by, without the "\\.\" device prefix: a
// leading "\\.\" (with either slash) is taken off, and what is left must be a
// plain device name (COM3, COM10, CNCA0): not empty, no "\", "/" or ":", no
// control byte. Anything else (a UNC path, a pipe) is refused: nothing.
std::optional<std::string> WindowsDeviceName(std::string_view name);

}  // namespace brinmoor
