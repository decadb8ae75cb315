#pragma once
// The fixture most system tests share: the real server with the radio
// simulator on its CAT port and a control client (the station's desktop
// application), plus the checks every fault test ends with.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "procstats/proc_stats.h"
#include "support/posix/server_process.h"
#include "support/posix/tcp_client.h"

namespace brinmoor::test {

inline const std::string kFrequency = "FA00014074000;";

class StationTest : public ::testing::Test {
  protected:
    ~StationTest() override;

    // Starts the server (with the options) and, unless configure is false,
    // puts its CAT port on the device, or on the simulator (started with the
    // radio options) when no device is given.
    void StartStation(const std::vector<std::string>& radioOptions = {},
                      const std::vector<std::string>& serverOptions = {}, bool configure = true,
                      const std::string& device = "");
    pid_t Pid() { return server.Process().Pid(); }

    // A client that connects now gets FA answered so and PORTS answered.
    void ExpectServed(const std::string& fa = kFrequency);
    // The server's CPU over the window stays well below a whole core.
    void ExpectNoSpin(const char* what, milliseconds window = milliseconds(2000));
    // Resident memory has not followed the load (generous: sanitizer builds
    // start larger and pay more for each thread).
    void ExpectMemoryBounded(const char* what);
    // QUIT: "QUIT_OK;", then exit code 0 within three seconds.
    void QuitAndExpectPromptExit();

    RadioSim radio;
    std::string radioPath;
    ServerProcess server;
    std::unique_ptr<TcpClient> control;
    ProcFigures start;

  private:
    // The radio's terminal, held open until the server has gone: a server
    // reopening a lost port must not find another test's terminal under it.
    int radioHold = -1;
};

}  // namespace brinmoor::test
