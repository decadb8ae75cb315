// brinmoorctl's checks of a CFG document: what stops it from being sent,
// what is only pointed out, and the frame that goes on the wire.
#include "cfg_check.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/endpoint.h"

namespace brinmoor {
namespace {

constexpr CfgLevel E = CfgLevel::Error;
constexpr CfgLevel W = CfgLevel::Warning;

struct Finding {
    CfgLevel level;
    const char* where;
    const char* text;  // a part of it
};

// Every finding, one per line, for failure messages.
std::string Findings(const CfgCheck& check) {
    std::string lines;
    for (const CfgFinding& f : check.findings) {
        lines += (f.level == E ? "error: " : "warning: ") + f.where + ": " + f.text + "\n";
    }
    return lines;
}

bool Has(const CfgCheck& check, const Finding& wanted) {
    for (const CfgFinding& f : check.findings) {
        if (f.level == wanted.level && f.where == wanted.where &&
            f.text.find(wanted.text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(CfgCheckTest, ErrorsStopTheDocumentWarningsDoNot) {
    // The server cuts off a frame of 64 KiB.
    std::string names;
    // Appended piece by piece: "a" + std::string at -O3 makes GCC 12 warn
    // (-Wrestrict) about a copy that cannot happen.
    for (int i = 0; i < 7000; ++i) {
        names.append("\"").append(std::to_string(i)).append("\":{\"name\":\"x\"},");
    }
    const struct {
        std::string document;
        std::vector<Finding> findings;
        const char* frame = nullptr;  // when it matters
    } cases[] = {  // clang-format off
        // A full station: nothing to point out.
        {R"({"ports": {"CAT": {"port": "COM3", "baud": 38400, "bytesize": 8, "parity": "none",
                               "stopbits": 1},
                       "PTT": {"port": "COM4", "flow": "DTR"}, "CW": {"port": "com4"},
                       "WinKey": {"port": "COM6"}, "FSK": {"port": "NONE"}},
             "ext_groups": {"1": {"name": "Logger", "cat": {"port": "COM11", "baud": 9600},
                                  "ptt": {"port": "COM12"}, "cw": {"port": "COM12", "flow": "RTS"},
                                  "winkey": {"port": "COM13"}},
                            "2": {"name": "Digital modes", "cat": {"port": "COM21"}}}})",
         {}},
        // A ";" would end the frame early: reported wherever it is, strings too.
        {"{\"ext_groups\": {\"1\": {\"name\": \"a;b\"}}};", {{E, "line 1, column 33", "';' ends"}}},
        // The one thing the server's reader rejects: a key without its quote.
        {"{\n  ports: {}\n}", {{E, "line 2, column 3", "[config] Bad CFG JSON"}}},
        {" \n", {{E, "", "the file is empty"}}},
        {"\"ports\"", {{E, "", "not a JSON object"}}},
        {R"({"ports": {"CAT": {"port": "COM3", "speed": 9600}}})",
         {{E, "ports/CAT/speed", "unknown member \"speed\""}}},
        // A group key without a number makes the server start no relays at all.
        {R"({"ext_groups": {"logger": {"cat": {"port": "COM11"}}}})",
         {{E, "ext_groups/logger", "group number"}}},
        {"{\"ext_groups\":{" + names + "}}", {{E, "", "too long for one frame"}}},
        // Endpoints and values the server refuses.
        {R"({"ports": {"CAT": {"port": "tcp:192.168.1.50:4000"}}})", {}},
        {R"({"ports": {"PTT": {"port": "pty:/tmp/ptt"}, "CW": {"port": "COM5", "baud": 0}},
             "ext_groups": {"1": {"cat": {"port": "tcp:4533", "baud": 9600},
                                  "ptt": {"port": "tcp:4534"},
                                  "fsk": {"port": "COM14", "bytesize": 9}},
                            "2": {"cat": {"port": "tcp:127.0.0.1:4533"},
                                  "winkey": {"port": "tcp:70000"}}},
             "active": "one"})",
         {{E, "ports/PTT", "the server's own ports are serial"}, {E, "ext_groups/1/ptt", "modem"},
          {E, "ext_groups/2/winkey", "port from 1 to 65535"}, {E, "ports/CW", "baud 0 is out of"},
          {E, "ext_groups/1/fsk", "bytesize 9 is out of range"},
          {W, "ext_groups/1/cat/baud", "no line settings"},
          {W, "ext_groups/2/cat", "already named by"}, {W, "active", "not an app group number"}}},
        // Names the server ignores and values it replaces by defaults.
        {R"({"Ports": {},
             "ports": {"winkey": {"port": "COM6"}, "cat": {"port": "COM3"},
                       "CAT": {"port": "COM3", "baud": "9600", "parity": 5, "flow": "RTS"},
                       "PTT": {"port": "COM4", "flow": "DTR/RTS"},
                       "CW": {"port": "COM5", "baud": 9600.5}, "WinKey": {"port": 6}},
             "ext_groups": {"1": {"winkey": {"port": "COM13", "baud": "1200"}, "name": 5,
                                  "cat": "COM11", "CAT": {"port": "COM12"}},
                            "2x": {"cat": {"port": "COM21"}}, "02": {"name": "two"}, "3": {}}})",
         {{W, "Ports", "here it is \"ports\""}, {W, "ports/winkey", "here it is \"WinKey\""},
          {W, "ports/cat", "here it is \"CAT\""}, {W, "ext_groups/1/CAT", "here it is \"cat\""},
          {W, "ports/CAT/baud", "default 38400 applies"}, {W, "ports/CAT/parity", "none applies"},
          {W, "ports/CAT/flow", "ignored"}, {W, "ports/PTT/flow", "keys DTR only"},
          {W, "ports/CW/baud", "uses 9600"}, {W, "ports/WinKey/port", "configures no port"},
          // An app group's WinKey port defaults to 1200 baud.
          {W, "ext_groups/1/winkey/baud", "default 1200 applies"},
          {W, "ext_groups/1/name", "\"Group 1\""}, {W, "ext_groups/1/cat", "not an object"},
          // Keys are visited in byte order: "02" before "2x".
          {W, "ext_groups/2x", "also given as \"02\""}, {W, "ext_groups/2x", "read as group 2"},
          {W, "ext_groups/02", "read as group 2"}, {W, "ext_groups/02", "names no port"},
          {W, "ext_groups/3", "names no port"},
          // The server's own WinKey port is missing, so the group's relay does not start.
          {W, "ext_groups/1/winkey", "no WinKey relay starts"}}},
        // Relays without the server's lines, only when "ports" is given: without it
        // the server keeps its own ports as they are.
        {R"({"ports": {"CAT": {"port": "COM3"}},
             "ext_groups": {"1": {"ptt": {"port": "COM12"}, "winkey": {"port": "COM13"}}}})",
         {{W, "ext_groups/1/ptt", "no PTT port"}, {W, "ext_groups/1/winkey", "no WinKey relay"}}},
        {R"({"ext_groups": {"1": {"ptt": {"port": "COM12"}, "winkey": {"port": "COM13"}}}})", {}},
        // A port named twice, except where PTT and CW share one.
        {R"({"ports": {"CAT": {"port": "COM3"}, "PTT": {"port": "COM4"}, "CW": {"port": "com4"}},
             "ext_groups": {
               "1": {"cat": {"port": "com3"}, "ptt": {"port": "COM12"}, "cw": {"port": "COM12"}},
               "2": {"cat": {"port": "COM21"}, "ptt": {"port": "COM22"}, "cw": {"port": "com22"}},
               "3": {"cat": {"port": "COM21"}}}})",
         {{W, "ext_groups/1/cat", "named by ports/CAT"}, {W, "ext_groups/2/cw", "letter case"},
          {W, "ext_groups/3/cat", "already named by ext_groups/2/cat"}}},
        // Not standard JSON, and a document that stops early, are read as the server does.
        {R"({"ports": {"CAT": {"port": "COM3",},}})", {{W, "line 1, column 35", "not standard"}},
         R"(CFG{"ports":{"CAT":{"port":"COM3",},}};)"},
        // A byte order mark is dropped.
        {"\xEF\xBB\xBF{\"ports\": {}}", {}, "CFG{\"ports\":{}};"},
        {R"({"ports": {"CAT": {"port": "COM3"})", {{W, "line 1, column 35", "'}' missing"}}},
        {"{}", {{W, "", "only stops the relays"}}},
    };  // clang-format on
    for (const auto& c : cases) {
        const CfgCheck check = CheckCfgDocument(c.document);
        bool errors = false;
        for (const Finding& wanted : c.findings) {
            EXPECT_TRUE(Has(check, wanted)) << wanted.where << "\n" << Findings(check);
            errors = errors || wanted.level == E;
        }
        if (!errors) {
            EXPECT_EQ(check.findings.size(), c.findings.size()) << Findings(check);
        }
        EXPECT_EQ(check.frame.empty(), errors) << Findings(check);
        EXPECT_EQ(check.frame, c.frame != nullptr ? c.frame : check.frame);
    }
    // A pseudo-terminal where the platform has them; "active" as a number.
    const CfgCheck pty = CheckCfgDocument(
        R"({"ext_groups": {"1": {"cat": {"port": "pty:/tmp/logger"}}}, "active": 1})");
    EXPECT_EQ(pty.HasErrors(), !kHasPseudoTerminals) << Findings(pty);
}

}  // namespace
}  // namespace brinmoor
