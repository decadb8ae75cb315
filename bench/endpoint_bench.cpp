// Figure 11: a CAT query's round trip through an app group's tcp: endpoint
// and its pty: endpoint, beside the same query through the serial relay of
// figure 2 (the server on a pseudo-terminal's slave), all interleaved.
#include <cstdio>
#include <string>
#include <vector>

#include "bench.h"
#include "station.h"
#include "support/posix/pty.h"
#include "support/posix/tcp_client.h"

namespace brinmoor::bench {

void MeasureEndpointLatency(const Settings& settings, std::vector<Row>& rows) {
    std::fprintf(stderr, "figure 11: CAT round trip through tcp: and pty: endpoints...\n");
    Station station;
    test::PseudoTerminal serial;
    const std::uint16_t port = test::FreeLoopbackPort();
    const std::string link = (station.server.Folder() / "program").string();
    const std::string document =
        "{\"ports\": {" + station.CatEntry() + "}, \"ext_groups\": {" +
        "\"1\": {\"cat\": {\"port\": \"" + serial.SlavePath() + "\"}}, " +
        "\"2\": {\"cat\": {\"port\": \"tcp:" + std::to_string(port) + "\"}}, " +
        "\"3\": {\"cat\": {\"port\": \"pty:" + link + "\"}}}}";
    int tcp = -1;
    int pty = -1;
    if (serial.IsOpen() && station.StartWithRadio() &&
        station.Configure(document, "[relay] CAT relay started for group 3")) {
        tcp = ConnectLoopback(port);
        pty = OpenRawTerminal(link);
    }
    if (tcp < 0 || pty < 0) {
        rows.push_back({"11", "CAT query through endpoints", "not run", "", "", "",
                        Verdict::Missed});
        std::fprintf(stderr, "figure 11: %s\n", station.failure.c_str());
        CloseFd(tcp);
        CloseFd(pty);
        return;
    }
    const Interleaved result = Interleave({serial.MasterFd(), tcp, pty}, settings.latencySamples);
    const Summary relay = Summarise(result.samples[0]);
    const std::string lost =
        result.failures > 0 ? " (" + std::to_string(result.failures) + " lost)" : "";
    const std::string baseline = Fixed(relay.median, 0) + " us serial relay";
    for (const auto& [index, kind] : {std::pair{1, "tcp:"}, std::pair{2, "pty:"}}) {
        const Summary via = Summarise(result.samples[index]);
        const double added = via.median - relay.median;
        const bool judged = index == 1;  // the target is set for tcp:
        rows.push_back({"11", std::string("CAT query through a ") + kind + " endpoint, median",
                        Fixed(via.median, 0) + " us" + lost, baseline, Signed(added, 0) + " us",
                        judged ? "<= +100 us" : "",
                        judged ? Check(via.count > 0 && added <= 100) : Verdict::Info});
        rows.push_back({"11", std::string("CAT query through a ") + kind + " endpoint, p99",
                        Fixed(via.p99, 0) + " us", Fixed(relay.p99, 0) + " us serial relay",
                        Signed(via.p99 - relay.p99, 0) + " us", "", Verdict::Info});
    }
    CloseFd(tcp);
    CloseFd(pty);
}

}  // namespace brinmoor::bench
