// The app groups read from the configuration, and the relays started for
// them: which relays start, the log lines, and every port closed again.
#include "relay/relay_manager.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include "config/json.h"
#include "relay/app_groups.h"
#include "relay_test_support.h"

namespace brinmoor {
namespace {

using namespace relaytest;

using Names = std::map<std::int32_t, std::string>;

// The groups read from the document, one "number: kind=port@baud 8N1 flow"
// list per line, in the table's order.
std::string GroupsOf(const std::string& json, Names* names = nullptr) {
    Names read;
    AppGroupTable table;
    ReadExtGroups(ParseJsonDocument(json), read, table);
    if (names != nullptr) *names = read;
    std::ostringstream text;
    for (const auto& [number, group] : table) {
        text << number << ":";
        const auto kind = [&](const char* name, const PortSettings& port, bool enabled) {
            if (!enabled) return;
            text << " " << name << "=" << port.port << "@" << port.baud << " " << port.bytesize
                 << port.parity << port.stopbits << " " << port.flow;
        };
        kind("cat", group.cat, group.catEnabled);
        kind("ptt", group.ptt, group.pttEnabled);
        kind("cw", group.cw, group.cwEnabled);
        kind("winkey", group.winkey, group.winkeyEnabled);
        kind("fsk", group.fsk, group.fskEnabled);
        text << "\n";
    }
    return text.str();
}

TEST(ReadExtGroupsTest, MembersWithAUsablePortBecomeGroupsInNumberOrder) {
    const std::pair<const char*, const char*> cases[] = {
        {"{}", ""},
        {"5", ""},
        {R"({"4": {"cat": {"port": "NONE"}, "ptt": {"port": "none"}, "cw": {"port": ""},
                   "winkey": {"port": 5}, "fsk": {"baud": 50}}})",
         ""},
        // Each kind has its own default baud rate.
        {R"({"5": {"cat": {"port": "COM1"}, "ptt": {"port": "COM2", "flow": "RTS"},
                   "cw": {"port": "COM3"}, "winkey": {"port": "COM4"}, "fsk": {"port": "COM5"}}})",
         "5: cat=COM1@38400 8N1 DTR ptt=COM2@38400 8N1 RTS cw=COM3@38400 8N1 DTR "
         "winkey=COM4@1200 8N1 DTR fsk=COM5@45 8N1 DTR\n"},
        {R"({"6": {"fsk": {"port": "COM6", "baud": 50, "bytesize": 5, "parity": "even",
                           "stopbits": 1.5, "flow": "dtr/rts"}}})",
         "6: fsk=COM6@50 5E1.5 dtr/rts\n"},
        {R"({"10": {"cat": {"port": "COM1"}}, "9": {"cat": {"port": "COM2"}},
             " +3": {"cat": {"port": "COM3"}}})",
         "3: cat=COM3@38400 8N1 DTR\n9: cat=COM2@38400 8N1 DTR\n10: cat=COM1@38400 8N1 DTR\n"},
        // "01" comes before "1": a later member of the same number replaces
        // the record, but only when it enables a kind.
        {R"({"01": {"cat": {"port": "COM1"}}, "1": {"name": "Second"}})",
         "1: cat=COM1@38400 8N1 DTR\n"},
        {R"({"01": {"cat": {"port": "COM1"}}, "1": {"fsk": {"port": "COM3"}}})",
         "1: fsk=COM3@45 8N1 DTR\n"},
    };
    for (const auto& [json, groups] : cases) EXPECT_EQ(GroupsOf(json), groups) << json;
}

TEST(ReadExtGroupsTest, NamesComeFromNameOrTheKeyAndAKeyWithoutANumberThrows) {
    Names names;
    EXPECT_EQ(GroupsOf(R"({"1": {"name": "Logger"}, "07": {}, "8": {"name": ""},
                           "9": {"name": 12}, "-1": {"name": "Nobody"}, " +3": "not an object",
                           "2x": {"cat": {"port": "COM9"}}, "01": {"name": "First"}})",
                       &names),
              "2: cat=COM9@38400 8N1 DTR\n");
    EXPECT_EQ(names, (Names{{-1, "Nobody"},
                            {1, "Logger"},
                            {2, "Group 2x"},
                            {3, "Group  +3"},
                            {7, "Group 07"},
                            {8, ""},
                            {9, "Group 9"}}));
    // The names read before the bad key are kept, in key order: "b" never.
    AppGroupTable table;
    names.clear();
    EXPECT_THROW(ReadExtGroups(ParseJsonDocument(R"({"1": {"name": "A"}, "3": {"name": "C"},
                                                     "abc": {"name": "B"}, "b": {}})"),
                               names, table),
                 std::invalid_argument);
    EXPECT_EQ(names, (Names{{1, "A"}, {3, "C"}}));
    for (const char* json : {R"({"": {}})", R"({"-": {}})", R"({"x1": {}})"}) {
        EXPECT_THROW(GroupsOf(json), std::invalid_argument) << json;
    }
    for (const char* json : {R"({"2147483648": {}})", R"({"-2147483649": {}})"}) {
        EXPECT_THROW(GroupsOf(json), std::out_of_range) << json;
    }
    GroupsOf(R"({"2147483647": {}, "-2147483648": {}})", &names);
    EXPECT_EQ(names.size(), 2u);
}

