// Port entries the real server refuses: devices that are no serial line,
// names with control bytes, settings out of range. Each leaves the working
// CAT port answering, the status text and the saved file as they were, and
// says why in one line that cannot be mistaken for another.
#include <gtest/gtest.h>

#include <string>

#include "support/posix/station.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::CatCfg;
using test::ReadWholeFile;
using test::TcpClient;

const std::string kCfgRefused = "[config] CFG refused: no port was closed or opened";

using PortChecksTest = test::StationTest;

TEST_F(PortChecksTest, RefusedPortsLeaveTheWorkingCatPortAnswering) {
    ASSERT_NO_FATAL_FAILURE(StartStation());
    TcpClient& client = *control;
    const std::string frequency = client.Ask("FA;");
    ASSERT_EQ(frequency.rfind("FA", 0), 0u);
    const std::string status = client.Ask("PORTS;");
    const std::string saved = ReadWholeFile(server.SavedFile());

    const std::string forged = "\x1b[2J\n[brinmoor] Shutting down.";
    const std::string withNul = radio.Path() + std::string(1, '\0') + "x";
    const auto cat = [](const std::string& port, const std::string& more = "") {
        return CatCfg(port, more);
    };
    const struct {
        std::string frame;
        std::string line;  // on standard error; for [config] lines, CFG refused follows
    } cases[] = {
        {cat("/dev/ptmx"), "[brinmoor] Failed to open CAT port /dev/ptmx"},
        {cat("/tmp/r" + forged),
         "[config] CAT port /tmp/r\\u001b[2J\\u000a[brinmoor] Shutting down. refused: a port name "
         "cannot hold control characters"},
        {cat(withNul), "[config] CAT port " + radio.Path() +
                           "\\u0000x refused: a port name cannot hold control characters"},
        {cat(radio.Path(), ", \"baud\": 0"), "baud 0 is out of range (1 to 4000000)"},
        {"CFG{\"ports\": {\"PTT\": {\"port\": \"/dev/null\", \"baud\": 0}}};",
         "[config] PTT port /dev/null refused: baud 0"},
        {"CFG{\"ext_groups\": {\"1\": {\"cat\": {\"port\": \"/dev/null\", \"bytesize\": \"4\"}}}};",
         "[config] group 1 cat port /dev/null refused: bytesize \"4\" is out of range (5 to 8)"},
        // Keying needs modem lines; the radio is no pseudo-terminal of ours.
        {"CFG{\"ext_groups\": {\"1\": {\"cw\": {\"port\": \"pty:/tmp/cw\"}}}};",
         "[relay] group 1 cw port pty:/tmp/cw refused: PTT and CW keying needs a serial port's"},
        {"CFG{\"ports\": {\"WinKey\": {\"port\": \"tcp:4534\"}}};",
         "[config] WinKey port tcp:4534 refused: the server's own ports are serial devices"},
        {cat("pty:/tmp/radio"), "[config] CAT port pty:/tmp/radio refused: the radio's CAT port"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(client.Ask(c.frame, 15s), "CFG_OK;");
        EXPECT_TRUE(server.WaitErr(c.line));
        if (c.line.rfind("[brinmoor]", 0) != 0) {
            EXPECT_TRUE(server.WaitErr(kCfgRefused));
        }
        EXPECT_EQ(client.Ask("FA;", 15s), frequency);
        EXPECT_EQ(client.Ask("PORTS;"), status);
        EXPECT_EQ(ReadWholeFile(server.SavedFile()), saved);
    }

    // 45 and 50 baud (RTTY) are settings like any other.
    EXPECT_EQ(client.Ask(CatCfg(radio.Path(), ", \"baud\": 45"), 15s), "CFG_OK;");
    EXPECT_TRUE(server.WaitOut("Radio ID: ID019", 10s));
    EXPECT_NE(ReadWholeFile(server.SavedFile()).find("\"baud\": 45,"), std::string::npos);
}

}  // namespace
}  // namespace brinmoor
