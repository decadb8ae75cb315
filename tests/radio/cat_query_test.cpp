#include "radio/cat_query.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
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

// Four-digit radios, and radios that have not identified themselves yet.
bool IsCatQuery(const std::string& command) {
    const bool query = brinmoor::IsCatQuery(command, RadioDialect::FourDigit);
    EXPECT_EQ(brinmoor::IsCatQuery(command, RadioDialect::Unknown), query) << command;
    return query;
}

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

TEST(CatQuery, ThreeDigitRadiosReadBareCodesAndTheirModelsReads) {
    // What every three-digit radio shares: bare codes read, except those that
    // act; a command with parameters sets unless the model reads it.
    const char* const shared[] = {"FA", "IF", "ID", "MD", "NB", "NR", "PA", "RA", "RG", "SH",
                                  "SL", "BC", "NT", "GT", "SM", "AG", "SQ", "PS", "AI", "RM"};
    const char* const sharedSets[] = {"TX",  "RX",  "UP", "DN", "RC", "RU", "RD",  "VV",
                                      "SV",  "BU",  "BD", "QI", "CH", "SR", "MD1", "MD0",
                                      "RM5", "TX0", "fa", "nb", "",   "A",  "ID;", "FA00014074000"};
    struct Model {
        RadioDialect dialect;
        std::vector<const char*> queries;
        std::vector<const char*> sets;
    };
    const Model models[] = {
        {RadioDialect::ThreeDigit, {"AG0", "SQ0", "SM0"}, {"NR1", "PA1", "NB1", "AG1", "SF0"}},
        {RadioDialect::ThreeDigit019,
         {"AG1", "SQ1", "SM1", "EX0010000", "MR0123"},
         {"NR1", "PA1", "NB1", "AG2", "SF0", "EX001000", "EX0010001", "MR012", "MR1123"}},
        {RadioDialect::ThreeDigit020,
         {"AG0", "EX1230000"},
         {"NR1", "PA1", "NB1", "AG1", "SM1", "MR0123"}},
        {RadioDialect::ThreeDigit021, {"SF0", "SF1", "EX1230000"}, {"NR1", "PA1", "NB1", "SF2"}},
        {RadioDialect::ThreeDigit024,
         {"SF1", "OM0", "NB1", "NB2", "PR0", "SH0", "SL0", "VD0", "EX01234"},
         {"NR1", "PA1", "AG0", "NB3", "NB0", "EX11234", "EX1230000"}},
        {RadioDialect::ThreeDigit022,
         {"AG1", "RG0", "PA1", "NR1", "CN0", "MN1", "AN0", "VG00", "RL10", "RL11", "MO0",
          "EX01234"},
         {"NB1", "AN1", "VG01", "RL12", "RG2"}},
    };
    for (const Model& model : models) {
        for (const char* command : shared) {
            EXPECT_TRUE(brinmoor::IsCatQuery(command, model.dialect)) << command;
        }
        for (const char* command : model.queries) {
            EXPECT_TRUE(brinmoor::IsCatQuery(command, model.dialect)) << command;
        }
        for (const char* command : sharedSets) {
            EXPECT_FALSE(brinmoor::IsCatQuery(command, model.dialect)) << command;
        }
        for (const char* command : model.sets) {
            EXPECT_FALSE(brinmoor::IsCatQuery(command, model.dialect)) << command;
        }
    }
}

TEST(RadioDialect, IdAnswerChoosesTheDialectAndItsTransmitState) {
    const std::pair<const char*, std::optional<RadioDialect>> ids[] = {
        {"ID019", RadioDialect::ThreeDigit019},
        {"ID020", RadioDialect::ThreeDigit020},
        {"ID021", RadioDialect::ThreeDigit021},
        {"ID023", RadioDialect::ThreeDigit021},
        {"ID022", RadioDialect::ThreeDigit022},
        {"ID024", RadioDialect::ThreeDigit024},
        {"ID025", RadioDialect::ThreeDigit},
        {"ID0570", RadioDialect::FourDigit},
        {"ID01", std::nullopt},
        {"ID01234", std::nullopt},
        {"IDabc", std::nullopt},
        {"ID 19", std::nullopt},
        {"?", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [answer, dialect] : ids) EXPECT_EQ(DialectFromId(answer), dialect) << answer;

    const std::string receiving = "IF00014074000     +000000000020000000";
    std::string sending = receiving;
    sending[28] = '1';
    const RadioDialect kenwood = RadioDialect::ThreeDigit019;
    EXPECT_EQ(TransmitStateQuery(kenwood), "IF");
    EXPECT_TRUE(SaysTransmitting(kenwood, sending));
    EXPECT_FALSE(SaysTransmitting(kenwood, receiving));
    EXPECT_FALSE(SaysTransmitting(kenwood, sending.substr(0, 28)));
    EXPECT_FALSE(SaysTransmitting(kenwood, "TX2"));
    EXPECT_EQ(TransmitStateQuery(RadioDialect::FourDigit), "TX");
    EXPECT_TRUE(SaysTransmitting(RadioDialect::FourDigit, "TX2"));
    EXPECT_FALSE(SaysTransmitting(RadioDialect::FourDigit, "TX1"));
    EXPECT_FALSE(SaysTransmitting(RadioDialect::FourDigit, sending));
    EXPECT_EQ(TransmitStateQuery(RadioDialect::Unknown), "");
    EXPECT_FALSE(SaysTransmitting(RadioDialect::Unknown, "TX2"));
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
