#include "query_mix.h"

#include <algorithm>
#include <array>

namespace brinmoor::load {
namespace {

struct KindInfo {
    QueryKind kind;
    const char* frame;  // without ";"; SetFa adds the frequency
    int weight;
};

constexpr std::array<KindInfo, kQueryKinds> kKinds{{
    {QueryKind::Fa, "FA", 24},
    {QueryKind::Fb, "FB", 5},
    {QueryKind::Id, "ID", 12},
    {QueryKind::Info, "IF", 10},
    {QueryKind::Mode, "MD", 6},
    {QueryKind::Power, "PC", 12},
    {QueryKind::Meter, "SM0", 6},
    {QueryKind::ServerPower, "PW", 10},
    {QueryKind::Ports, "PORTS", 5},
    {QueryKind::SetFa, "FA", 10},
}};

const KindInfo& Info(QueryKind kind) {
    return kKinds[static_cast<std::size_t>(kind)];
}

bool Digits(std::string_view text, std::size_t count) {
    return text.size() == count &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool CodeAndDigits(std::string_view reply, std::string_view code, std::size_t count) {
    return reply.starts_with(code) && Digits(reply.substr(code.size()), count);
}

}  // namespace

std::string QueryText(QueryKind kind, const Baseline& baseline) {
    if (kind == QueryKind::SetFa) return baseline.fa + ";";
    return std::string(Info(kind).frame) + ";";
}

bool ExpectsReply(QueryKind kind) {
    return kind != QueryKind::SetFa;
}

Verdict CheckReply(QueryKind kind, std::string_view reply, const Baseline& baseline) {
    if (reply == "ERR" + std::string(Info(kind).frame)) return Verdict::Err;
    bool right = false;
    switch (kind) {
        case QueryKind::Fa:
            right = reply == baseline.fa;
            break;
        case QueryKind::Fb:
            right = CodeAndDigits(reply, "FB", 11);
            break;
        case QueryKind::Id:
            right = reply == baseline.id;
            break;
        case QueryKind::Info:
            right = reply == baseline.info;
            break;
        case QueryKind::Mode:
            right = CodeAndDigits(reply, "MD", 1);
            break;
        case QueryKind::Power:
            right = CodeAndDigits(reply, "PC", 3);
            break;
        case QueryKind::Meter:
            right = CodeAndDigits(reply, "SM0", 4);
            break;
        case QueryKind::ServerPower:
            // The transmit digit, then the power with at least three digits.
            right = reply.size() >= 6 && (reply[2] == '0' || reply[2] == '2') &&
                    Digits(reply.substr(3), reply.size() - 3) && reply.starts_with("PW");
            break;
        case QueryKind::Ports:
            right = reply == baseline.ports;
            break;
        case QueryKind::SetFa:
            right = false;  // never answered
            break;
    }
    return right ? Verdict::Right : Verdict::Wrong;
}

QueryKind PickQuery(std::mt19937_64& random) {
    static const int total = [] {
        int sum = 0;
        for (const KindInfo& info : kKinds) sum += info.weight;
        return sum;
    }();
    int pick = std::uniform_int_distribution<int>(0, total - 1)(random);
    for (const KindInfo& info : kKinds) {
        if (pick < info.weight) return info.kind;
        pick -= info.weight;
    }
    return QueryKind::Fa;
}

const char* QueryName(QueryKind kind) {
    return kind == QueryKind::SetFa ? "FA<set>" : Info(kind).frame;
}

bool BaselineUsable(const Baseline& baseline, std::string* reason) {
    auto fail = [&](const std::string& why) {
        if (reason != nullptr) *reason = why;
        return false;
    };
    if (!CodeAndDigits(baseline.fa, "FA", 11)) return fail("FA; was answered " + baseline.fa);
    if (!baseline.id.starts_with("ID") || baseline.id.starts_with("ERR")) {
        return fail("ID; was answered " + baseline.id);
    }
    if (!baseline.info.starts_with("IF")) return fail("IF; was answered " + baseline.info);
    if (!baseline.ports.starts_with("PORTS{")) return fail("PORTS; was answered " + baseline.ports);
    return true;
}

}  // namespace brinmoor::load
