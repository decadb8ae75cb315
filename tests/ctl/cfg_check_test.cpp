// brinmoorctl's checks of a CFG document: what stops it from being sent,
// what is only pointed out, and the frame that goes on the wire.
#include "cfg_check.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/endpoint.h"

namespace brinmoor {
namespace {

// "error: where: text" or "warning: where: text" per finding, in order.
std::vector<std::string> Findings(const CfgCheck& check) {
    std::vector<std::string> lines;
    for (const CfgFinding& finding : check.findings) {
        lines.push_back(std::string(finding.level == CfgLevel::Error ? "error: " : "warning: ") +
                        finding.where + ": " + finding.text);
    }
    return lines;
}

// True when some finding of the level is about the place and holds the text.
bool Has(const CfgCheck& check, CfgLevel level, const std::string& where, const std::string& text) {
    for (const CfgFinding& finding : check.findings) {
        if (finding.level == level && finding.where == where &&
            finding.text.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

constexpr const char* kStation = R"({
  "ports": {
    "CAT":    {"port": "COM3", "baud": 38400, "bytesize": 8, "parity": "none", "stopbits": 1},
    "PTT":    {"port": "COM4", "flow": "DTR"},
    "CW":     {"port": "com4", "flow": "RTS"},
    "WinKey": {"port": "COM6"},
    "FSK":    {"port": "NONE"}
  },
  "ext_groups": {
    "1": {"name": "Logger",
          "cat": {"port": "COM11", "baud": 9600},
          "ptt": {"port": "COM12"}, "cw": {"port": "COM12", "flow": "RTS"},
          "winkey": {"port": "COM13"}},
    "2": {"name": "Digital modes", "cat": {"port": "COM21"}, "fsk": {"port": "none"}}
  }
})";

TEST(CfgCheckTest, AFullStationPassesAndGoesOutWithoutBlanks) {
    const CfgCheck check = CheckCfgDocument(kStation);
    EXPECT_TRUE(check.findings.empty()) << ::testing::PrintToString(Findings(check));
    EXPECT_EQ(check.frame.substr(0, 40), R"(CFG{"ports":{"CAT":{"port":"COM3","baud")");
    EXPECT_EQ(check.frame.back(), ';');
    EXPECT_EQ(check.frame.find(' '), check.frame.find("Digital modes") + 7);
    EXPECT_EQ(check.frame.find('\n'), std::string::npos);
}

TEST(CfgCheckTest, WhatStopsTheDocument) {
    // The server cuts off a frame of 64 KiB.
    std::string names;
    for (int i = 0; i < 7000; ++i) names += "\"" + std::to_string(i) + "\":{\"name\":\"x\"},";
    const struct {
        std::string document;
        const char* where;
        const char* text;
    } cases[] = {
        // A ";" would end the frame early: reported wherever it is, strings too.
        {"{\"ext_groups\": {\"1\": {\"name\": \"a;b\"}}};", "line 1, column 33",
         "';' ends a frame"},
        // The one thing the server's reader rejects: a key without its quote.
        {"{\n  ports: {}\n}", "line 2, column 3", "[config] Bad CFG JSON"},
        {" \n", "", "the file is empty"},
        {"\"ports\"", "", "not a JSON object"},
        {R"({"ports": {"CAT": {"port": "COM3", "speed": 9600}}})", "ports/CAT/speed",
         "unknown member \"speed\""},
        // A group key without a number makes the server start no relays at all.
        {R"({"ext_groups": {"logger": {"cat": {"port": "COM11"}}}})", "ext_groups/logger",
         "group number"},
        {"{\"ext_groups\":{" + names + "}}", "", "too long for one frame"},
    };
    for (const auto& c : cases) {
        const CfgCheck check = CheckCfgDocument(c.document);
        EXPECT_TRUE(Has(check, CfgLevel::Error, c.where, c.text)) << c.text;
        EXPECT_TRUE(check.frame.empty()) << c.text;
    }
}

// Warnings only: the document goes out.
TEST(CfgCheckTest, NamesTheServerIgnoresAndValuesItReplacesByDefaults) {
    const CfgCheck check = CheckCfgDocument(R"({
      "Ports": {},
      "ports": {
        "winkey": {"port": "COM6"}, "cat": {"port": "COM3"},
        "CAT": {"port": "COM3", "baud": "9600", "parity": 5, "flow": "RTS"},
        "PTT": {"port": "COM4", "flow": "DTR/RTS"},
        "CW": {"port": "COM5", "baud": 9600.5},
        "WinKey": {"port": 6}
      },
      "ext_groups": {
        "1": {"winkey": {"port": "COM13", "baud": "1200"}, "name": 5, "cat": "COM11",
              "CAT": {"port": "COM12"}},
        "2x": {"cat": {"port": "COM21"}},
        "02": {"name": "second two"},
        "3": {}
      }
    })");
    EXPECT_FALSE(check.HasErrors()) << ::testing::PrintToString(Findings(check));
    EXPECT_FALSE(check.frame.empty());
    const std::pair<const char*, const char*> warnings[] = {
        {"Ports", "here it is \"ports\""},
        {"ports/winkey", "here it is \"WinKey\""},
        {"ports/cat", "here it is \"CAT\""},
        {"ext_groups/1/CAT", "here it is \"cat\""},
        {"ports/CAT/baud", "default 38400 applies"},
        {"ports/CAT/parity", "none applies"},
        {"ports/CAT/flow", "ignored"},
        {"ports/PTT/flow", "keys DTR only"},
        {"ports/CW/baud", "uses 9600"},
        {"ports/WinKey/port", "configures no port"},
        // An app group's WinKey port defaults to 1200 baud.
        {"ext_groups/1/winkey/baud", "default 1200 applies"},
        {"ext_groups/1/name", "\"Group 1\""},
        {"ext_groups/1/cat", "not an object"},
        // Keys are visited in byte order: "02" before "2x".
        {"ext_groups/2x", "also given as \"02\""},
        {"ext_groups/3", "names no port"},
        // The server's own WinKey port is missing, so the group's relay does not start.
        {"ext_groups/1/winkey", "no WinKey relay starts"},
    };
    for (const auto& [where, text] : warnings) {
        EXPECT_TRUE(Has(check, CfgLevel::Warning, where, text)) << where;
    }
}

TEST(CfgCheckTest, RelaysWithoutServerPortsAreReportedOnlyWhenPortsAreGiven) {
    // Without "ports" the server keeps its own ports as they are.
    const std::string groups =
        R"("ext_groups": {"1": {"ptt": {"port": "COM12"}, "winkey": {"port": "COM13"}}})";
    EXPECT_TRUE(CheckCfgDocument("{" + groups + "}").findings.empty());
    const CfgCheck check =
        CheckCfgDocument(R"({"ports": {"CAT": {"port": "COM3"}}, )" + groups + "}");
    EXPECT_TRUE(Has(check, CfgLevel::Warning, "ext_groups/1/ptt", "no PTT port"));
    EXPECT_TRUE(Has(check, CfgLevel::Warning, "ext_groups/1/winkey", "no WinKey relay starts"));
}

TEST(CfgCheckTest, APortNamedTwiceIsPointedOutExceptWherePttAndCwShare) {
    CfgCheck check = CheckCfgDocument(R"({
      "ports": {"CAT": {"port": "COM3"}, "PTT": {"port": "COM4"}, "CW": {"port": "com4"}},
      "ext_groups": {
        "1": {"cat": {"port": "com3"}, "ptt": {"port": "COM12"}, "cw": {"port": "COM12"}},
        "2": {"cat": {"port": "COM21"}, "ptt": {"port": "COM22"}, "cw": {"port": "com22"}},
        "3": {"cat": {"port": "COM21"}}
      }
    })");
    EXPECT_FALSE(check.HasErrors());
    EXPECT_TRUE(Has(check, CfgLevel::Warning, "ext_groups/1/cat", "already named by ports/CAT"));
    EXPECT_TRUE(Has(check, CfgLevel::Warning, "ext_groups/2/cw", "only in letter case"));
    EXPECT_TRUE(
        Has(check, CfgLevel::Warning, "ext_groups/3/cat", "already named by ext_groups/2/cat"));
    EXPECT_EQ(check.findings.size(), 3u) << ::testing::PrintToString(Findings(check));
}

TEST(CfgCheckTest, ValuesAndEndpointNamesTheServerRefuses) {
    const CfgCheck check = CheckCfgDocument(R"({
      "ports": {"CAT": {"port": "tcp:192.168.1.50:4000"}, "PTT": {"port": "pty:/tmp/ptt"},
                "CW": {"port": "COM5", "baud": 0}},
      "ext_groups": {
        "1": {"cat": {"port": "tcp:4533", "baud": 9600}, "ptt": {"port": "tcp:4534"},
              "fsk": {"port": "COM14", "bytesize": 9}},
        "2": {"cat": {"port": "tcp:127.0.0.1:4533"}, "winkey": {"port": "tcp:70000"}}
      },
      "active": "one"
    })");
    EXPECT_TRUE(check.frame.empty());
    EXPECT_FALSE(Has(check, CfgLevel::Error, "ports/CAT", ""));
    EXPECT_TRUE(Has(check, CfgLevel::Error, "ports/PTT", "the server's own ports are serial"));
    EXPECT_TRUE(Has(check, CfgLevel::Error, "ext_groups/1/ptt", "modem lines"));
    EXPECT_TRUE(Has(check, CfgLevel::Error, "ext_groups/2/winkey", "port from 1 to 65535"));
    EXPECT_TRUE(Has(check, CfgLevel::Error, "ports/CW", "baud 0 is out of range"));
    EXPECT_TRUE(Has(check, CfgLevel::Error, "ext_groups/1/fsk", "bytesize 9 is out of range"));
    EXPECT_TRUE(Has(check, CfgLevel::Warning, "ext_groups/1/cat/baud", "no line settings"));
    EXPECT_TRUE(Has(check, CfgLevel::Warning, "ext_groups/2/cat", "already named by"));
    EXPECT_TRUE(Has(check, CfgLevel::Warning, "active", "not an app group number"));
    // A pseudo-terminal where the platform has them; "active" as a number.
    const CfgCheck pty = CheckCfgDocument(
        R"({"ext_groups": {"1": {"cat": {"port": "pty:/tmp/logger"}}}, "active": 1})");
    EXPECT_EQ(pty.HasErrors(), !kHasPseudoTerminals) << ::testing::PrintToString(Findings(pty));
}

