#include "radio/cat_query.h"

#include <algorithm>
#include <iterator>
#include <regex>
#include <string_view>
#include <unordered_set>

namespace brinmoor {
namespace {

// clang-format off
constexpr std::string_view kQueries[] = {
    "AC",  "AG0",  "AO",   "AV",  "BC0", "BC1", "BI",  "BP00", "BP01", "BP10",
    "BY",  "CN00", "CN10", "CS",  "CT0", "CT1", "DA",  "DT0",  "DT1",  "FA",
    "FB",  "FN",   "FS",   "FT",  "GT0", "ID",  "IF",  "IS0",  "KP",   "KR",
    "KS",  "KY",   "LK",   "LM0", "MC",  "MD0", "MD1", "MG",   "ML0",  "ML1",
    "MS",  "MX",   "NA0",  "NB0", "NB1", "NL0", "NR0", "NR1",  "OI",   "OS0",
    "OS1", "PA0",  "PA1",  "PB0", "PC",  "PL",  "PR0", "PR1",  "PS",   "RA0",
    "RF0", "RG0",  "RL0",  "RM0", "RM5", "RS",  "RT",  "SC",   "SD",   "SF0",
    "SF1", "SH0",  "SH1",  "SM0", "SQ0", "ST",  "TS",  "TX",   "VD",   "VG",
    "VS",  "VX",   "XT",
    // The bare reads of mode, auto-information and the receive and transmit
    // VFOs: station programs send "MD;" and wait for the answer.
    "MD",  "AI",   "FR",   "FW",
};
// clang-format on

// Queries whose parameters select what is read.
constexpr const char* kQueryPattern =
    R"(CF[01]0[01]|CO[01][0-3]|EM[01][0-5]|KM[1-5]|MR0\d\d|MT0\d\d|RI[0-5]|SS0[0-8]|EX\d{6})";

// Three-digit radios: bare codes that act instead of reading.
constexpr std::string_view kSetOnlyCodes[] = {"TX", "RX", "UP", "DN", "RC", "RU", "RD",
                                              "VV", "SV", "BU", "BD", "QI", "CH", "SR"};

// Three-digit radios: the reads that carry parameters, one pattern per model.
struct ModelReads {
    RadioDialect dialect;
    const char* pattern;
};
constexpr ModelReads kModelReads[] = {
    {RadioDialect::ThreeDigit, R"(AG0|SQ0|SM0)"},
    {RadioDialect::ThreeDigit019, R"(AG[01]|SQ[01]|SM[01]|EX\d{3}0000|MR0\d{3})"},
    {RadioDialect::ThreeDigit020, R"(AG0|SQ0|SM0|EX\d{3}0000)"},
    {RadioDialect::ThreeDigit021, R"(AG0|SQ0|SM0|SF[01]|EX\d{3}0000)"},
    {RadioDialect::ThreeDigit022, R"((AG|RG|SQ|SM|RA|PA|NR|NT|BP|GC|OM|TN|CN|MN)[01]|)"
                                  R"(AN0|VD0|VG00|RL1[01]|SH0|SL0|MO0|EX0\d{4})"},
    {RadioDialect::ThreeDigit024, R"(SF[01]|OM[01]|NB[12]|PR0|SH0|SL0|VD0|EX0\d{4})"},
};

// Reads with parameters that every radio reads alike (a bare code of the
// table reads in both dialects, TX aside).
constexpr std::string_view kReadsEverywhere[] = {"AG0", "SQ0", "SM0"};

struct QueryTables {
    std::unordered_set<std::string_view> exact{std::begin(kQueries), std::end(kQueries)};
    std::regex pattern{kQueryPattern, std::regex::ECMAScript};
    std::regex modelReads[std::size(kModelReads)];

    QueryTables() {
        for (std::size_t i = 0; i < std::size(kModelReads); ++i) {
            modelReads[i] = std::regex(kModelReads[i].pattern, std::regex::ECMAScript);
        }
    }
};

bool IsBareCode(std::string_view command) {
    return command.size() == 2 &&
           std::all_of(command.begin(), command.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

const QueryTables& Tables() {
    // Built once; concurrent first callers wait for the one initialisation.
    static const QueryTables tables;
    return tables;
}

}  // namespace

bool IsCatQuery(std::string_view command, RadioDialect dialect) {
    const QueryTables& tables = Tables();
    if (!IsIdentified(dialect)) {
        // Whoever answers may key on "TX;" or switch modes on "MD1;".
        if (IsBareCode(command)) return command != "TX" && tables.exact.count(command) > 0;
        return std::find(std::begin(kReadsEverywhere), std::end(kReadsEverywhere), command) !=
               std::end(kReadsEverywhere);
    }
    if (dialect == RadioDialect::FourDigit) {
        if (tables.exact.count(command) > 0) return true;
        return std::regex_match(command.begin(), command.end(), tables.pattern);
    }
    if (IsBareCode(command)) {
        return std::find(std::begin(kSetOnlyCodes), std::end(kSetOnlyCodes), command) ==
               std::end(kSetOnlyCodes);
    }
    for (std::size_t i = 0; i < std::size(kModelReads); ++i) {
        if (kModelReads[i].dialect == dialect) {
            return std::regex_match(command.begin(), command.end(), tables.modelReads[i]);
        }
    }
    return false;
}

}  // namespace brinmoor
