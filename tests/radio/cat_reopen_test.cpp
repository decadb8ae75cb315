// A radio whose CAT port goes away (USB unplugged, radio power-cycled) is
// closed, reported once, and reopened with the same settings when it returns.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/log.h"
#include "radio/cat_link.h"
#include "radio/cat_link_fixture.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::CatLinkTest;

std::string LostLine(const std::string& port) {
    return "[brinmoor] CAT port " + port + " lost \xE2\x80\x94 will reopen when it returns\n";
}
std::string ReopenedLine(const std::string& port) {
    return "[brinmoor] CAT port " + port + " reopened\n";
}

// Opens the link on a radio of its own and unplugs it under a transaction.
void Lose(CatLink& link, const std::string& port) {
    sim::CreateDevice(port);
    sim::SetResponder(port, sim::KenwoodResponder({{"FA", "FA00014074000"}, {"ID", "ID019"}}));
    ASSERT_TRUE(link.OpenIfChanged(port, 38400, 8, 'N', 1.0f));
    ASSERT_EQ(link.CatTransaction("FA"), "FA00014074000");
    sim::Vanish(port);
    // The write of a set command finds the device gone.
    EXPECT_EQ(link.CatTransaction("FA00007000000"), "");
    EXPECT_FALSE(link.IsOpen());
}

TEST_F(CatLinkTest, LostPortIsReportedOnceAndTriedUntilItComesBackEachTime) {
    test::LogCapture log;
    Lose(link, name);
    EXPECT_EQ(sim::CloseCount(name), 1);  // the dead handle is released
    EXPECT_EQ(link.PortName(), name);     // the settings are kept for the reopen
    // Meanwhile the radio answers as a closed port, and the loss is said once.
    EXPECT_EQ(link.CatTransaction("FA"), "");
    EXPECT_EQ(link.CatTransaction("FA"), "");
    EXPECT_FALSE(Open()) << "the same settings fail while it is away, and keep the attempts";
    EXPECT_EQ(log.Count(LogStream::Err, LostLine(name)), 1);

    // An attempt finds nothing; a later one finds it back.
    const int tried = sim::OpenAttempts(name);
    ASSERT_TRUE(sim::WaitUntil([&] { return sim::OpenAttempts(name) > tried; }, 10s));
    sim::Reappear(name);
    ASSERT_TRUE(log.WaitFor(LogStream::Out, ReopenedLine(name), 10s));
    ASSERT_TRUE(
        log.WaitFor(LogStream::Out, "[brinmoor] CAT port " + name + " opened. Radio ID: ID019\n"));
    EXPECT_EQ(link.CatTransaction("FA"), "FA00014074000");
    EXPECT_EQ(sim::LastSettings(name)->baud, 38400u);

    // Lost again, this time while the radio answers: a read finds it gone.
    sim::SetResponder(name, [this](std::string_view) {
        sim::Vanish(name);
        return std::string();
    });
    EXPECT_EQ(link.CatTransaction("FA"), "");
    EXPECT_EQ(log.Count(LogStream::Err, LostLine(name)), 2);
    sim::Reappear(name);
    ASSERT_TRUE(log.WaitFor(LogStream::Out, ReopenedLine(name), 10s, 2));
}

TEST_F(CatLinkTest, NewSettingsCloseAndDestructionEndTheAttempts) {
    test::LogCapture log;
    // The same baud rate no longer wanted: a new one fails while it is away.
    CatLink newBaud;
    Lose(newBaud, name + "_BAUD");
    EXPECT_FALSE(newBaud.OpenIfChanged(name + "_BAUD", 9600, 8, 'N', 1.0f));
    // Another port altogether: opened at once and kept.
    CatLink newPort;
    Lose(newPort, name + "_OLD");
    sim::CreateDevice(name + "_NEW");
    ASSERT_TRUE(newPort.OpenIfChanged(name + "_NEW", 19200, 8, 'N', 1.0f));
    // Closed, or destroyed, without sitting out the pause between attempts.
    CatLink closed;
    Lose(closed, name + "_CLOSED");
    auto destroyed = std::make_unique<CatLink>();
    Lose(*destroyed, name + "_DESTROYED");
    const auto start = Clock::now();
    closed.Close();
    destroyed.reset();
    EXPECT_LT(Clock::now() - start, 1500ms);

    // Lost last, this one is reopened; by then the others have had their turn.
    Lose(link, name);
    for (const char* port : {"_BAUD", "_OLD", "_CLOSED", "_DESTROYED", ""}) {
        sim::Reappear(name + port);
    }
    ASSERT_TRUE(log.WaitFor(LogStream::Out, ReopenedLine(name), 10s));
    std::this_thread::sleep_for(300ms);  // a late attempt of another link would show now
    for (const char* port : {"_BAUD", "_OLD", "_CLOSED", "_DESTROYED"}) {
        EXPECT_FALSE(sim::IsHeld(name + port)) << port;
        EXPECT_EQ(log.Count(LogStream::Out, ReopenedLine(name + port)), 0) << port;
    }
    EXPECT_EQ(newPort.PortName(), name + "_NEW");
    EXPECT_TRUE(sim::IsHeld(name + "_NEW"));
}

}  // namespace
}  // namespace brinmoor
