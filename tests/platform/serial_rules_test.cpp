// The serial layer's portable rules, the same on both platforms.
#include "platform/serial_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace brinmoor {
namespace {

TEST(SerialRulesTest, AWriteMayTakeWhatItsBytesNeedPlusAMargin) {
    const struct {
        std::size_t bytes;
        std::uint32_t baud;
        std::uint32_t ms;
    } cases[] = {
        {0, 38400, 500},
        {1, 38400, 501},      // 0.29 ms on the wire, rounded up
        {14, 38400, 505},     // FA00014074000;
        {3, 45, 1234},        // 3 x 244.4 ms: what used to be cut after 500 ms
        {4096, 45, 1001745},  // 4 KiB of FSK: about 16.7 minutes, never unbounded
        {4096, 50, 901620},
        {1 << 20, 4000000, 3384},               // 2883.6 rounded up
        {10, 0, 110500},                        // a baud of 0 counts as 1
        {SIZE_MAX / 11000, 1, UINT32_MAX - 1},  // the longest bound is not INFINITE
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SerialWriteTimeoutMs(c.bytes, c.baud), c.ms) << c.bytes << " at " << c.baud;
    }
}

TEST(SerialRulesTest, ACharacterTakesItsBitsAtTheBaud) {
    const struct {
        SerialDeviceSettings settings;
        long long micros;
    } cases[] = {
        {{45, 5, SerialParity::None, SerialStopBits::OneAndHalf}, 166667},  // RTTY: 7.5 bits
        {{45, 8, SerialParity::None, SerialStopBits::OneAndHalf},
         233334},                                                     // the FSK port's defaults
        {{1200, 8, SerialParity::Even, SerialStopBits::Two}, 10000},  // 12 bits
        {{38400, 8, SerialParity::None, SerialStopBits::One}, 261},
        {{0, 8, SerialParity::None, SerialStopBits::One}, 10000000},  // a baud of 0 counts as 1
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SerialCharacterTime(c.settings).count(), c.micros) << c.settings.baud;
    }
}

TEST(SerialRulesTest, WindowsOpensOnlyPlainDeviceNames) {
    const struct {
        std::string name;
        std::optional<std::string> device;
    } cases[] = {
        {"COM3", "COM3"},
        {"COM10", "COM10"},
        {"CNCA0", "CNCA0"},  // a virtual port driver's pair
        {R"(\\.\COM10)", "COM10"},
        {"//./COM10", "COM10"},
        {R"(\/.\COM7)", "COM7"},
        {R"(\\.\)", std::nullopt},
        {"", std::nullopt},
        {R"(UNC\host\share\x)", std::nullopt},
        {R"(pipe\x)", std::nullopt},
        {R"(\\host\share)", std::nullopt},
        {R"(\\?\C:\file)", std::nullopt},
        {R"(\\.\\\.\COM10)", std::nullopt},
        {"C:file", std::nullopt},
        {"COM1:", std::nullopt},
        {"dir/COM3", std::nullopt},
        {std::string("COM3\0x", 6), std::nullopt},
        {"COM\x1b[2J", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WindowsDeviceName(c.name), c.device) << c.name;
    }
}

}  // namespace
}  // namespace brinmoor
