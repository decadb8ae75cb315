#include "platform/endpoint.h"

#include <optional>

#include "common/peer_address.h"
#include "common/text.h"

namespace brinmoor {
namespace {

bool HasPrefix(std::string_view name, std::string_view prefix) {
    return name.size() >= prefix.size() && EqualsIgnoreAsciiCase(name.substr(0, prefix.size()), prefix);
}

std::optional<std::uint16_t> ParsePort(std::string_view text) {
    const auto value = ParseDigits(text, 5);
    if (!value || *value < 1 || *value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

EndpointName ParseTcp(std::string_view rest) {
    EndpointName endpoint;
    endpoint.kind = EndpointKind::Tcp;
    const std::size_t colon = rest.rfind(':');
    const std::string_view address =
        colon == std::string_view::npos ? kDefaultEndpointAddress : rest.substr(0, colon);
    const auto port = ParsePort(colon == std::string_view::npos ? rest : rest.substr(colon + 1));
    if (!port) {
        endpoint.problem = "tcp: needs a port from 1 to 65535 (tcp:PORT or tcp:ADDRESS:PORT)";
    } else if (!ParseIpv4(address)) {
        endpoint.problem = "tcp:ADDRESS:PORT needs an IPv4 address such as 192.168.1.20";
    }
    endpoint.address = std::string(address);
    endpoint.port = port.value_or(0);
    return endpoint;
}

}  // namespace

EndpointName ParseEndpointName(std::string_view name) {
    if (HasPrefix(name, "tcp:")) return ParseTcp(name.substr(4));
    EndpointName endpoint;
    if (HasPrefix(name, "pty:")) {
        endpoint.kind = EndpointKind::Pty;
        endpoint.path = std::string(name.substr(4));
        // A relative link would land wherever the server was started from.
        if (endpoint.path.empty() || endpoint.path[0] != '/') {
            endpoint.problem = "pty: needs an absolute path such as /tmp/brinmoor-logger";
        }
        return endpoint;
    }
    endpoint.path = std::string(name);
    return endpoint;
}

std::string CanonicalEndpointName(const EndpointName& endpoint) {
    switch (endpoint.kind) {
        case EndpointKind::Tcp:
            return "tcp:" + endpoint.address + ":" + std::to_string(endpoint.port);
        case EndpointKind::Pty:
            return "pty:" + endpoint.path;
        case EndpointKind::Serial:
            break;
    }
    return endpoint.path;
}

}  // namespace brinmoor
