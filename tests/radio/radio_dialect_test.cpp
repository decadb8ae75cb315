// The radio's dialects: which commands are reads (the program waits for the
// answer) and which set something, and the power monitor, which reads the
// transmit state and the meter the way the radio's dialect allows.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <deque>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "radio/cat_query.h"
#include "radio/power_monitor.h"
#include "support/sim_serial_device.h"

namespace brinmoor {
namespace {

// The commands of a text, separated by blanks.
std::vector<std::string> Split(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

TEST(CatQuery, FourDigitRadiosReadTheListedCodesAndPatterns) {
    // The bare reads station programs send and wait for ("MD;" -> "MD2;"),
    // and reads whose parameters select what is read.
    const auto queries = Split(
        "FA IF ID TX RM5 PC AG0 BP10 CN10 MD0 MD1 XT MD AI FR FW CF101 CO13 EM15 KM1 KM5 MR012 "
        "MT099 RI0 SS08 EX000100 EX999999");
    // Parameters of another form or length, and bytes that are no digits.
    auto sets = Split(
        "FA00014074000 AG AG1 BP11 RX TX1 RM PC050 MD2 AI0 FR0 FW0500 ; MR01 MR0123 EX00010 SS09 "
        "KM0 EX0001000 EX00010a MR112 KM6 CF110 CO14 EM16 RI6");
    sets.insert(sets.end(), {"", "EX12345\n", "MR0\xd9\xa1\xd9\xa1"});
    const RadioDialect dialect = RadioDialect::FourDigit;
    for (const std::string& command : queries) {
        EXPECT_TRUE(IsCatQuery(command, dialect)) << command;
        // Nothing around a read is one: no ";", no other parameter, no
        // blank, no lower case.
        std::string lower = command;
        for (char& c : lower) c = static_cast<char>(std::tolower(c));
        for (const std::string& near : {command + ";", command + "9", " " + command, lower}) {
            EXPECT_FALSE(IsCatQuery(near, dialect)) << near;
        }
    }
    for (const std::string& command : sets) EXPECT_FALSE(IsCatQuery(command, dialect)) << command;
}

TEST(CatQuery, UnidentifiedRadiosReadOnlyWhatReadsInBothDialects) {
    // Whoever answers, these read: the table's bare codes, and AG0 SQ0 SM0.
    for (const std::string& command : Split("FA IF ID PC MD AI FR FW KY PS SC AG0 SQ0 SM0")) {
        EXPECT_TRUE(IsCatQuery(command, RadioDialect::Unknown)) << command;
    }
    // TX keys a three-digit radio and MD1 sets its mode; NB is no read on a
    // four-digit one.
    for (const std::string& command :
         Split("TX RX MD0 MD1 NR1 PA1 NB1 RM5 BP10 EX000100 MR012 AG1 SM1 NB AG fa")) {
        EXPECT_FALSE(IsCatQuery(command, RadioDialect::Unknown)) << command;
    }
}

TEST(CatQuery, ThreeDigitRadiosReadBareCodesAndTheirModelsReads) {
    // What every three-digit radio shares: bare codes read, except those that
    // act; a command with parameters sets unless the model reads it.
    const auto shared = "FA IF ID MD NB NR PA RA RG SH SL BC NT GT SM AG SQ PS AI RM ";
    const auto sharedSets =
        "TX RX UP DN RC RU RD VV SV BU BD QI CH SR MD1 MD0 RM5 TX0 fa nb A ID; FA00014074000 ";
    const std::pair<RadioDialect, const char*> models[] = {
        {RadioDialect::ThreeDigit, "AG0 SQ0 SM0 / NR1 PA1 NB1 AG1 SF0"},
        {RadioDialect::ThreeDigit019,
         "AG1 SQ1 SM1 EX0010000 MR0123 / NR1 PA1 NB1 AG2 SF0 EX001000 EX0010001 MR012 MR1123"},
        {RadioDialect::ThreeDigit020, "AG0 EX1230000 / NR1 PA1 NB1 AG1 SM1 MR0123"},
        {RadioDialect::ThreeDigit021, "SF0 SF1 EX1230000 / NR1 PA1 NB1 SF2"},
        {RadioDialect::ThreeDigit024,
         "SF1 OM0 NB1 NB2 PR0 SH0 SL0 VD0 EX01234 / NR1 PA1 AG0 NB3 NB0 EX11234 EX1230000"},
        {RadioDialect::ThreeDigit022,
         "AG1 RG0 PA1 NR1 CN0 MN1 AN0 VG00 RL10 RL11 MO0 EX01234 / NB1 AN1 VG01 RL12 RG2"},
    };
    for (const auto& [dialect, model] : models) {
        bool query = true;
        for (const std::string& command : Split(shared + std::string(model) + " / " + sharedSets)) {
            if (command == "/") query = false;
            EXPECT_TRUE(command == "/" || IsCatQuery(command, dialect) == query) << command;
        }
        EXPECT_FALSE(IsCatQuery("", dialect));
    }
}

TEST(RadioDialect, IdAnswerChoosesTheDialect) {
    using enum RadioDialect;
    const std::pair<const char*, std::optional<RadioDialect>> ids[] = {
        {"ID019", ThreeDigit019},  {"ID020", ThreeDigit020}, {"ID021", ThreeDigit021},
        {"ID023", ThreeDigit021},  {"ID022", ThreeDigit022}, {"ID024", ThreeDigit024},
        {"ID025", ThreeDigit},     {"ID0570", FourDigit},    {"ID01", std::nullopt},
        {"ID01234", std::nullopt}, {"IDabc", std::nullopt},  {"ID 19", std::nullopt},
        {"?", std::nullopt},       {"", std::nullopt}};
    for (const auto& [answer, dialect] : ids) EXPECT_EQ(DialectFromId(answer), dialect) << answer;
    // The power monitor's tests show the transmit state read; an IF answer
    // too short to hold it says "receiving".
    EXPECT_FALSE(SaysTransmitting(ThreeDigit019, "IF00014074000     +000000000"));
}

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

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
        ASSERT_EQ(link.CatTransaction("ID").answer, "ID0570");
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
                   "20000000;";
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

    // Reads or changes the radio's state under its lock.
    template <class F>
    auto Radio(F f) {
        std::lock_guard<std::mutex> guard(mutex);
        return f();
    }
    void SetTransmitting(bool on) {
        Radio([&] { txState = on ? '2' : '0'; });
    }
    std::size_t Rm5Count() {
        return Radio([&] { return powerAtRm5.size(); });
    }
    // The power the monitor reported when the radio was asked for reading i,
    // that is after the readings before it.
    int PowerAtRm5(std::size_t i) {
        return Radio([&] { return powerAtRm5.at(i); });
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

TEST_F(PowerMonitorTest, ThePowerIsTheSettingOrTheAverageOfTheLastTwentyReadings) {
    monitor.Start();
    // Too short, or no digits: these leave the setting alone.
    for (const char* reply : {"PC050", "PC5", "PCxyz"}) monitor.NotePowerSetting(reply);
    ASSERT_TRUE(sim::WaitUntil([&] { return Radio([&] { return txCount; }) >= 2; }, 3s));
    EXPECT_EQ(monitor.Power(), 50);
    EXPECT_FALSE(monitor.Sampling());
    EXPECT_EQ(Rm5Count(), 0u);

    // 5 readings of 2929 W, then 20 of 25 W, then replies without a reading.
    Radio([&] {
        rm5.insert(rm5.end(), 5, "RM5999");
        rm5.insert(rm5.end(), 20, "RM5100");
    });
    SetTransmitting(true);
    ASSERT_TRUE(sim::WaitUntil([&] { return Rm5Count() >= 28; }, 6s));
    EXPECT_TRUE(monitor.Sampling());
    EXPECT_EQ(PowerAtRm5(1), 2929);  // the first reading alone
    EXPECT_EQ(PowerAtRm5(6), (5 * 2929 + 25) / 6);
    EXPECT_EQ(PowerAtRm5(20), (5 * 2929 + 15 * 25) / 20);  // the window just full
    EXPECT_EQ(PowerAtRm5(22), (3 * 2929 + 17 * 25) / 20);  // the oldest readings leave first
    EXPECT_EQ(PowerAtRm5(25), 25);
    EXPECT_EQ(PowerAtRm5(27), 25);

    // Back to receive: the setting again; the next transmission starts from
    // an empty window (0 W, not an average with the old readings).
    SetTransmitting(false);
    ASSERT_TRUE(sim::WaitUntil([&] { return !monitor.Sampling() && monitor.Power() == 50; }, 3s));
    const std::size_t before = Rm5Count();
    Radio([&] { rm5.push_back("RM5000"); });
    SetTransmitting(true);
    ASSERT_TRUE(sim::WaitUntil([&] { return Rm5Count() >= before + 2; }, 3s));
    EXPECT_EQ(PowerAtRm5(before + 1), 0);

    // A stop in the middle of a burst ends it before its next step; the
    // closing "TX" query is still made.
    const std::size_t asked = Rm5Count();
    const auto start = Clock::now();
    monitor.Stop();
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_LE(Rm5Count(), asked + 1);
    const std::string written = sim::Written(name);
    EXPECT_EQ(written.substr(written.size() - 3), "TX;");
}

TEST_F(PowerMonitorTest, UnidentifiedRadioIsAskedOnlyForItsIdAndAThreeDigitOneNeverTxOrRm) {
    // A new opening: the link knows no dialect until the radio answers "ID".
    Radio([&] { id = "019"; });
    ASSERT_TRUE(link.OpenIfChanged(name, 9600, 8, 'N', 1.0f));
    monitor.NotePowerSetting("PC050");
    SetTransmitting(true);
    const auto start = Clock::now();
    monitor.Start();
    // Keyed at the radio: transmit form, the setting as the figure.
    ASSERT_TRUE(
        sim::WaitUntil([&] { return monitor.Sampling(); }, milliseconds(kIdentifyPollMs + 5000)));
    EXPECT_GE(Clock::now() - start, milliseconds(kIdentifyPollMs - 100));
    EXPECT_EQ(monitor.Power(), 50);
    SetTransmitting(false);
    ASSERT_TRUE(sim::WaitUntil([&] { return !monitor.Sampling(); }, 3s));
    monitor.Stop();
    const std::string written = sim::Written(name);
    EXPECT_EQ(written.rfind("ID;IF;", 0), 0u) << written;
    EXPECT_EQ(written.find("TX"), std::string::npos) << written;
    EXPECT_EQ(written.find("RM"), std::string::npos) << written;
}

}  // namespace
}  // namespace brinmoor