const std::vector<std::string> kGroupDevices = {"G1_PTT", "G2_CAT", "G2_PTT", "G2_WK", "G2_FSK"};

const std::vector<std::string> kStartLines = {
    "[relay] Failed to open CAT port for group 1\n",
    "[relay] PTT relay started for group 1\n",
    "[relay] CAT relay started for group 2 on G2_CAT\n",
    "[relay] PTT relay started for group 2\n",
    "[relay] CW relay started for group 2\n",
    "[relay] WinKey relay started for group 2\n",
    "[relay] FSK relay started for group 2\n",
};

class RelayManagerTest : public RelayTest {
  protected:
    void SetUp() override {
        RelayTest::SetUp();
        // Group 1's CAT port does not exist; group 2 has all five kinds, PTT
        // and CW on one cable.
        table[1] = Group(1, "cat ptt");
        table[1].cat = Port("MISSING");
        table[2] = Group(2, "cat ptt cw winkey fsk");
        table[2].cw = Port("G2_PTT", "RTS");
    }

    // The n-th relay thread cannot be created.
    void FailThread(int n, RelayManager& starter) {
        created = 0;
        starter.SetThreadStarter([this, n](std::function<void()> body) {
            if (++created == n) {
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
            }
            return std::thread(std::move(body));
        });
    }

    AppGroupTable table;
    int created = 0;
};

TEST_F(RelayManagerTest, StartLogsEachRelayAndStopClosesEveryPort) {
    manager.Start(table);
    EXPECT_EQ(log.Out(), kStartLines);
    EXPECT_TRUE(log.Err().empty());
    for (const std::string& device : kGroupDevices) EXPECT_TRUE(sim::IsHeld(device)) << device;
    EXPECT_EQ(sim::OpenCount("G2_PTT"), 1);

    // Idle relays end within about the CAT relay's half-second read.
    const auto stopping = std::chrono::steady_clock::now();
    manager.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);
    for (const std::string& device : kGroupDevices) {
        EXPECT_FALSE(sim::IsHeld(device)) << device;
        EXPECT_EQ(sim::CloseCount(device), 1) << device;
        EXPECT_FALSE(sim::Dtr(device) || sim::Rts(device)) << device;
    }
    // The server's own ports stay open; only the groups' are the manager's.
    EXPECT_TRUE(sim::IsHeld("SRV_WK"));
    manager.Stop();  // a stopped manager does nothing

    // The same configuration again opens the same ports again, but the WinKey
    // and FSK relays only beside the server's own open ports.
    log.Clear();
    winkeyPort.Take()->LockedClose();
    fskPort.Snapshot()->LockedClose();  // there, but closed
    RelayManager next(Context());
    next.Start(table);
    EXPECT_EQ(log.Out(), std::vector<std::string>(kStartLines.begin(), kStartLines.begin() + 5));
    EXPECT_EQ(sim::OpenCount("G2_PTT"), 2);
    EXPECT_EQ(sim::OpenCount("G2_WK") + sim::OpenCount("G2_FSK"), 2);
}

TEST_F(RelayManagerTest, AThreadThatCannotBeCreatedLeavesNoPortBehind) {
    // Threads in order: group 1 PTT; group 2 CAT, PTT, CW, ... Group 2's CW
    // cannot be created: nothing is opened for the groups after it, and the
    // relays already running keep working.
    FailThread(4, manager);
    table[3] = Group(3, "ptt");
    activeGroup.Store(2);
    manager.Start(table);
    EXPECT_EQ(log.Err(),
              std::vector<std::string>{"[relay] Could not start a relay thread for group 2\n"});
    EXPECT_EQ(log.Out(), std::vector<std::string>(kStartLines.begin(), kStartLines.begin() + 4));
    EXPECT_EQ(sim::OpenCount("G2_WK") + sim::OpenCount("G3_PTT"), 0);
    sim::SetDsr("G2_PTT", true);
    EXPECT_TRUE(sim::WaitForDtr("SRV_PTT", true, kBound));
    manager.Stop();
    for (const std::string& device : kGroupDevices) EXPECT_FALSE(sim::IsHeld(device)) << device;

    // Group 2's WinKey relay from the program: the port opened for it closes.
    RelayManager next(Context());
    FailThread(5, next);
    next.Start(table);
    EXPECT_EQ(sim::OpenCount("G2_WK"), 1);
    EXPECT_FALSE(sim::IsHeld("G2_WK"));
    EXPECT_TRUE(sim::IsHeld("G2_PTT"));
}

}  // namespace
}  // namespace brinmoor
