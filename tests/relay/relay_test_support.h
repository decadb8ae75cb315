#pragma once
// The server's side of the relays for in-process tests, on simulated devices:
// a radio (RADIO), the active group, the server's PTT line (DTR of SRV_PTT),
// CW line (RTS of SRV_CW), keyer port (SRV_WK) and FSK port (SRV_FSK); and
// the ports of app groups 1 to 3, named G1_CAT, G1_PTT, G1_CW, G1_WK, G1_FSK.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "common/handover.h"
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
using std::chrono::milliseconds;

inline constexpr milliseconds kBound = 3000ms;  // generous: relays react within 50 ms

inline PortSettings Port(std::string device, std::string flow = "DTR") {
    return {.port = std::move(device), .flow = std::move(flow)};
}

// Group n with the kinds named (any of "cat ptt cw winkey fsk") on its ports.
inline AppGroup Group(int n, std::string_view kinds) {
    AppGroup group;
    const std::string prefix = "G" + std::to_string(n) + "_";
    const auto use = [&](const char* kind, const char* device, PortSettings& port, bool& on) {
        if (kinds.find(kind) == std::string_view::npos) return;
        port = Port(prefix + device);
        on = true;
    };
    use("cat", "CAT", group.cat, group.catEnabled);
    use("ptt", "PTT", group.ptt, group.pttEnabled);
    use("cw", "CW", group.cw, group.cwEnabled);
    use("winkey", "WK", group.winkey, group.winkeyEnabled);
    use("fsk", "FSK", group.fsk, group.fskEnabled);
    return group;
}

inline std::shared_ptr<KeyingLine> OpenServerLine(const std::string& device,
                                                  std::string_view lineName) {
    auto line = std::make_shared<KeyingLine>();
    EXPECT_TRUE(line->OpenOwn(device, 38400, 8, 'N', 1.0f, lineName));
    return line;
}

// A fresh simulated world per test; the manager is stopped before the
// server's ports close, as the server does.
class RelayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Reset();
        for (const char* prefix : {"SRV_", "G1_", "G2_", "G3_"}) {
            for (const char* kind : {"CAT", "PTT", "CW", "WK", "FSK"}) {
                sim::CreateDevice(std::string(prefix) + kind);
            }
        }
        sim::CreateDevice("RADIO");
        sim::SetResponder("RADIO",
                          sim::KenwoodResponder({{"FA", "FA00014074000"}, {"ID", "ID019"}}));
        ASSERT_TRUE(catLink.OpenIfChanged("RADIO", 38400, 8, 'N', 1.0f));
        pttLine.Replace(OpenServerLine("SRV_PTT", "DTR"));
        cwLine.Replace(OpenServerLine("SRV_CW", "RTS"));
        winkeyPort.Replace(std::make_shared<SerialPort>());
        fskPort.Replace(std::make_shared<SerialPort>());
        ASSERT_TRUE(winkeyPort.Snapshot()->LockedOpen("SRV_WK", 1200, 8, 'N', 2.0f));
        ASSERT_TRUE(fskPort.Snapshot()->LockedOpen("SRV_FSK", 1200, 8, 'N', 2.0f));
    }
    void TearDown() override {
        manager.Stop();
        for (auto* line : {&pttLine, &cwLine}) {
            if (auto taken = line->Take()) taken->Close();
        }
        for (auto* port : {&winkeyPort, &fskPort}) {
            if (auto taken = port->Take()) taken->LockedClose();
        }
        catLink.Close();
        sim::Reset();
    }

    RelayContext Context() {
        return RelayContext{catLink, activeGroup, pttLine, cwLine, winkeyPort, fskPort};
    }

    test::LogCapture log;
    CatLink catLink;
    ActiveGroup activeGroup;
    Handover<KeyingLine> pttLine;
    Handover<KeyingLine> cwLine;
    Handover<SerialPort> winkeyPort;
    Handover<SerialPort> fskPort;
    RelayManager manager{Context()};
};

}  // namespace brinmoor::relaytest
