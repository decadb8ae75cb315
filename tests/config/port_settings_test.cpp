// A port entry as the server reads it: defaults for whatever is missing or
// ill-typed, the parity and stop-bit forms, and when an entry configures no port.
#include "config/port_settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace brinmoor {
namespace {

// "port baud bytesize parity stopbits flow".
std::string Text(const PortSettings& s) {
    char text[128];
    std::snprintf(text, sizeof text, "%s %d %d %c %g %s", s.port.c_str(), s.baud, s.bytesize,
                  s.parity, s.stopbits, s.flow.c_str());
    return text;
}

std::string Read(std::string_view entry) {
    return Text(PortSettingsFromJson(ParseJsonDocument(entry), 38400));
}

TEST(PortSettings, EntriesTakeDefaultsForWhatIsMissingOrIllTyped) {
    const struct {
        const char* entry;
        const char* read;
    } cases[] = {
        {"{}", " 38400 8 N 1 DTR"}, {"\"COM3\"", " 38400 8 N 1 DTR"},
        {R"({"port": "COM5", "baud": 9600, "bytesize": 7, "parity": "odd", "stopbits": "1.5",)"
         R"( "flow": "DTR/RTS"})",
         "COM5 9600 7 O 1.5 DTR/RTS"},
        // No range test here: odd values reach the port checks as they are.
        {R"({"baud": 0, "bytesize": 3})", " 0 3 N 1 DTR"},
        // The baud rate is read only from a number, truncated to 32 bits.
        {R"({"baud": "9600"})", " 38400 8 N 1 DTR"}, {R"({"baud": 9600.9})", " 9600 8 N 1 DTR"},
        {R"({"baud": 1e12})", " -2147483648 8 N 1 DTR"},
        {R"({"bytesize": "7", "stopbits": 2})", " 38400 7 N 2 DTR"},
        {R"({"bytesize": "seven", "stopbits": "one"})", " 38400 8 N 1 DTR"},
        // Texts are read as far as they are a number; out of range is the default.
        {R"({"bytesize": " 7 bits", "stopbits": "2 stop bits"})", " 38400 7 N 2 DTR"},
        {R"({"bytesize": "2147483648", "stopbits": "1e50"})", " 38400 8 N 1 DTR"},
        {R"({"stopbits": 1.5, "flow": 5})", " 38400 8 N 1.5 DTR"},
    };
    for (const auto& c : cases) EXPECT_EQ(Read(c.entry), c.read) << c.entry;
    EXPECT_EQ(PortSettingsFromJson(ParseJsonDocument("{}"), 9600).baud, 9600);
    // Parity by name or letter in any case; anything else is the fallback: none
    // for the server, a refusal for the port checks.
    const std::pair<const char*, char> parities[] = {{"\"EVEN\"", 'E'}, {"\"e\"", 'E'},
        {"\"mArK\"", 'M'}, {"\"space\"", 'S'}, {"\"s\"", 'S'}, {"\" even\"", '?'},
        {"\"even \"", '?'}, {"\"ev\"", '?'}, {"\"\"", '?'}, {"2", '?'}};
    for (const auto& [name, letter] : parities) {
        EXPECT_EQ(ParseParity(ParseJsonDocument(name), '?'), letter) << name;
    }
}

TEST(PortSettings, StopBitsOneAndAHalfFrom1Point4TwoFrom1Point9) {
    // A NaN is one stop bit.
    const struct {
        float value;
        const char* text;
        SerialStopBits bits;
    } stops[] = {
        {1.39f, "1", SerialStopBits::One},          {1.4f, "1.5", SerialStopBits::OneAndHalf},
        {1.89f, "1.5", SerialStopBits::OneAndHalf}, {1.9f, "2", SerialStopBits::Two},
        {std::nanf(""), "1", SerialStopBits::One},
    };
    for (const auto& s : stops) {
        EXPECT_EQ(StopBitsText(s.value), s.text) << s.value;
        EXPECT_EQ(SerialStopBitsFromValue(s.value), s.bits) << s.value;
    }
}

TEST(PortSettings, OnlyARealPortReplacesAnEntry) {
    for (const char* name : {"", "NONE", "NoNe"}) EXPECT_TRUE(IsNoPort(name)) << name;
    for (const char* name : {"NONE ", "NONEE", "/dev/ttyUSB0"}) EXPECT_FALSE(IsNoPort(name));

    const JsonValue parent = ParseJsonDocument(
        R"({"CAT": {"port": "COM4", "parity": "e"}, "PTT": {"port": "NONE", "baud": 1200},)"
        R"( "CW": {"port": ""}, "FSK": {"baud": 45}})");
    for (const std::string kind : {"PTT", "CW", "FSK", "Missing", "CAT"}) {
        PortSettings target = PortSettingsFromJson(ParseJsonDocument(R"({"port": "COM1"})"), 4800);
        bool present = false;
        ReadPortEntry(parent, kind, target, present, 1200);
        // The whole target is replaced, with the given default baud rate.
        EXPECT_EQ(Text(target) + (present ? " present" : ""),
                  kind == "CAT" ? "COM4 1200 8 E 1 DTR present" : "COM1 4800 8 N 1 DTR");
    }
}

}  // namespace
}  // namespace brinmoor
