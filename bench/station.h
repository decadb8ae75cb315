#pragma once
// The real programs as the benchmark runs them: the server on a loopback
// port with the radio simulator on its CAT port, a control client (the part
// Varnholt plays), and a twin simulator that the benchmark asks directly, so
// that a baseline runs interleaved with the measured path and both see the
// same load of a shared machine.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/posix/server_process.h"
#include "support/posix/tcp_client.h"

namespace brinmoor::bench {

struct Station {
    std::vector<std::string> radioOptions;  // for the server's simulator
    test::RadioSim radio;
    test::RadioSim twin;
    test::ServerProcess server;
    std::unique_ptr<test::TcpClient> control;
    std::string failure;

    Station() = default;
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;
    // QUIT through the control client when it is still connected; the server
    // is killed otherwise.
    ~Station();

    // Both simulators, the server and the control client.
    bool Start();
    // Sends the CFG document and waits for a line of standard output that
    // contains the text.
    bool Configure(const std::string& document, std::string_view awaitedLine);
    // The "CAT" member of a "ports" object naming the server's radio.
    std::string CatEntry() const;
    // Starts the server and configures the radio, waiting for its identity.
    bool StartWithRadio();

    bool Fail(std::string reason);
};

}  // namespace brinmoor::bench
