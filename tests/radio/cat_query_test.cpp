// Which commands are reads (the program waits for the answer) and which set
// something, for each dialect the radio may speak.
#include "radio/cat_query.h"

#include <gtest/gtest.h>

#include <cctype>
#include <iterator>
#include <sstream>
#include <optional>
#include <string>
#include <vector>

namespace brinmoor {
namespace {

// The commands of a text, separated by blanks.
std::vector<std::string> Split(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

TEST(CatQuery, FourDigitAndUnidentifiedRadiosReadTheListedCodesAndPatterns) {
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
    for (const RadioDialect dialect : {RadioDialect::FourDigit, RadioDialect::Unknown}) {
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
        for (const std::string& command : sets)
            EXPECT_FALSE(IsCatQuery(command, dialect)) << command;
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
            else EXPECT_EQ(IsCatQuery(command, dialect), query) << command;
        }
        EXPECT_FALSE(IsCatQuery("", dialect));
    }
}

TEST(RadioDialect, IdAnswerChoosesTheDialect) {
    using enum RadioDialect;
    const std::pair<const char*, std::optional<RadioDialect>> ids[] = {
        {"ID019", ThreeDigit019}, {"ID020", ThreeDigit020}, {"ID021", ThreeDigit021},
        {"ID023", ThreeDigit021}, {"ID022", ThreeDigit022}, {"ID024", ThreeDigit024},
        {"ID025", ThreeDigit},    {"ID0570", FourDigit},    {"ID01", std::nullopt},
        {"ID01234", std::nullopt}, {"IDabc", std::nullopt}, {"ID 19", std::nullopt},
        {"?", std::nullopt},      {"", std::nullopt}};
    for (const auto& [answer, dialect] : ids) EXPECT_EQ(DialectFromId(answer), dialect) << answer;
    // The power monitor's tests show the transmit state read; an IF answer
    // too short to hold it says "receiving".
    EXPECT_FALSE(SaysTransmitting(ThreeDigit019, "IF00014074000     +000000000"));
}

}  // namespace
}  // namespace brinmoor
