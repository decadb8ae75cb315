// The POSIX serial device on real pseudo-terminals.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/serial_device.h"
#include "platform/serial_rules.h"
#include "support/posix/pty.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::PseudoTerminal;
using test::TtyLineSettings;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

SerialDeviceSettings Settings(std::uint32_t baud = 38400) {
    SerialDeviceSettings settings;
    settings.baud = baud;
    return settings;
}

// Closes the device at the end of a test, whatever happens.
struct DeviceCloser {
    SerialDevice* device;
    ~DeviceCloser() { CloseSerialDevice(device); }
};

class SerialDevicePosixTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(pty.IsOpen()) << "no pseudo-terminal available"; }

    PseudoTerminal pty;
};

TEST_F(SerialDevicePosixTest, BytesTravelBothWays) {
    SerialDevice* device = OpenSerialDevice(pty.SlavePath(), Settings());
    ASSERT_NE(device, nullptr);
    DeviceCloser closer{device};

    ASSERT_EQ(WriteSerialDevice(device, "FA;\n"), SerialWrite::Done);
    EXPECT_TRUE(pty.WaitFor("FA;\n", 2000ms));  // raw: no "\r\n" for "\n"
    EXPECT_EQ(pty.TakeReceived(), "FA;\n");

    ASSERT_TRUE(pty.Write("FA00014074000;\r"));
    SetSerialReadTimeout(device, 1000);
    std::string got;
    char byte = 0;
    while (got.size() < 15 && ReadSerialByte(device, byte) == SerialRead::Byte) got += byte;
    EXPECT_EQ(got, "FA00014074000;\r");

    ASSERT_TRUE(pty.Write("IF;"));
    EXPECT_TRUE(WaitForSerialInput(device, 2000));
    EXPECT_EQ(SerialInputQueueLength(device), 3u);

    // A pseudo-terminal has no modem lines: no effect, DSR reads off.
    SetSerialDtr(device, true);
    SetSerialRts(device, true);
    EXPECT_FALSE(IsSerialDsrOn(device));
    // Nor line events: a keying relay polls it, and learns so at once.
    ModemWaitCancel* cancel = CreateModemWaitCancel();
    ModemLines seen;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForModemChange(device, cancel, 5000, seen), ModemWait::Unsupported);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    DestroyModemWaitCancel(cancel);
}

TEST_F(SerialDevicePosixTest, OpenPurgesAndSetsTheLineRawWithoutFlowControl) {
    ASSERT_TRUE(pty.Write("stale"));
    // Data bits and parity generation are not compared: a pseudo-terminal
    // forces eight bits without parity.
    struct Case {
        SerialDeviceSettings settings;
        bool odd;
        bool stick;
        bool checked;
        bool twoStop;
    };
    const Case cases[] = {
        // 45.45-baud RTTY rounds to 45; 1.5 stop bits with five data bits.
        {{45, 5, SerialParity::Mark, SerialStopBits::OneAndHalf}, true, true, true, true},
        {{9600, 8, SerialParity::None, SerialStopBits::One}, false, false, false, false},
        {{4800, 7, SerialParity::Even, SerialStopBits::Two}, false, false, true, true},
        {{1200, 6, SerialParity::Odd, SerialStopBits::One}, true, false, true, false},
        {{250000, 8, SerialParity::Space, SerialStopBits::One}, false, true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings.baud);
        SerialDevice* device = OpenSerialDevice(pty.SlavePath(), c.settings);
        ASSERT_NE(device, nullptr);
        DeviceCloser closer{device};
        EXPECT_EQ(SerialInputQueueLength(device), 0u);
        const TtyLineSettings seen = pty.LineSettings();
        EXPECT_EQ(seen.baud, c.settings.baud);
        EXPECT_EQ(seen.oddParity, c.odd);
        EXPECT_EQ(seen.stickParity, c.stick);
        EXPECT_EQ(seen.parityChecked, c.checked);
        EXPECT_EQ(seen.twoStopBits, c.twoStop);
        EXPECT_FALSE(seen.hardwareFlow);
        EXPECT_FALSE(seen.softwareFlow);
        EXPECT_TRUE(seen.local);
        EXPECT_TRUE(seen.raw);
    }
}

