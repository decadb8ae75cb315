#pragma once
// The WinKey relays between a group's program and the server's keyer port:
// the program's bytes go to the keyer while its group is active; the keyer's
// bytes go to the active group's program.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <set>

#include "radio/serial_port.h"
#include "relay/relay_context.h"

namespace brinmoor {

inline constexpr int kWinKeyReadBudgetMs = 100;
// Both directions wait for bytes outside the port's lock and then read what
// is queued in one go, so the other direction's writes never queue behind an
// idle read. An idle loop looks at its running flag this often.
inline constexpr int kWinKeyWaitMs = 200;
inline constexpr std::chrono::milliseconds kWinKeyAbsentPoll{100};

// The groups whose keyer-to-program relay runs. It decides which of them
// reads the one keyer port: the active group's, so that its program gets
// every byte; while no such group is active, the lowest-numbered one, which
// throws the bytes away so that they are not delivered late.
class WinKeyReaders {
  public:
    void Add(std::int32_t group);
    void Remove(std::int32_t group);
    void Clear();
    bool ShouldRead(std::int32_t group, std::int32_t active) const;

  private:
    mutable std::mutex mutex;
    std::set<std::int32_t> groups;
};

// Program to keyer; bytes sent while the group is not active are dropped.
void WinKeyFromApp(const std::atomic<bool>& running, const RelayContext& context, SerialPort& port,
                   std::int32_t group);

// Keyer to program; what the keyer has sent so far goes out in one write.
void WinKeyToApp(const std::atomic<bool>& running, const RelayContext& context,
                 const WinKeyReaders& readers, SerialPort& port, std::int32_t group);

}  // namespace brinmoor