TEST(CfgCheckTest, NotStandardJsonIsAWarningAndAByteOrderMarkIsDropped) {
    CfgCheck check = CheckCfgDocument(R"({"ports": {"CAT": {"port": "COM3",},}})");
    EXPECT_FALSE(check.HasErrors());
    EXPECT_TRUE(Has(check, CfgLevel::Warning, "line 1, column 35", "not standard JSON"));
    EXPECT_EQ(check.frame, R"(CFG{"ports":{"CAT":{"port":"COM3",},}};)");

    // A document that stops early is read as far as it goes.
    check = CheckCfgDocument(R"({"ports": {"CAT": {"port": "COM3"})");
    EXPECT_TRUE(Has(check, CfgLevel::Warning, "line 1, column 35", "'}' missing"));

    check = CheckCfgDocument("\xEF\xBB\xBF{\"ports\": {}}");
    EXPECT_TRUE(check.findings.empty()) << ::testing::PrintToString(Findings(check));
    EXPECT_EQ(check.frame, "CFG{\"ports\":{}};");

    check = CheckCfgDocument("{}");
    EXPECT_TRUE(Has(check, CfgLevel::Warning, "", "only stops the relays"));
    EXPECT_EQ(check.frame, "CFG{};");
}

}  // namespace
}  // namespace brinmoor
