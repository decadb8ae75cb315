#include "config/status_reply.h"

#include "config/json.h"

namespace brinmoor {

std::string BuildStatusJson(std::int32_t tcpPort, std::string_view port, std::int32_t baud,
                            std::string_view byteSizeText, std::string_view parityName,
                            std::string_view stopBitsText) {
    std::string status = "{\"tcp_port\":";
    status += std::to_string(tcpPort);
    if (!port.empty()) {
        // The port name is escaped so that a '"' or '\' in it reads back unchanged.
        status += ",\"com\":\"";
        status += JsonEscape(port);
        status += "\",\"baud\":";
        status += std::to_string(baud);
        status += ",\"bits\":\"";
        status += byteSizeText;
        status += "\",\"parity\":\"";
        status += parityName;
        status += "\",\"stopbits\":\"";
        status += stopBitsText;
        status += "\"";
    }
    status += "}";
    return status;
}

}  // namespace brinmoor
