#include "server/server.h"

#include <chrono>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "common/log.h"
#include "common/text.h"
#include "config/json.h"
#include "config/saved_config.h"
#include "config/status_reply.h"
#include "platform/files.h"
#include "platform/service.h"
#include "platform/termination.h"
#include "platform/threads.h"
#include "server/cat_config.h"
#include "server/client_session.h"
#include "server/control_commands.h"
#include "server/ext_groups.h"
#include "server/station_file.h"

namespace brinmoor {
namespace {

constexpr const char* kNoSavedConfig =
    "[brinmoor] No saved config \xE2\x80\x94 waiting for port configuration from Varnholt.\n";
constexpr const char* kUnreadableSavedConfig =
    "[brinmoor] Could not parse saved config \xE2\x80\x94 waiting for port configuration from "
    "Varnholt.\n";

// Who the listener lets in, and how often it says so about those it does not.
struct Admission {
    const AllowList& allow;
    std::size_t maxClients;
    RefusalLogLimit notAllowedLog;
    RefusalLogLimit limitLog;
};

// A refused connection is closed before a byte of it is read.
void Admit(ServerState& state, Admission& admission, SocketHandle client, std::uint32_t peer) {
    const auto now = RefusalLogLimit::Clock::now();
    if (!IsAllowed(admission.allow, peer)) {
        CloseSocket(client);
        if (admission.notAllowedLog.ShouldLog(peer, now)) {
            LogErr("[brinmoor] Connection from " + FormatIpv4(peer) +
                   " refused (not in --allow)\n");
        }
        return;
    }
    if (state.sessions.LiveCount() >= admission.maxClients) {
        CloseSocket(client);
        if (admission.limitLog.ShouldLog(peer, now)) {
            LogErr("[brinmoor] Connection from " + FormatIpv4(peer) + " refused (" +
                   std::to_string(admission.maxClients) +
                   " clients connected, the --max-clients limit)\n");
        }
        return;
    }
    StartClientSession(state, client);
}

void AcceptLoop(ServerState& state, SocketHandle listener, Admission& admission) {
    while (!state.quit.load()) {
        if (const int reason = TerminationRequested()) {
            // From here on exactly as after QUIT.
            LogOut("[brinmoor] " + TerminationReasonName(reason) + " received.\n");
            state.quit.store(true);
            break;
        }
        const SocketWait wait = WaitReadable(listener, kAcceptWaitMs);
        bool failed = wait == SocketWait::Error;
        if (wait == SocketWait::Readable) {
            std::uint32_t peer = 0;
            const SocketHandle client = AcceptConnection(listener, &peer);
            if (client != kInvalidSocket) {
                Admit(state, admission, client, peer);
            } else {
                failed = true;
            }
        }
        state.sessions.ReapFinished();
        ReleaseOverdueKeying(state);
        // A lasting failure (out of handles, say) must not turn into a busy loop.
        if (failed) std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptWaitMs));
    }
}

int Serve(ServerState& state, const CommandLine& options) {
    {
        std::string status = BuildStatusJson(state.tcpPort, "", 0, "", "", "");
        std::lock_guard<std::mutex> guard(state.statusMutex);
        state.statusReply = std::move(status);
    }
    LogOut("[brinmoor] Listening on TCP port " + std::to_string(state.tcpPort) + ".\n");
    const SocketHandle listener = CreateTcpSocket();
    if (listener == kInvalidSocket) {
        LogErr("[brinmoor] socket() failed: " + std::to_string(LastSocketError()) + "\n");
        return 1;
    }
    SetListenerAddressOption(listener);
    if (!BindSocket(listener, options.bindAddress, static_cast<std::uint16_t>(state.tcpPort))) {
        LogErr("[brinmoor] bind() failed on port " + std::to_string(state.tcpPort) + ": " +
               std::to_string(LastSocketError()) + "\n");
        CloseSocket(listener);
        return 1;
    }
    ListenSocket(listener, kListenBacklog);
    // Once the port is ours: a second server started by mistake stops at the
    // bind above and never touches the radio's lines, nor takes the first
    // one's endpoints and links. Clients that connect meanwhile wait in the
    // backlog until the saved port is open.
    LoadSavedCatConfig(state);
    if (!options.stationPath.empty()) ApplyStationFile(state, options.stationPath);

    Admission admission{state.allow, options.maxClients, {}, {}};
    AcceptLoop(state, listener, admission);

    LogOut("[brinmoor] Shutting down.\n");
    CloseSocket(listener);
    ShutDown(state);
    return 0;
}

}  // namespace

