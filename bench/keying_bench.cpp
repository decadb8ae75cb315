// Figure 4: how soon the server's PTT line follows a DSR edge on the active
// group's PTT port. In process, on simulated serial devices (pseudo-terminals
// have no modem lines): the server's own configuration steps open the ports
// and start the relay, which waits for the line to change as on a real port,
// and the device records when the line changed.
//
// The baseline is a bare loop polling DSR every 10 ms, run on devices of its
// own beside the relay and hit by the same edges at the same moments.
#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include "bench.h"
#include "config/json.h"
#include "relay/relay_manager.h"
#include "server/ext_groups.h"
#include "server/local_ports.h"
#include "server/server_state.h"
#include "support/sim_serial_device.h"

namespace brinmoor::bench {
namespace {

constexpr milliseconds kBarePoll{10};

double LastChangeMs(const std::string& device, Clock::time_point since) {
    const auto history = sim::DtrHistory(device);
    if (history.empty()) return -1;
    return std::chrono::duration<double, std::milli>(history.back().at - since).count();
}

void AddRows(const std::vector<double>& relay, const std::vector<double>& bare, int missed,
             std::vector<Row>& rows) {
    const Summary measured = Summarise(relay);
    const Summary baseline = Summarise(bare);
    const std::string edges = std::to_string(measured.count) + " edges";
    const std::string lost = missed > 0 ? ", " + std::to_string(missed) + " missed" : "";
    rows.push_back({"4", "Keying delay DSR -> PTT, median (" + edges + lost + ")",
                    Fixed(measured.median, 3) + " ms", Fixed(baseline.median, 2) + " ms bare poll",
                    Signed(measured.median - baseline.median, 2) + " ms", "<= 0.3 ms",
                    Check(measured.median <= 0.3 && missed == 0)});
    rows.push_back({"4", "Keying delay DSR -> PTT, p99", Fixed(measured.p99, 3) + " ms",
                    Fixed(baseline.p99, 2) + " ms bare poll",
                    Signed(measured.p99 - baseline.p99, 2) + " ms", "<= 1 ms",
                    Check(measured.p99 <= 1 && missed == 0)});
    rows.push_back({"4", "Keying delay DSR -> PTT, max", Fixed(measured.max, 2) + " ms",
                    Fixed(baseline.max, 2) + " ms bare poll", "", "", Verdict::Info});
}

}  // namespace

void MeasureKeying(const Settings& settings, std::vector<Row>& rows) {
    std::fprintf(stderr, "figure 4: keying delay over %d DSR edges...\n", settings.keyingEdges);
    sim::Reset();
    for (const char* name : {"SRV_PTT", "G1_PTT", "BARE_IN", "BARE_OUT"}) sim::CreateDevice(name);

    std::vector<double> relay;
    std::vector<double> bare;
    int missed = 0;
    {
        QuietStdout quiet;
        ServerState state;
        const JsonValue document = ParseJsonDocument(
            R"({"ports": {"PTT": {"port": "SRV_PTT"}},
                "ext_groups": {"1": {"name": "Bench", "ptt": {"port": "G1_PTT"}}}})");
        ApplyLocalPorts(state, document);
        ApplyExtGroups(state, JsonMember(document, "ext_groups"));
        state.activeGroup.Store(1);

        SerialDevice* bareIn = OpenSerialDevice("BARE_IN", {});
        SerialDevice* bareOut = OpenSerialDevice("BARE_OUT", {});
        std::atomic<bool> running{true};
        std::thread barePoll([&] {
            bool last = false;
            while (running.load()) {
                const bool dsr = IsSerialDsrOn(bareIn);
                if (dsr != last) SetSerialDtr(bareOut, dsr);
                last = dsr;
                std::this_thread::sleep_for(kBarePoll);
            }
        });

        // Edges at random moments, so they fall anywhere in the poll period.
        std::mt19937 random(2024);
        std::uniform_int_distribution<int> pauseUs(5000, 25000);
        bool on = false;
        std::this_thread::sleep_for(milliseconds(300));  // the relay waits for the line
        for (int i = 0; i < settings.keyingEdges; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
            on = !on;
            const auto edge = Clock::now();
            sim::SetDsr("G1_PTT", on);
            sim::SetDsr("BARE_IN", on);
            const bool followed = sim::WaitForDtr("SRV_PTT", on, milliseconds(1000));
            const bool bareFollowed = sim::WaitForDtr("BARE_OUT", on, milliseconds(1000));
            if (!followed) {
                ++missed;
            } else {
                relay.push_back(LastChangeMs("SRV_PTT", edge));
            }
            if (bareFollowed) bare.push_back(LastChangeMs("BARE_OUT", edge));
        }
        running.store(false);
        barePoll.join();
        CloseSerialDevice(bareIn);
        CloseSerialDevice(bareOut);
        StopRelays(state);
        CloseLocalPorts(state);
    }
    sim::Reset();
    if (relay.empty()) {
        rows.push_back({"4", "Keying delay DSR -> PTT", "the line never followed", "", "", "",
                        Verdict::Missed});
        return;
    }
    AddRows(relay, bare, missed, rows);
}

}  // namespace brinmoor::bench
