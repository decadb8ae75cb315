// Port names with a kind, which ports take which kind, and a tcp: endpoint
// on real loopback sockets (on both platforms: this runs under Wine too).
#include "platform/endpoint.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/tcp_endpoint.h"
#include "radio/port_entry.h"

namespace brinmoor {
namespace {

TEST(EndpointTest, NamesAndTheirKinds) {
    const struct {
        const char* name;
        EndpointKind kind;
        const char* canonical;  // empty: the name has a problem
    } cases[] = {
        {"COM5", EndpointKind::Serial, "COM5"},
        {"/dev/ttyUSB0", EndpointKind::Serial, "/dev/ttyUSB0"},
        {"tcp:4533", EndpointKind::Tcp, "tcp:127.0.0.1:4533"},
        {"TCP:0.0.0.0:65535", EndpointKind::Tcp, "tcp:0.0.0.0:65535"},
        {"tcp:192.168.1.20:4000", EndpointKind::Tcp, "tcp:192.168.1.20:4000"},
        {"pty:/tmp/brinmoor-logger", EndpointKind::Pty, "pty:/tmp/brinmoor-logger"},
        {"tcp:", EndpointKind::Tcp, ""},
        {"tcp:0", EndpointKind::Tcp, ""},
        {"tcp:65536", EndpointKind::Tcp, ""},
        {"tcp:+4533", EndpointKind::Tcp, ""},
        {"tcp:4533x", EndpointKind::Tcp, ""},
        {"tcp:localhost:4533", EndpointKind::Tcp, ""},
        {"tcp::4533", EndpointKind::Tcp, ""},
        {"tcp:1.2.3:4533", EndpointKind::Tcp, ""},
        {"tcp:1.2.3.4:", EndpointKind::Tcp, ""},
        {"pty:", EndpointKind::Pty, ""},
        {"pty:logger", EndpointKind::Pty, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const EndpointName endpoint = ParseEndpointName(c.name);
        EXPECT_EQ(endpoint.kind, c.kind);
        EXPECT_EQ(endpoint.problem.empty(), *c.canonical != '\0') << endpoint.problem;
        if (endpoint.problem.empty()) {
            EXPECT_EQ(CanonicalEndpointName(endpoint), c.canonical);
        }
    }
}

TEST(EndpointTest, WhichPortsTakeWhichKinds) {
    const bool pty = kHasPseudoTerminals;
    const struct {
        const char* name;
        PortUse use;
        bool taken;
    } cases[] = {
        {"COM5", PortUse::GroupLine, true},       {"COM5", PortUse::ServerOwn, true},
        {"tcp:4533", PortUse::GroupData, true},   {"pty:/tmp/x", PortUse::GroupData, pty},
        {"tcp:4533", PortUse::Radio, true},       {"pty:/tmp/x", PortUse::Radio, false},
        {"tcp:4533", PortUse::GroupLine, false},  {"pty:/tmp/x", PortUse::GroupLine, false},
        {"tcp:4533", PortUse::ServerOwn, false},  {"pty:/tmp/x", PortUse::ServerOwn, false},
        {"tcp:99999", PortUse::GroupData, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " as " + std::to_string(static_cast<int>(c.use)));
        EXPECT_EQ(EndpointProblem(c.name, c.use).empty(), c.taken);
    }
    const JsonValue ptt = ParseJsonDocument(R"({"port": "tcp:4533"})");
    EXPECT_EQ(PortEntryRefusal(ptt, "group 1 ptt", PortUse::GroupLine).rfind(
                  "[relay] group 1 ptt port tcp:4533 refused: PTT and CW keying needs", 0),
              0u);
    EXPECT_EQ(PortEntryRefusal(ptt, "PTT", PortUse::ServerOwn).rfind("[config] PTT port", 0), 0u);
}

using namespace std::chrono_literals;

// A program on the loopback interface: a connected socket, or none.
SocketHandle Connect(std::uint16_t port) {
    const SocketHandle socket = CreateTcpSocket();
    if (!ConnectSocket(socket, "127.0.0.1", port)) {
        CloseSocket(socket);
        return kInvalidSocket;
    }
    return socket;
}

// Whatever the endpoint reads within the time, byte by byte.
std::string ReadFor(TcpEndpoint* endpoint, std::chrono::milliseconds time) {
    std::string read;
    const auto end = std::chrono::steady_clock::now() + time;
    char byte = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (ReadTcpByte(endpoint, 50, byte) == SerialRead::Byte) read += byte;
    }
    return read;
}

TEST(EndpointTest, ATcpEndpointServesOneAdmittedProgramAtATime) {
    ASSERT_TRUE(StartSockets());
    // The system picks a free port: ask for one, then listen there.
    const SocketHandle probe = CreateTcpSocket();
    ASSERT_TRUE(BindSocket(probe, "127.0.0.1", 0));
    const std::uint16_t port = LocalPort(probe);
    CloseSocket(probe);

    std::vector<EndpointEvent> events;
    bool admitting = true;
    EndpointOptions options;
    options.admits = [&admitting](std::uint32_t peer) { return admitting && peer == 0x7F000001; };
    options.told = [&events](const EndpointNote& note) { events.push_back(note.event); };
    TcpEndpoint* endpoint = OpenTcpEndpoint(ParseEndpointName("tcp:" + std::to_string(port)),
                                            options);
    ASSERT_NE(endpoint, nullptr);
    EXPECT_EQ(WriteTcpEndpoint(endpoint, "?;"), SerialWrite::Failed);  // nobody to write to

    const SocketHandle first = Connect(port);
    ASSERT_TRUE(SendAll(first, "FA;"));
    EXPECT_EQ(ReadFor(endpoint, 300ms), "FA;");
    const SocketHandle second = Connect(port);
    ASSERT_TRUE(SendAll(second, "ID;"));
    EXPECT_EQ(ReadFor(endpoint, 300ms), "");
    char byte = 0;
    EXPECT_LE(ReceiveSome(second, &byte, 1), 0);  // closed unread (reset, as it sent bytes)
    EXPECT_EQ(WriteTcpEndpoint(endpoint, "FA00014074000;"), SerialWrite::Done);
    char reply[32] = {};
    EXPECT_EQ(ReceiveSome(first, reply, sizeof reply), 14);

    // The first leaves; the next is served, unless it is not admitted.
    CloseSocket(first);
    admitting = false;
    const SocketHandle stranger = Connect(port);
    EXPECT_EQ(ReadFor(endpoint, 300ms), "");
    admitting = true;
    const SocketHandle third = Connect(port);
    ASSERT_TRUE(SendAll(third, "IF;"));
    EXPECT_EQ(ReadFor(endpoint, 300ms), "IF;");
    EXPECT_EQ(events, (std::vector<EndpointEvent>{
                          EndpointEvent::Connected, EndpointEvent::RefusedBusy,
                          EndpointEvent::Disconnected, EndpointEvent::RefusedNotAllowed,
                          EndpointEvent::Connected}));

    // Seen from the other side: an outgoing endpoint whose far end closes is gone.
    EndpointOptions outgoing;
    outgoing.outgoing = true;
    TcpEndpoint* radio = OpenTcpEndpoint(ParseEndpointName("tcp:" + std::to_string(port)),
                                         outgoing);
    ASSERT_NE(radio, nullptr);
    CloseSocket(third);
    EXPECT_EQ(ReadFor(endpoint, 300ms), "");  // takes the radio's connection in
    CloseTcpEndpoint(endpoint);
    EXPECT_EQ(ReadTcpByte(radio, 1000, byte), SerialRead::Gone);
    EXPECT_EQ(WriteTcpEndpoint(radio, "FA;"), SerialWrite::Gone);
    CloseTcpEndpoint(radio);
    for (SocketHandle socket : {second, stranger}) CloseSocket(socket);
    CleanupSockets();
}

}  // namespace
}  // namespace brinmoor