void LoadSavedCatConfig(ServerState& state) {
    const std::string text = LoadSavedConfigText(state.configPath);
    if (text.empty()) {
        LogOut(kNoSavedConfig);
        return;
    }
    try {
        const JsonValue document = ParseJsonDocument(text);
        const JsonValue& cat = JsonMember(document, "cat");
        const JsonValue& port = JsonMember(cat, "port");
        if (cat.kind == JsonKind::Object && port.kind == JsonKind::String && !port.text.empty()) {
            LogOut("[brinmoor] Loading saved port config: " + EscapeControlBytes(port.text) + "\n");
            ApplyCatConfig(state, cat, state.tcpPort);
        } else {
            LogOut(kNoSavedConfig);
        }
    } catch (...) {
        LogOut(kUnreadableSavedConfig);
    }
}

bool StartClientSession(ServerState& state, SocketHandle socket) {
    const bool started = state.sessions.Launch(socket, [&state, socket] {
        RunClientSession(SessionStart{socket, state, state.tcpPort});
    });
    if (!started) {
        CloseSocket(socket);
        LogErr(
            "[brinmoor] Could not start a session for a new client \xE2\x80\x94 connection "
            "closed.\n");
    }
    return started;
}

void ShutDown(ServerState& state) {
    // Wake every session out of its receive call; each ends after the frame
    // it is handling and closes its socket.
    state.sessions.ShutdownAll();
    // Cuts a transaction in flight short; later ones find the port closed and
    // return at once, so no session waits long for the radio.
    state.catLink.Close();
    {
        // A CFG in progress finishes first; one that comes later sees quit and
        // leaves the ports alone, so nothing is opened again after this.
        std::lock_guard<std::mutex> config(state.configMutex);
        // Every relay thread is joined before the ports it uses close.
        StopRelays(state);
        CloseLocalPorts(state);
        state.catLink.Close();
    }
    state.sessions.JoinAll();
    if (const auto monitor = state.powerMonitor.Take()) monitor->Stop();
    const CatTraffic traffic = state.catLink.Traffic();
    LogOut("[brinmoor] CAT link: " + std::to_string(traffic.commandsWritten) +
           " commands written to the radio, " + std::to_string(traffic.answersShared) +
           " answers shared.\n");
}

int RunServer(const CommandLine& options) {
    // Before the first thread: every session, relay and monitor thread gets it.
    SetThreadStackSize(kThreadStackBytes);
    if (!StartSockets()) {
        LogErr("[brinmoor] WSAStartup failed.\n");
        return 1;
    }
    int exitCode = 0;
    {
        ServerState state;
        state.tcpPort = options.tcpPort;
        state.configPath = options.configPath.empty() ? ConfigFilePath() : options.configPath;
        state.txTimeout = std::chrono::seconds(options.txTimeoutSeconds);
        state.allow = options.allow;
        exitCode = Serve(state, options);
        CleanupSockets();
    }
    ClearTerminationRequest();
    TerminationHandled();
    return exitCode;
}

int ServerMain(int argc, const char* const* argv) {
    const CommandLine options = ParseCommandLine(argc, argv);
    switch (options.action) {
        case CommandLineAction::Help:
            LogOut(HelpText());
            return 0;
        case CommandLineAction::Version:
            LogOut(VersionText());
            return 0;
        case CommandLineAction::Refuse:
            LogErr(options.refusal);
            return 1;
        case CommandLineAction::InstallService:
            return InstallService(options.serviceOptions);
        case CommandLineAction::UninstallService:
            return UninstallService();
        case CommandLineAction::Run:
            break;
    }
    if (!WatchTerminationRequests()) {
        LogErr("[brinmoor] Could not watch for termination signals; only QUIT stops cleanly.\n");
    }
    if (!options.underServiceManager) return RunServer(options);
    // The same server; without --config its saved file is kept in the
    // service's data folder, since no one may write beside the program.
    return RunUnderServiceManager([&options](const std::string& dataFolder) {
        CommandLine service = options;
        if (service.configPath.empty()) {
            service.configPath = dataFolder + PathSeparator() + "brinmoor.json";
        }
        return RunServer(service);
    });
}

}  // namespace brinmoor
