#include "config/port_settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace brinmoor {
namespace {

PortSettings Read(std::string_view entry, std::int32_t defaultBaud = 38400) {
    return PortSettingsFromJson(ParseJsonDocument(entry), defaultBaud);
}

JsonValue String(std::string text) {
    JsonValue value;
    value.kind = JsonKind::String;
    value.text = std::move(text);
    return value;
}

TEST(PortSettings, EmptyEntryGivesTheDefaults) {
    for (const char* entry : {"{}", "", "\"COM3\"", "{\"port\":5}"}) {
        const PortSettings settings = Read(entry);
        EXPECT_EQ(settings.port, "") << entry;
        EXPECT_EQ(settings.baud, 38400) << entry;
        EXPECT_EQ(settings.bytesize, 8) << entry;
        EXPECT_EQ(settings.parity, 'N') << entry;
        EXPECT_EQ(settings.stopbits, 1.0f) << entry;
        EXPECT_EQ(settings.flow, "DTR") << entry;
    }
    EXPECT_EQ(Read("{}", 9600).baud, 9600);
}

TEST(PortSettings, FullEntryIsReadAsGiven) {
    const PortSettings settings =
        Read(R"({"port": "COM5", "baud": 9600, "bytesize": 7, "parity": "odd", "stopbits": "1.5",)"
             R"( "flow": "DTR/RTS"})");
    EXPECT_EQ(settings.port, "COM5");
    EXPECT_EQ(settings.baud, 9600);
    EXPECT_EQ(settings.bytesize, 7);
    EXPECT_EQ(settings.parity, 'O');
    EXPECT_EQ(settings.stopbits, 1.5f);
    EXPECT_EQ(settings.flow, "DTR/RTS");
    // No range test here: odd values reach the serial layer as they are.
    const PortSettings odd = Read(R"({"baud": 0, "bytesize": 3})");
    EXPECT_EQ(odd.baud, 0);
    EXPECT_EQ(odd.bytesize, 3);
}

TEST(PortSettings, BaudIsReadOnlyFromANumber) {
    EXPECT_EQ(Read(R"({"baud": "9600"})").baud, 38400);
    EXPECT_EQ(Read(R"({"baud": true})").baud, 38400);
    EXPECT_EQ(Read(R"({"baud": null})").baud, 38400);
    EXPECT_EQ(Read(R"({"baud": 9600.9})").baud, 9600);
    EXPECT_EQ(Read(R"({"baud": -300.7})").baud, -300);
    EXPECT_EQ(Read(R"({"baud": 1e12})").baud, std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(Read(R"({"baud": nan})").baud, std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(ReadBaud(ParseJsonDocument("{}"), 1200), 1200);
    EXPECT_EQ(ReadBaud(String("9600"), 1200), 1200);
}

TEST(PortSettings, ByteSizeStopBitsAndFlow) {
    EXPECT_EQ(Read(R"({"bytesize": "7"})").bytesize, 7);
    EXPECT_EQ(Read(R"({"bytesize": 7})").bytesize, 7);
    EXPECT_EQ(Read(R"({"bytesize": "seven"})").bytesize, 8);

    EXPECT_EQ(Read(R"({"stopbits": 2})").stopbits, 2.0f);
    EXPECT_EQ(Read(R"({"stopbits": "2"})").stopbits, 2.0f);
    EXPECT_EQ(Read(R"({"stopbits": 1.5})").stopbits, 1.5f);
    EXPECT_EQ(Read(R"({"stopbits": "one"})").stopbits, 1.0f);

    EXPECT_EQ(Read(R"({"flow": ""})").flow, "DTR");
    EXPECT_EQ(Read(R"({"flow": 5})").flow, "DTR");
    EXPECT_EQ(Read(R"({"flow": "rts"})").flow, "rts");
}

TEST(PortSettings, ParityNamesAndLetters) {
    for (const char* name : {"EVEN", "Even", "e", "E"}) {
        EXPECT_EQ(ParseParity(String(name), 'N'), 'E') << name;
    }
    EXPECT_EQ(ParseParity(String("none"), 'X'), 'N');
    EXPECT_EQ(ParseParity(String("N"), 'X'), 'N');
    EXPECT_EQ(ParseParity(String("Odd"), 'X'), 'O');
    EXPECT_EQ(ParseParity(String("mArK"), 'X'), 'M');
    EXPECT_EQ(ParseParity(String("s"), 'X'), 'S');
    for (const char* name : {" even", "ev", "even ", "", "x"}) {
        EXPECT_EQ(ParseParity(String(name), 'N'), 'N') << name;
        EXPECT_EQ(ParseParity(String(name), 'Q'), 'Q') << name;
    }
    JsonValue number;
    number.kind = JsonKind::Number;
    number.number = 2;
    EXPECT_EQ(ParseParity(number, 'N'), 'N');
    EXPECT_EQ(Read(R"({"parity": 2})").parity, 'N');

    EXPECT_EQ(ParityName('E'), "even");
    EXPECT_EQ(ParityName('M'), "mark");
    EXPECT_EQ(ParityName('O'), "odd");
    EXPECT_EQ(ParityName('S'), "space");
    EXPECT_EQ(ParityName('N'), "none");
    EXPECT_EQ(ParityName('X'), "none");
}

TEST(PortSettings, StopBitsTextFollowsTheSerialThresholds) {
    EXPECT_EQ(StopBitsText(1.0f), "1");
    EXPECT_EQ(StopBitsText(1.45f), "1.5");
    EXPECT_EQ(StopBitsText(1.89f), "1.5");
    EXPECT_EQ(StopBitsText(1.9f), "2");
    EXPECT_EQ(StopBitsText(3.0f), "2");
    EXPECT_EQ(StopBitsText(std::nanf("")), "1");

    // The text always names what the port is opened with.
    for (float value = -1.0f; value < 3.0f; value += 0.01f) {
        const std::string text = StopBitsText(value);
        const SerialStopBits bits = SerialStopBitsFromValue(value);
        const std::string expected = bits == SerialStopBits::Two          ? "2"
                                     : bits == SerialStopBits::OneAndHalf ? "1.5"
                                                                          : "1";
        EXPECT_EQ(text, expected) << value;
    }
    EXPECT_EQ(SerialStopBitsFromValue(1.4f), SerialStopBits::OneAndHalf);
    EXPECT_EQ(SerialStopBitsFromValue(1.39f), SerialStopBits::One);
}

TEST(PortSettings, TextFormsReadBackToTheSameSettings) {
    for (char parity : {'N', 'E', 'O', 'M', 'S'}) {
        EXPECT_EQ(ParseParity(String(ParityName(parity)), 'X'), parity);
        EXPECT_EQ(SerialParityFromCode(parity),
                  SerialParityFromCode(ParseParity(String(ParityName(parity)), 'X')));
    }
    for (float stopbits : {1.0f, 1.5f, 2.0f}) {
        EXPECT_EQ(JsonToFloat(String(StopBitsText(stopbits)), 0.0f), stopbits);
    }
    EXPECT_EQ(SerialParityFromCode('e'), SerialParity::Even);
    EXPECT_EQ(SerialParityFromCode('X'), SerialParity::None);
}

TEST(PortSettings, NoPortRule) {
    for (const char* name : {"", "NONE", "none", "NoNe"}) EXPECT_TRUE(IsNoPort(name)) << name;
    for (const char* name : {"NONE ", " NONE", "COM0", "NON", "NONEE", "/dev/ttyUSB0"}) {
        EXPECT_FALSE(IsNoPort(name)) << name;
    }
}

TEST(PortSettings, ReadPortEntryReplacesOnlyForARealPort) {
    const JsonValue parent = ParseJsonDocument(
        R"({"CAT": {"port": "COM4", "parity": "e"}, "PTT": {"port": "NONE", "baud": 1200},)"
        R"( "CW": {"port": ""}, "FSK": {"baud": 45}, "WinKey": {"port": "COM9"}})");
    PortSettings earlier;
    earlier.port = "COM1";
    earlier.baud = 4800;
    earlier.flow = "RTS";
    for (const char* kind : {"PTT", "CW", "FSK", "Missing"}) {
        PortSettings target = earlier;
        bool present = false;
        ReadPortEntry(parent, kind, target, present, 1200);
        EXPECT_FALSE(present) << kind;
        EXPECT_EQ(target.port, "COM1") << kind;
        EXPECT_EQ(target.baud, 4800) << kind;
        EXPECT_EQ(target.flow, "RTS") << kind;
    }

    PortSettings target = earlier;
    bool present = false;
    ReadPortEntry(parent, "CAT", target, present, 1200);
    EXPECT_TRUE(present);
    EXPECT_EQ(target.port, "COM4");
    EXPECT_EQ(target.baud, 1200);  // the whole target is replaced
    EXPECT_EQ(target.parity, 'E');
    EXPECT_EQ(target.flow, "DTR");

    // The flag is only ever set, never cleared.
    ReadPortEntry(parent, "PTT", target, present, 1200);
    EXPECT_TRUE(present);
    EXPECT_EQ(target.port, "COM4");
}

}  // namespace
}  // namespace brinmoor