// Only a terminal that can be a serial line opens; whatever else a name
// reaches is closed again untouched, and leaves nothing locked behind.
TEST_F(SerialDevicePosixTest, OnlySerialTerminalsOpen) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("brinmoor-devices-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    std::filesystem::create_symlink("/dev/ptmx", folder / "radio");
    ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
    { std::ofstream((folder / "file").string()) << "data"; }

    const std::string refused[] = {
        "ptmx",  // a name without "/" is looked up under /dev
        "/dev/ptmx", "/dev/tty", "/dev/console",
        (folder / "radio").string(),  // what resolves to /dev/ptmx
        "/dev/null", (folder / "fifo").string(), (folder / "file").string(), folder.string(), "",
        "COM3",
        // The part before the NUL is a usable terminal, but not the name given.
        pty.SlavePath() + std::string(1, '\0') + "x",
    };
    for (const std::string& name : refused) {
        EXPECT_EQ(OpenSerialDevice(name, Settings()), nullptr) << name;
    }
    SerialDeviceSettings nineBits = Settings();
    nineBits.dataBits = 9;
    EXPECT_EQ(OpenSerialDevice(pty.SlavePath(), nineBits), nullptr);
    EXPECT_EQ(OpenSerialDevice(pty.SlavePath(), Settings(0)), nullptr);
    std::filesystem::remove_all(folder);

    SerialDevice* device = OpenSerialDevice(pty.SlavePath(), Settings());
    EXPECT_NE(device, nullptr);
    CloseSerialDevice(device);
}

// One program at a time holds a terminal. One held by another program is left
// as that program holds it: its lock refused, the flag that makes it exclusive
// given back (or, when the holder set it, never touched).
TEST_F(SerialDevicePosixTest, OpenIsExclusiveAndLeavesOtherHoldersAlone) {
    const int holder = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const auto exclusive = [&] {
        int flag = -1;
        EXPECT_EQ(ioctl(holder, TIOCGEXCL, &flag), 0);
        return flag;
    };
    // A port held with flock is refused before it is opened at all: opening
    // a serial line raises its DTR and RTS.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, pty.SlavePath().c_str(), IN_OPEN), 0);
    EXPECT_EQ(OpenSerialDevice(pty.SlavePath(), Settings()), nullptr);
    char event[256];
    EXPECT_LT(read(watch, event, sizeof event), 0) << "the held port was opened";
    close(watch);
    EXPECT_EQ(exclusive(), 0);
    ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
    EXPECT_EQ(OpenSerialDevice(pty.SlavePath(), Settings()), nullptr);
    EXPECT_EQ(exclusive(), 1);
    ioctl(holder, TIOCNXCL);
    close(holder);

    SerialDevice* first = OpenSerialDevice(pty.SlavePath(), Settings());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(OpenSerialDevice(pty.SlavePath(), Settings()), nullptr);
    // Another program that asks for the lock is kept out too, root included.
    const int other = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (other >= 0) {  // an unprivileged opener is already refused here (TIOCEXCL)
        EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
        close(other);
    }
    CloseSerialDevice(first);
    SerialDevice* second = OpenSerialDevice(pty.SlavePath(), Settings());
    EXPECT_NE(second, nullptr);
    CloseSerialDevice(second);
}

