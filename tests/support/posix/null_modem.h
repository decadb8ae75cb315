#pragma once
// Two pseudo-terminals joined like a null-modem cable, for tests where two
// real programs talk to each other over "serial ports": one opens EndA(),
// the other EndB(), and the bytes each writes reach the other. Both ends are
// also held open here, so neither program sees a hang-up while the other is
// not running yet.
#include <atomic>
#include <string>
#include <thread>

namespace brinmoor::test {

class NullModem {
  public:
    NullModem();
    ~NullModem();
    NullModem(const NullModem&) = delete;
    NullModem& operator=(const NullModem&) = delete;

    bool IsOpen() const { return pump.joinable(); }
    const std::string& EndA() const { return pathA; }
    const std::string& EndB() const { return pathB; }

  private:
    void Run();

    int masterA = -1;
    int masterB = -1;
    int slaveA = -1;
    int slaveB = -1;
    std::string pathA;
    std::string pathB;
    std::atomic<bool> stop{false};
    std::thread pump;
};

// Whether a process holds the device locked: brinmoor locks every serial
// port it opens for as long as it keeps it open.
bool DeviceLocked(const std::string& path);

}  // namespace brinmoor::test
