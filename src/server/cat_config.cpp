#include "server/cat_config.h"

#include <memory>
#include <mutex>
#include <string>

#include "common/log.h"
#include "config/port_settings.h"
#include "config/saved_config.h"
#include "config/status_reply.h"
#include "radio/port_entry.h"

namespace brinmoor {

bool ApplyCatConfig(ServerState& state, const JsonValue& config, std::int32_t tcpPort) {
    const PortSettings settings = PortSettingsFromJson(config, 38400);
    if (settings.port.empty()) {
        LogErr("[brinmoor] ApplyCatConfig: no port specified.\n");
        return false;
    }
    // Checked before the port is touched: the working CAT port stays as it is.
    if (const std::string refusal = PortEntryRefusal(config, "CAT", PortUse::Radio);
        !refusal.empty()) {
        LogErr(refusal);
        return false;
    }
    if (!state.catLink.OpenIfChanged(settings.port, static_cast<std::uint32_t>(settings.baud),
                                     static_cast<std::uint32_t>(settings.bytesize), settings.parity,
                                     settings.stopbits)) {
        LogErr("[brinmoor] Failed to open CAT port " + settings.port + "\n");
        return false;
    }

    const std::string parityName = ParityName(settings.parity);
    const std::string byteSizeText = std::to_string(settings.bytesize);
    const std::string stopBitsText = StopBitsText(settings.stopbits);
    {
        std::string status = BuildStatusJson(tcpPort, settings.port, settings.baud, byteSizeText,
                                             parityName, stopBitsText);
        std::lock_guard<std::mutex> guard(state.statusMutex);
        state.statusReply = std::move(status);
    }
    SaveCatConfig(state.configPath, settings.port, settings.baud, byteSizeText, parityName,
                  stopBitsText);

    if (!state.powerMonitor.Snapshot()) {
        // Started before it is published, so a reader never sees a monitor
        // that has not begun. Only CFG (under configMutex) and start-up get
        // here, so two monitors are never made.
        auto monitor = std::make_shared<PowerMonitor>(state.catLink);
        monitor->Start();
        state.powerMonitor.Replace(std::move(monitor));
    }

    AnnounceRadioId(state.catLink, settings.port);
    return true;
}

}  // namespace brinmoor