TEST_F(SerialDevicePosixTest, ReadWaitsItsTimeOut) {
    SerialDevice* device = OpenSerialDevice(pty.SlavePath(), Settings());
    ASSERT_NE(device, nullptr);
    DeviceCloser closer{device};
    SetSerialReadTimeout(device, 50);
    char byte = 0;
    const auto start = Clock::now();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ReadSerialByte(device, byte), SerialRead::Idle);
    EXPECT_GE(MsSince(start), 4 * 50 * 8 / 10);
    EXPECT_LT(MsSince(start), 3000);

    // A byte that arrives during the wait ends it at once.
    SetSerialReadTimeout(device, 3000);
    std::thread peer([&] {
        std::this_thread::sleep_for(100ms);
        pty.Write("x");
    });
    const auto waited = Clock::now();
    EXPECT_EQ(ReadSerialByte(device, byte), SerialRead::Byte);
    EXPECT_EQ(byte, 'x');
    EXPECT_LT(MsSince(waited), 2500);
    peer.join();
}

// Waiting for input neither reads nor holds up a writer on another thread.
TEST_F(SerialDevicePosixTest, WaitForInputEndsWhenBytesArriveOrTheDeviceHangsUp) {
    SerialDevice* device = OpenSerialDevice(pty.SlavePath(), Settings());
    ASSERT_NE(device, nullptr);
    DeviceCloser closer{device};

    auto start = Clock::now();
    EXPECT_FALSE(WaitForSerialInput(device, 100));
    EXPECT_GE(MsSince(start), 80);

    std::thread peer([&] {
        EXPECT_EQ(WriteSerialDevice(device, "KY;"), SerialWrite::Done);
        EXPECT_TRUE(pty.WaitFor("KY;", 2000ms));
        pty.Write("x");
    });
    start = Clock::now();
    EXPECT_TRUE(WaitForSerialInput(device, 5000));
    EXPECT_LT(MsSince(start), 2500);
    peer.join();
    EXPECT_EQ(SerialInputQueueLength(device), 1u);  // still there for the read

    // A hung-up device ends the wait at once; reads then report it gone (each
    // after its time-out, so a relay does not spin), and so do writes.
    pty.CloseMaster();
    char byte = 0;
    SetSerialReadTimeout(device, 50);
    while (ReadSerialByte(device, byte) == SerialRead::Byte) {
    }
    start = Clock::now();
    EXPECT_TRUE(WaitForSerialInput(device, 3000));
    EXPECT_LT(MsSince(start), 1500);
    start = Clock::now();
    for (int i = 0; i < 8; ++i) EXPECT_EQ(ReadSerialByte(device, byte), SerialRead::Gone);
    EXPECT_GE(MsSince(start), 8 * 50 * 8 / 10);
    EXPECT_EQ(WriteSerialDevice(device, "FA;"), SerialWrite::Gone);
    EXPECT_EQ(SerialInputQueueLength(device), 0u);
    EXPECT_FALSE(IsSerialDsrOn(device));

    start = Clock::now();
    EXPECT_FALSE(WaitForSerialInput(nullptr, 60));  // no device: the whole wait
    EXPECT_GE(MsSince(start), 50);
}

TEST_F(SerialDevicePosixTest, WriteThatCannotDrainFailsWhenItsBytesHadTime) {
    constexpr std::uint32_t kBaud = 4000000;
    SerialDevice* device = OpenSerialDevice(pty.SlavePath(), Settings(kBaud));
    ASSERT_NE(device, nullptr);
    DeviceCloser closer{device};
    // Nobody reads the master: the queue fills and the write gives up once
    // the time its bytes need on the wire (and the margin) has passed.
    const std::string bytes(1 << 18, 'x');  // more than the terminal's buffers hold
    const auto bound = static_cast<long long>(SerialWriteTimeoutMs(bytes.size(), kBaud));
    const auto start = Clock::now();
    EXPECT_EQ(WriteSerialDevice(device, bytes), SerialWrite::Failed);
    EXPECT_GE(MsSince(start), bound * 9 / 10);
    EXPECT_LT(MsSince(start), bound + 10000);
}

}  // namespace
}  // namespace brinmoor
