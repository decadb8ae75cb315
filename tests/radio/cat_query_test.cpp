#include "radio/cat_query.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace brinmoor {
namespace {

// The radio's read commands, as the station's Kenwood-style protocol lists them.
const char* const kListedQueries[] = {
    "AC",   "AG0", "AO",  "AV",  "BC0", "BC1", "BI",  "BP00", "BP01", "BP10", "BY",  "CN00",
    "CN10", "CS",  "CT0", "CT1", "DA",  "DT0", "DT1", "FA",   "FB",   "FN",   "FS",  "FT",
    "GT0",  "ID",  "IF",  "IS0", "KP",  "KR",  "KS",  "KY",   "LK",   "LM0",  "MC",  "MD0",
    "MD1",  "MG",  "ML0", "ML1", "MS",  "MX",  "NA0", "NB0",  "NB1",  "NL0",  "NR0", "NR1",
    "OI",   "OS0", "OS1", "PA0", "PA1", "PB0", "PC",  "PL",   "PR0",  "PR1",  "PS",  "RA0",
    "RF0",  "RG0", "RL0", "RM0", "RM5", "RS",  "RT",  "SC",   "SD",   "SF0",  "SF1", "SH0",
    "SH1",  "SM0", "SQ0", "ST",  "TS",  "TX",  "VD",  "VG",   "VS",   "VX",   "XT",
};

TEST(CatQuery, EveryListedReadIsAQueryAndNothingAroundIt) {
    EXPECT_EQ(std::size(kListedQueries), 83u);
    for (const std::string command : kListedQueries) {
        EXPECT_TRUE(IsCatQuery(command)) << command;
        EXPECT_FALSE(IsCatQuery(command + ";")) << command;
        EXPECT_FALSE(IsCatQuery(command + "0")) << command;
        EXPECT_FALSE(IsCatQuery(" " + command)) << command;
        std::string lower = command;
        for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        EXPECT_FALSE(IsCatQuery(lower)) << command;
    }
}

TEST(CatQuery, CommonQueriesAndSetCommands) {
    for (const char* command : {"FA", "IF", "ID", "TX", "RM5", "PC"}) {
        EXPECT_TRUE(IsCatQuery(command)) << command;
    }
    for (const char* command : {"FA00014074000", "fa", "AG", "AG1", "AG0128", "BP11", "", ";",
                                "FA;", "RX", "TX1", "RM", "PC050"}) {
        EXPECT_FALSE(IsCatQuery(command)) << command;
    }
    EXPECT_TRUE(IsCatQuery("AG0"));
}

TEST(CatQuery, BareModeAndVfoReadsAreQueries) {
    // Station programs read the mode with "MD;" and wait for "MD2;".
    for (const char* command : {"MD", "AI", "FR", "FW", "MD0", "MD1"}) {
        EXPECT_TRUE(IsCatQuery(command)) << command;
    }
    for (const char* command : {"MD2", "MD3", "AI0", "AI2", "FR0", "FR1", "FW0500", "md", "ai"}) {
        EXPECT_FALSE(IsCatQuery(command)) << command;
    }
}

int CountQueries(const std::string& prefix, int digits) {
    int total = 1;
    for (int i = 0; i < digits; ++i) total *= 10;
    int count = 0;
    for (int n = 0; n < total; ++n) {
        std::string suffix = std::to_string(n);
        suffix.insert(0, static_cast<std::size_t>(digits) - suffix.size(), '0');
        if (IsCatQuery(prefix + suffix)) ++count;
    }
    return count;
}

TEST(CatQuery, ParameterisedQueriesMatchWhole) {
    EXPECT_EQ(CountQueries("CF", 3), 4);
    EXPECT_EQ(CountQueries("CO", 2), 8);
    EXPECT_EQ(CountQueries("EM", 2), 12);
    EXPECT_EQ(CountQueries("KM", 1), 5);
    EXPECT_EQ(CountQueries("MR", 3), 100);
    EXPECT_EQ(CountQueries("MT", 3), 100);
    EXPECT_EQ(CountQueries("RI", 1), 6);
    EXPECT_EQ(CountQueries("SS", 2), 9);
    EXPECT_EQ(CountQueries("EX", 4), 0);
    EXPECT_EQ(CountQueries("MR", 2), 0);

    for (const char* command : {"EX000100", "EX999999", "MR012", "MT099", "CF101", "SS08", "KM5",
                                "KM1", "CO13", "EM15", "RI0"}) {
        EXPECT_TRUE(IsCatQuery(command)) << command;
    }
    for (const char* command : {"EX00010", "EX0001000", "EX00010a", "MR112", "MR01", "MR0123",
                                "CF110", "SS09", "KM0", "KM6", "CO14", "EM16", "RI6", "mr012",
                                "MR012;", "xMR012", "MR0\xd9\xa1\xd9\xa1", "EX12345\n"}) {
        EXPECT_FALSE(IsCatQuery(command)) << command;
    }
}

TEST(CatQuery, ConcurrentCallersAgree) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&wrong] {
            for (int i = 0; i < 2000; ++i) {
                if (!IsCatQuery("FA") || !IsCatQuery("MR042") || IsCatQuery("FA00007074000")) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace brinmoor
