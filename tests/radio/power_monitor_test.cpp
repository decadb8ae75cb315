#include "radio/power_monitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/sim_serial_device.h"

namespace brinmoor {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// Polls until the condition holds; false after the time-out.
bool WaitFor(const std::function<bool()>& condition, milliseconds timeout = milliseconds(3000)) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

TEST(PowerFromMeter, FollowsTheRadiosCubic) {
    const std::vector<std::pair<int, int>> table = {{0, 0},    {3, 0},     {10, 0},    {11, 1},
                                                    {20, 2},   {50, 8},    {100, 25},  {150, 51},
                                                    {200, 88}, {255, 141}, {999, 2929}};
    for (const auto& [reading, watts] : table) {
        EXPECT_EQ(PowerMonitor::PowerFromMeter(reading), watts) << reading;
    }
    EXPECT_EQ(PowerMonitor::PowerFromMeter(-50), 0);
}

// A four-digit radio that answers "TX" with its transmit state and "RM5" with
// the next scripted meter reply; once the script is used up, with a
// five-character reply that carries no reading. With a three-digit ID it
// reports the transmit state in "IF" instead.
class PowerMonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        name =
            std::string("PWR_") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        sim::CreateDevice(name);
        sim::SetResponder(name, [this](std::string_view written) { return Answer(written); });
        ASSERT_TRUE(link.OpenIfChanged(name, 38400, 8, 'N', 1.0f));
        // As the port's opening does: the radio identifies itself.
        ASSERT_EQ(link.CatTransaction("ID"), "ID0570");
        sim::TakeWritten(name);
    }
    void TearDown() override {
        monitor.Stop();
        link.Close();
    }

    std::string Answer(std::string_view written) {
        std::lock_guard<std::mutex> guard(mutex);
        if (written == "ID;") return id.empty() ? std::string() : "ID" + id + ";";
        if (written == "IF;" && id.size() == 3) {
            return std::string("IF00014074000     +000000000") + (txState == '2' ? '1' : '0') +
                   "2000000;";
        }
        if (written == "TX;") {
            ++txCount;
            return std::string("TX") + txState + ";";
        }
        if (written == "RM5;") {
            powerAtRm5.push_back(monitor.Power());
            if (rm5.empty()) return "RM512;";
            std::string reply = rm5.front();
            rm5.pop_front();
            return reply + ";";
        }
        return "?;";
    }

    void SetId(std::string newId) {
        std::lock_guard<std::mutex> guard(mutex);
        id = std::move(newId);
    }
    void SetTransmitting(bool on) {
        std::lock_guard<std::mutex> guard(mutex);
        txState = on ? '2' : '0';
    }
    void Script(std::initializer_list<std::string> replies) {
        std::lock_guard<std::mutex> guard(mutex);
        rm5.insert(rm5.end(), replies);
    }
    int TxCount() {
        std::lock_guard<std::mutex> guard(mutex);
        return txCount;
    }
    std::size_t Rm5Count() {
        std::lock_guard<std::mutex> guard(mutex);
        return powerAtRm5.size();
    }
    // The power the monitor reported when the radio was asked for reading i,
    // that is after the readings before it.
    int PowerAtRm5(std::size_t i) {
        std::lock_guard<std::mutex> guard(mutex);
        return i < powerAtRm5.size() ? powerAtRm5[i] : -1;
    }

    std::string name;
    CatLink link;
    PowerMonitor monitor{link};

    std::mutex mutex;
    std::string id = "0570";
    char txState = '0';
    std::deque<std::string> rm5;
    int txCount = 0;
    std::vector<int> powerAtRm5;
};

TEST_F(PowerMonitorTest, PowerSettingReachesThePowerAtTheNextIdleCycle) {
    monitor.Start();
    ASSERT_TRUE(WaitFor([&] { return TxCount() >= 1; }));
    EXPECT_EQ(monitor.Power(), 0);

    monitor.NotePowerSetting("PC100");
    EXPECT_EQ(monitor.Power(), 0);  // not at once
    // Too short, or no digits: these leave the setting alone.
    monitor.NotePowerSetting("PC5");
    monitor.NotePowerSetting("PCxyz");
    ASSERT_TRUE(WaitFor([&] { return monitor.Power() == 100; }));
    EXPECT_FALSE(monitor.Sampling());
    EXPECT_EQ(Rm5Count(), 0u);

    // Stop does not wait out the 500-ms pause that has just begun.
    const int polls = TxCount();
    const auto start = Clock::now();
    monitor.Stop();
    EXPECT_LT(MsSince(start), 350);
    EXPECT_EQ(TxCount(), polls);
    monitor.Stop();  // a second stop is harmless
}

TEST_F(PowerMonitorTest, TransmitStateTwoStartsSamplingOfTheMeter) {
    Script({"RM5000", "RM5100", "RM5200"});
    SetTransmitting(true);
    monitor.Start();
    ASSERT_TRUE(WaitFor([&] { return Rm5Count() >= 4; }));
    EXPECT_TRUE(monitor.Sampling());
    EXPECT_EQ(PowerAtRm5(1), 0);
    EXPECT_EQ(PowerAtRm5(2), 12);
    EXPECT_EQ(PowerAtRm5(3), 37);

    // Five-character replies carry no reading: the power stays, and the steps
    // still keep their 20-ms pace.
    const auto start = Clock::now();
    ASSERT_TRUE(WaitFor([&] { return Rm5Count() >= 12; }));
    EXPECT_GE(MsSince(start), 8 * 20 - 10);
    EXPECT_EQ(monitor.Power(), 37);
    EXPECT_TRUE(monitor.Sampling());
}

