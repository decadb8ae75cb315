#include "radio/cat_query.h"

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

struct QueryTables {
    std::unordered_set<std::string_view> exact{std::begin(kQueries), std::end(kQueries)};
    std::regex pattern{kQueryPattern, std::regex::ECMAScript};
};

const QueryTables& Tables() {
    // Built once; concurrent first callers wait for the one initialisation.
    static const QueryTables tables;
    return tables;
}

}  // namespace

bool IsCatQuery(std::string_view command) {
    const QueryTables& tables = Tables();
    if (tables.exact.count(command) > 0) return true;
    return std::regex_match(command.begin(), command.end(), tables.pattern);
}

}  // namespace brinmoor
