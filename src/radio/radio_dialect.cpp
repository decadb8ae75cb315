#include "radio/radio_dialect.h"

#include <algorithm>
#include <iterator>

namespace brinmoor {
namespace {

struct ThreeDigitModel {
    std::string_view id;
    RadioDialect dialect;
};

constexpr ThreeDigitModel kThreeDigitModels[] = {
    {"019", RadioDialect::ThreeDigit019}, {"020", RadioDialect::ThreeDigit020},
    {"021", RadioDialect::ThreeDigit021}, {"022", RadioDialect::ThreeDigit022},
    {"023", RadioDialect::ThreeDigit021}, {"024", RadioDialect::ThreeDigit024},
};

constexpr std::size_t kIfTransmitIndex = 28;
constexpr std::size_t kIfAnswerSize = 37;  // "IF" and the 35 characters of its fields

bool AllDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<RadioDialect> DialectFromId(std::string_view answer) {
    if (answer.substr(0, 2) != "ID") return std::nullopt;
    const std::string_view number = answer.substr(2);
    if (!AllDigits(number)) return std::nullopt;
    if (number.size() == 4) return RadioDialect::FourDigit;
    if (number.size() != 3) return std::nullopt;
    const auto model = std::find_if(std::begin(kThreeDigitModels), std::end(kThreeDigitModels),
                                    [&](const ThreeDigitModel& m) { return m.id == number; });
    return model != std::end(kThreeDigitModels) ? model->dialect : RadioDialect::ThreeDigit;
}

bool IsIdentified(RadioDialect dialect) {
    return dialect != RadioDialect::Unknown;
}

bool IsThreeDigit(RadioDialect dialect) {
    return IsIdentified(dialect) && dialect != RadioDialect::FourDigit;
}

std::string_view TransmitStateQuery(RadioDialect dialect) {
    if (!IsIdentified(dialect)) return {};
    return IsThreeDigit(dialect) ? "IF" : "TX";
}

bool SaysTransmitting(RadioDialect dialect, std::string_view answer) {
    if (dialect == RadioDialect::FourDigit) return !answer.empty() && answer.back() == '2';
    if (!IsThreeDigit(dialect)) return false;
    return answer.substr(0, 2) == "IF" && answer.size() > kIfTransmitIndex &&
           answer[kIfTransmitIndex] == '1';
}

bool AnswerFits(RadioDialect dialect, std::string_view query, std::string_view answer) {
    if (!IsIdentified(dialect) || answer.empty() || answer == "?") return false;
    if (query == "TX" && dialect == RadioDialect::FourDigit) {
        return answer.size() == 3 && answer.substr(0, 2) == "TX" && answer[2] >= '0' &&
               answer[2] <= '2';
    }
    if (query == "IF" && IsThreeDigit(dialect)) {
        return answer.size() == kIfAnswerSize && answer.substr(0, 2) == "IF";
    }
    return answer.substr(0, query.size()) == query;
}

std::string_view DialectLogLine(RadioDialect dialect) {
    if (dialect == RadioDialect::FourDigit) {
        return "[brinmoor] Radio speaks the four-digit-ID dialect: transmit state read from TX\n";
    }
    if (IsThreeDigit(dialect)) {
        return "[brinmoor] Radio speaks the three-digit-ID dialect: transmit state read from IF\n";
    }
    return {};
}

}  // namespace brinmoor