TEST_F(PowerMonitorTest, AverageKeepsOnlyTheLastTwentyReadingsAcrossBursts) {
    // 5 readings of 2929 W, then 20 of 25 W: the window ends with only the 25s.
    Script({"RM5999", "RM5999", "RM5999", "RM5999", "RM5999"});
    for (int i = 0; i < 20; ++i) Script({"RM5100"});
    SetTransmitting(true);
    monitor.Start();
    ASSERT_TRUE(WaitFor([&] { return Rm5Count() >= 27; }, milliseconds(6000)));
    EXPECT_EQ(PowerAtRm5(20), (5 * 2929 + 15 * 25) / 20);  // the window just full
    EXPECT_EQ(PowerAtRm5(25), 25);
    EXPECT_TRUE(monitor.Sampling());

    // A stop in the middle of a burst ends it before its next step; the
    // closing "TX" query is still made.
    const std::size_t asked = Rm5Count();
    const auto start = Clock::now();
    monitor.Stop();
    EXPECT_LT(MsSince(start), 500);
    EXPECT_LE(Rm5Count(), asked + 1);
    const std::string written = sim::Written(name);
    ASSERT_GE(written.size(), 3u);
    EXPECT_EQ(written.substr(written.size() - 3), "TX;");
}

TEST_F(PowerMonitorTest, SamplingEndsWithThePowerSettingAndAFreshWindow) {
    monitor.NotePowerSetting("PC050");
    Script({"RM5200"});
    SetTransmitting(true);
    monitor.Start();
    ASSERT_TRUE(WaitFor([&] { return Rm5Count() >= 2; }));
    EXPECT_EQ(PowerAtRm5(1), 88);  // the first reading alone
    EXPECT_EQ(monitor.Power(), 88);

    SetTransmitting(false);
    ASSERT_TRUE(WaitFor([&] { return !monitor.Sampling() && monitor.Power() == 50; }));

    // The next transmission starts from an empty window: 0 W, not (88 + 0) / 2.
    const std::size_t before = Rm5Count();
    Script({"RM5000"});
    SetTransmitting(true);
    ASSERT_TRUE(WaitFor([&] { return Rm5Count() >= before + 2; }));
    EXPECT_EQ(PowerAtRm5(before + 1), 0);
}

TEST_F(PowerMonitorTest, ThreeDigitRadioIsNeverSentTxOrRmAndReportsTheSetting) {
    SetId("019");
    ASSERT_EQ(link.CatTransaction("ID"), "ID019");
    sim::TakeWritten(name);
    monitor.NotePowerSetting("PC050");
    monitor.Start();
    ASSERT_TRUE(WaitFor([&] { return monitor.Power() == 50; }));
    EXPECT_FALSE(monitor.Sampling());

    // Keyed at the radio: transmit form, the setting as the figure.
    SetTransmitting(true);
    ASSERT_TRUE(WaitFor([&] { return monitor.Sampling(); }));
    EXPECT_EQ(monitor.Power(), 50);
    SetTransmitting(false);
    ASSERT_TRUE(WaitFor([&] { return !monitor.Sampling(); }));
    monitor.Stop();
    const std::string written = sim::Written(name);
    EXPECT_EQ(written.find("TX"), std::string::npos) << written;
    EXPECT_EQ(written.find("RM"), std::string::npos) << written;
    EXPECT_NE(written.find("IF;"), std::string::npos) << written;
}

TEST_F(PowerMonitorTest, UnidentifiedRadioIsAskedOnlyForItsIdUntilItAnswers) {
    // Switched off when the port opened: the link knows no dialect.
    SetId("");
    ASSERT_TRUE(link.OpenIfChanged(name, 9600, 8, 'N', 1.0f));
    EXPECT_EQ(link.Dialect(), RadioDialect::Unknown);
    SetTransmitting(true);
    const auto start = Clock::now();
    monitor.Start();
    ASSERT_TRUE(sim::WaitForWritten(name, "ID;", milliseconds(kIdentifyPollMs + 3000)));
    EXPECT_GE(MsSince(start), kIdentifyPollMs - 100);
    ASSERT_TRUE(WaitFor([&] { return sim::Written(name) == "ID;ID;"; }));  // the retry
    EXPECT_FALSE(monitor.Sampling());

    // Switched on: the next "ID" answer sets the dialect, and polling begins.
    SetId("0570");
    ASSERT_TRUE(WaitFor([&] { return monitor.Sampling(); }, milliseconds(kIdentifyPollMs + 5000)));
    const std::string written = sim::Written(name);
    EXPECT_EQ(written.rfind("ID;ID;ID;TX;", 0), 0u) << written;
}

TEST_F(PowerMonitorTest, ClosedLinkKeepsTheMonitorIdle) {
    link.Close();
    EXPECT_EQ(link.Dialect(), RadioDialect::Unknown);
    monitor.NotePowerSetting("PC075");
    const auto start = Clock::now();
    monitor.Start();
    ASSERT_TRUE(WaitFor([&] { return monitor.Power() == 75; }));
    EXPECT_GE(MsSince(start), 400);  // it still sleeps between polls
    EXPECT_FALSE(monitor.Sampling());
    EXPECT_EQ(sim::Written(name), "");
}

}  // namespace
}  // namespace brinmoor
