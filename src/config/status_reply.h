#pragma once
// The one-line status text that PORTS returns.
#include <cstdint>
#include <string>
#include <string_view>

namespace brinmoor {

// {"tcp_port":N} and, when the CAT port name is not empty, its settings:
// {"tcp_port":4532,"com":"COM3","baud":38400,"bits":"8","parity":"none","stopbits":"1"}
std::string BuildStatusJson(std::int32_t tcpPort, std::string_view port, std::int32_t baud,
                            std::string_view byteSizeText, std::string_view parityName,
                            std::string_view stopBitsText);

}  // namespace brinmoor
