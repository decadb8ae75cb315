#pragma once
// The owner of every port opened toward the app groups' programs and of one
// thread per relay. A configuration change replaces a manager whole: Stop
// joins every thread before any port is closed.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/handover.h"
#include "radio/cat_link.h"
#include "radio/keying_line.h"
#include "radio/serial_port.h"
#include "relay/app_groups.h"
#include "relay/group_activity.h"
#include "relay/relay_context.h"
#include "relay/report_poller.h"
#include "relay/winkey_relay.h"

namespace brinmoor {

struct GroupPorts {
    std::unique_ptr<SerialPort> cat;
    std::shared_ptr<KeyingLine> ptt;  // a CW line on the same port shares it
    std::shared_ptr<KeyingLine> cw;
    std::unique_ptr<SerialPort> winkey;
    std::unique_ptr<SerialPort> fsk;
    std::shared_ptr<GroupActivity> activity = std::make_shared<GroupActivity>();
};

// One configured port of a group as it stands now.
struct RelayPortView {
    RelayKind kind = RelayKind::Cat;
    std::string name;  // as configured
    bool open = false;
    std::optional<std::uint32_t> peer;  // a tcp: port's connected program
    std::optional<bool> keyed;          // a PTT or CW line: the program's DSR
};

struct GroupView {
    std::int32_t number = 0;
    std::vector<RelayPortView> ports;
    std::shared_ptr<const GroupActivity> activity;
    bool reports = false;  // the cat port's "reports" option
};

class RelayManager {
  public:
    // Creates a relay thread; std::thread's own constructor unless replaced.
    using ThreadStarter = std::function<std::thread(std::function<void()>)>;

    explicit RelayManager(RelayContext context);
    ~RelayManager();  // stops
    RelayManager(const RelayManager&) = delete;
    RelayManager& operator=(const RelayManager&) = delete;

    // Opens the ports of every group and starts their relay threads, with
    // one log line per relay started and per CAT port that fails to open.
    // Used once. A thread that cannot be created ends the start there: the
    // group's ports without a running thread are closed, the failure is
    // logged, and what already runs stays until Stop.
    void Start(const AppGroupTable& groups);
    // Clears running, joins every thread, then closes every port (DTR and
    // RTS dropped). Does nothing on a stopped manager.
    void Stop();

    // Every group that Start was given, ascending, with its ports.
    std::vector<GroupView> View();

    // For tests: how threads are created, so that a failure can be staged.
    void SetThreadStarter(ThreadStarter starter);

  private:
    // False when a thread could not be created; readsKeyer tells whether the
    // group's keyer-to-program relay runs.
    bool StartGroup(std::int32_t number, const AppGroup& group, GroupPorts& ports,
                    bool& readsKeyer);
    bool Launch(std::function<void()> body);
    void StartReportPoller();

    RelayContext context;
    std::atomic<bool> running{false};
    std::map<std::int32_t, GroupPorts> groupPorts;  // viewMutex while changed or viewed
    AppGroupTable configured;                        // viewMutex
    std::mutex viewMutex;
    ReportPoller poller;  // the IF rounds while a group listens for reports
    std::vector<std::thread> threads;
    WinKeyReaders winkeyReaders;
    ThreadStarter startThread;
};

}  // namespace brinmoor
