#pragma once
// What the load clients ask, and the one right reply to each: the radio's
// answers are compared with what it answered at the start (the clients set
// nothing but the frequency it already had), the server's own replies by
// their form.
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace brinmoor::load {

enum class QueryKind { Fa, Fb, Id, Info, Mode, Power, Meter, ServerPower, Ports, SetFa };
inline constexpr int kQueryKinds = 10;

// The replies read once before the load starts, without their ";".
struct Baseline {
    std::string fa;     // "FA" and 11 digits
    std::string id;     // "ID" and the identity
    std::string info;   // the IF report
    std::string ports;  // "PORTS" and the status text
};

enum class Verdict { Right, Wrong, Err };

// The frame with its ";".
std::string QueryText(QueryKind kind, const Baseline& baseline);
// A set command gets no reply at all.
bool ExpectsReply(QueryKind kind);
// The reply without its ";". Err: the server's "ERR" form for this very
// query (the radio did not answer).
Verdict CheckReply(QueryKind kind, std::string_view reply, const Baseline& baseline);
// A mix weighted toward the queries station programs send most.
QueryKind PickQuery(std::mt19937_64& random);
const char* QueryName(QueryKind kind);

// Whether the baseline replies have the forms the checks rely on.
bool BaselineUsable(const Baseline& baseline, std::string* reason);

}  // namespace brinmoor::load
