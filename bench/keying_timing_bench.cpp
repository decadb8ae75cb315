// Figures 12 and 13: keying through the relays on simulated serial devices,
// in process (pseudo-terminals have no modem lines). 12: a 40-WPM element
// stream into a group's CW port, each element's length on the server's CW
// line against its length at the input. 13: what ten full groups cost while
// nothing is keyed, with none and with one active, when their ports deliver
// line events (the relays wait; on pseudo-terminals they poll, figure 5).
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <thread>

#include "bench.h"
#include "config/json.h"
#include "platform/threads.h"
#include "relay/relay_manager.h"
#include "server/ext_groups.h"
#include "server/local_ports.h"
#include "server/server_state.h"
#include "support/sim_serial_device.h"

namespace brinmoor::bench {
namespace {

constexpr int kGroups = 10;
constexpr milliseconds kElement{30};  // 40 WPM: a dit and the gap after it

const char* const kKinds[] = {"cat", "ptt", "cw", "winkey", "fsk"};

// Ten groups of five ports and the server's four, all simulated; group g's
// ports are G<g>_cat, G<g>_ptt, ... and the server's SRV_PTT, SRV_CW, ...
std::string SimulatedGroups() {
    std::string document =
        R"({"ports": {"PTT": {"port": "SRV_PTT"}, "CW": {"port": "SRV_CW"},
            "WinKey": {"port": "SRV_WK"}, "FSK": {"port": "SRV_FSK"}}, "ext_groups": {)";
    for (const char* name : {"SRV_PTT", "SRV_CW", "SRV_WK", "SRV_FSK"}) sim::CreateDevice(name);
    for (int group = 1; group <= kGroups; ++group) {
        const std::string number = std::to_string(group);
        document += (group > 1 ? ", \"" : "\"") + number + "\": {\"name\": \"App " + number + "\"";
        for (const char* kind : kKinds) {
            const std::string device = "G" + number + "_" + kind;
            sim::CreateDevice(device);
            document += std::string(", \"") + kind + "\": {\"port\": \"" + device + "\"";
            if (std::string(kind) == "fsk") document += ", \"flow\": \"DTR\"";
            document += "}";
        }
        document += "}";
    }
    return document + "}}";
}

// The server's configuration steps on the simulated devices, undone at the end.
class SimulatedServer {
  public:
    explicit SimulatedServer(const std::string& document) {
        // Quiet from the relays' start-up lines to their last words.
        const JsonValue parsed = ParseJsonDocument(document);
        ApplyLocalPorts(state, parsed);
        ApplyExtGroups(state, JsonMember(parsed, "ext_groups"));
    }
    ~SimulatedServer() {
        StopRelays(state);
        CloseLocalPorts(state);
    }
    SimulatedServer(const SimulatedServer&) = delete;
    SimulatedServer& operator=(const SimulatedServer&) = delete;

    QuietStdout quiet;
    ServerState state;
};

// The measuring thread itself wakes once, at the end of its sleep.
std::optional<ThreadCost> MeasureOwnCost(milliseconds window) {
    return MeasureThreadCost(::getpid(), window, 1);
}

std::string CostText(const ThreadCost& cost) {
    return Fixed(cost.percent, 3) + " % (" + Fixed(cost.wakeupsPerS, 1) + " wake-ups/s)";
}

}  // namespace

void MeasureCwTiming(const Settings& settings, std::vector<Row>& rows) {
    const int elements = settings.quick ? 100 : 400;
    std::fprintf(stderr, "figure 12: %d CW elements of %lld ms...\n", elements,
                 static_cast<long long>(kElement.count()));
    sim::Reset();
    std::vector<Clock::time_point> input;
    std::vector<sim::LineChange> output;
    {
        SimulatedServer server(SimulatedGroups());
        server.state.activeGroup.Store(1);
        std::this_thread::sleep_for(milliseconds(300));  // the relays wait
        // The program keying at the same priority as the relay: on a busy
        // machine the edges themselves would otherwise come late.
        const bool raised = RaiseThreadPriority();
        auto next = Clock::now();
        bool on = false;
        for (int i = 0; i <= elements; ++i) {
            std::this_thread::sleep_until(next);
            on = !on;
            input.push_back(Clock::now());
            sim::SetDsr("G1_cw", on);
            next += kElement;
        }
        sim::SetDsr("G1_cw", false);
        std::this_thread::sleep_for(milliseconds(100));
        output = sim::DtrHistory("SRV_CW");
        if (!raised) std::fprintf(stderr, "figure 12: the edges run at normal priority\n");
    }
    sim::Reset();
    std::vector<double> errors;
    for (std::size_t i = 0; i + 1 < input.size() && i + 1 < output.size(); ++i) {
        const double in = std::chrono::duration<double, std::milli>(input[i + 1] - input[i]).count();
        const double out =
            std::chrono::duration<double, std::milli>(output[i + 1].at - output[i].at).count();
        errors.push_back(std::fabs(out - in));
    }
    const Summary error = Summarise(errors);
    const bool complete = errors.size() == static_cast<std::size_t>(elements);
    rows.push_back({"12", "CW 40 WPM, element length error, median (" +
                              std::to_string(errors.size()) + " elements)",
                    Fixed(error.median, 3) + " ms", "", "", "", Verdict::Info});
    rows.push_back({"12", "CW 40 WPM, element length error, p99", Fixed(error.p99, 3) + " ms", "",
                    "", "<= 1 ms", Check(complete && error.p99 <= 1.0)});
    rows.push_back({"12", "CW 40 WPM, element length error, max", Fixed(error.max, 3) + " ms", "",
                    "", "", Verdict::Info});
}

void MeasureKeyingIdle(const Settings& settings, std::vector<Row>& rows) {
    const std::string seconds = Fixed(settings.idleWindow.count() / 1000.0, 0) + " s";
    std::fprintf(stderr, "figure 13: 10 simulated groups idle, none and one active (%s each)...\n",
                 seconds.c_str());
    sim::Reset();
    std::optional<ThreadCost> none;
    std::optional<ThreadCost> one;
    {
        SimulatedServer server(SimulatedGroups());
        std::this_thread::sleep_for(milliseconds(500));
        none = MeasureOwnCost(settings.idleWindow);
        server.state.activeGroup.Store(1);
        std::this_thread::sleep_for(milliseconds(500));
        one = MeasureOwnCost(settings.idleWindow);
    }
    sim::Reset();
    if (!none || !one) {
        rows.push_back({"13", "Idle, 10 simulated groups", "no /proc figures", "", "", "",
                        Verdict::Missed});
        return;
    }
    const double allowed = none->wakeupsPerS * 1.1 + 10;
    rows.push_back({"13", "Idle, 10 simulated groups with line events, none active",
                    CostText(*none), "", "", "", Verdict::Info});
    rows.push_back({"13", "Idle, 10 simulated groups with line events, group 1 active",
                    CostText(*one), CostText(*none) + " none active",
                    Signed(one->wakeupsPerS - none->wakeupsPerS, 1) + " wake-ups/s",
                    "<= " + Fixed(allowed, 0) + " wake-ups/s, <= 0.3 %",
                    Check(one->wakeupsPerS <= allowed && one->percent <= 0.3)});
}

}  // namespace brinmoor::bench
