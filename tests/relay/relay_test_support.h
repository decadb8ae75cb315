#pragma once
// The server's side of the relays for in-process tests: a radio link, the
// active group and the server's own keying lines and ports, all on simulated
// serial devices, plus a watch on the log.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/handover.h"
#include "common/log.h"
#include "radio/cat_link.h"
#include "radio/keying_line.h"
#include "radio/serial_port.h"
#include "relay/app_groups.h"
#include "relay/relay_context.h"
#include "relay/relay_manager.h"
#include "support/log_capture.h"
#include "support/sim_serial_device.h"

namespace brinmoor::relaytest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// Polls the condition every 5 ms; false when it did not hold in time.
inline bool WaitUntil(const std::function<bool()>& condition, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

using test::LogCapture;

struct FakeServer {
    CatLink catLink;
    ActiveGroup activeGroup;
    Handover<KeyingLine> pttLine;
    Handover<KeyingLine> cwLine;
    Handover<SerialPort> winkeyPort;
    Handover<SerialPort> fskPort;

    RelayContext Context() {
        return RelayContext{catLink, activeGroup, pttLine, cwLine, winkeyPort, fskPort};
    }

    ~FakeServer() {
        if (auto line = pttLine.Take()) line->Close();
        if (auto line = cwLine.Take()) line->Close();
        if (auto port = winkeyPort.Take()) port->LockedClose();
        if (auto port = fskPort.Take()) port->LockedClose();
        catLink.Close();
    }
};

inline std::shared_ptr<KeyingLine> OpenServerLine(const std::string& device,
                                                  std::string_view lineName) {
    auto line = std::make_shared<KeyingLine>();
    EXPECT_TRUE(line->OpenOwn(device, 38400, 8, 'N', 1.0f, lineName));
    return line;
}

inline std::shared_ptr<SerialPort> OpenServerPort(const std::string& device) {
    auto port = std::make_shared<SerialPort>();
    EXPECT_TRUE(port->LockedOpen(device, 1200, 8, 'N', 2.0f));
    return port;
}

inline PortSettings Port(std::string device, std::string flow = "DTR") {
    PortSettings settings;
    settings.port = std::move(device);
    settings.flow = std::move(flow);
    return settings;
}

// A fresh simulated world per test; the manager is stopped before the
// server's ports close, as the server does.
class RelayTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::Reset(); }
    void TearDown() override {
        manager.Stop();
        sim::Reset();
    }

    static void Devices(std::initializer_list<const char*> names) {
        for (const char* name : names) sim::CreateDevice(name);
    }

    LogCapture log;
    FakeServer server;
    RelayManager manager{server.Context()};
};

}  // namespace brinmoor::relaytest
