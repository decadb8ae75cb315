#include "support/sim_serial_device.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace brinmoor {
namespace sim::detail {
struct Device;
}

// The seam's handle: one open of one simulated device.
struct SerialDevice {
    std::shared_ptr<sim::detail::Device> device;
    std::uint64_t generation = 0;
    int readTimeoutMs = 200;
};

namespace sim {
namespace detail {

struct Chunk {
    Clock::time_point due;
    std::string bytes;
    std::size_t next = 0;  // first byte not read yet
};

struct Device {
    bool present = true;
    std::uint64_t generation = 0;          // bumped when unplugged: older handles die
    const SerialDevice* holder = nullptr;  // the live handle, if any
    std::deque<Chunk> input;
    std::string written;
    bool outputHeld = false;
    std::string queuedOutput;  // written while the output is held
    int outputDiscards = 0;
    Responder responder;
    bool dsr = false;
    std::uint32_t dsrEdges = 0;    // as a driver counts them (TIOCGICOUNT)
    bool refusesModemWait = false;  // a driver without line events
    bool dtr = false;
    bool rts = false;
    std::vector<LineChange> dtrHistory;
    int opens = 0;
    int closes = 0;
    std::optional<SerialDeviceSettings> settings;
};

// One lock and one condition for every device: tests are small, and a single
// lock keeps the simulation obviously free of lock-order problems.
std::mutex mutex;
std::condition_variable changed;
std::map<std::string, std::shared_ptr<Device>> devices;

std::shared_ptr<Device> Find(const std::string& name) {
    auto it = devices.find(name);
    return it == devices.end() ? nullptr : it->second;
}

void SetLine(Device& device, bool rts, bool on) {
    bool& state = rts ? device.rts : device.dtr;
    if (state == on) return;
    state = on;
    if (!rts) device.dtrHistory.push_back(LineChange{Clock::now(), on});
}

void DropLines(Device& device) {
    SetLine(device, false, false);
    SetLine(device, true, false);
}

void Unplug(Device& device) {
    device.present = false;
    ++device.generation;
    device.holder = nullptr;
}

void Enqueue(Device& device, std::string_view bytes, milliseconds delay) {
    if (bytes.empty()) return;
    auto due = Clock::now() + delay;
    if (!device.input.empty()) due = std::max(due, device.input.back().due);
    device.input.push_back(Chunk{due, std::string(bytes)});
}

bool Live(const SerialDevice* handle) {
    const Device& device = *handle->device;
    return device.present && device.generation == handle->generation && device.holder == handle;
}

bool Due(const Device& device) {
    return !device.input.empty() && device.input.front().due <= Clock::now();
}

// Waits under the lock until input is due, the handle is dead or the deadline
// has passed; false for the last.
bool AwaitInput(std::unique_lock<std::mutex>& guard, const SerialDevice* handle,
                Clock::time_point deadline) {
    const Device& device = *handle->device;
    while (Live(handle) && !Due(device)) {
        if (Clock::now() >= deadline) return false;
        const auto wake = device.input.empty() ? deadline : device.input.front().due;
        changed.wait_until(guard, std::min(wake, deadline));
    }
    return true;
}

// One fact of the named device, read under the lock; the fallback when there
// is no such device.
template <class T, class Get>
T Peek(const std::string& name, T fallback, Get get) {
    std::lock_guard guard(mutex);
    auto device = Find(name);
    return device ? get(*device) : fallback;
}

// Changes the named device (which must exist) and wakes every waiter.
template <class Act>
void Change(const std::string& name, Act act) {
    std::lock_guard guard(mutex);
    auto device = Find(name);
    if (!device) throw std::invalid_argument("no simulated serial device named " + name);
    act(*device);
    changed.notify_all();
}

// Waits until the named device exists and meets the condition.
template <class Condition>
bool WaitOn(const std::string& name, milliseconds timeout, Condition condition) {
    std::unique_lock guard(mutex);
    return changed.wait_for(guard, timeout, [&] {
        auto device = Find(name);
        return device && condition(*device);
    });
}

// The program drives an output line; a dead handle drives nothing.
void DriveLine(SerialDevice* handle, bool rts, bool on) {
    if (handle == nullptr) return;
    std::lock_guard guard(mutex);
    if (Live(handle)) SetLine(*handle->device, rts, on);
    changed.notify_all();
}

}  // namespace detail

using namespace detail;

void Reset() {
    std::lock_guard guard(mutex);
    for (auto& [name, device] : devices) Unplug(*device);
    devices.clear();
    changed.notify_all();
}

void CreateDevice(const std::string& name) {
    std::lock_guard guard(mutex);
    if (auto old = Find(name)) Unplug(*old);
    devices[name] = std::make_shared<Device>();
    changed.notify_all();
}

void Feed(const std::string& name, std::string_view bytes, milliseconds delay) {
    Change(name, [&](Device& device) { Enqueue(device, bytes, delay); });
}

std::size_t Unread(const std::string& name) {
    return Peek(name, std::size_t{0}, [](Device& d) {
        std::size_t count = 0;
        for (const Chunk& chunk : d.input) count += chunk.bytes.size() - chunk.next;
        return count;
    });
}

// The test's reads of one fact of a device, under the lock.
#define SIM_FACT(Type, Name, fallback, fact)                               \
    Type Name(const std::string& name) {                                   \
        return Peek(name, Type(fallback), [](Device& d) { return fact; }); \
    }
SIM_FACT(std::string, TakeWritten, "", std::exchange(d.written, {}))
SIM_FACT(std::string, Written, "", d.written)
SIM_FACT(std::string, QueuedOutput, "", d.queuedOutput)
SIM_FACT(int, OutputDiscards, 0, d.outputDiscards)
SIM_FACT(bool, Dtr, false, d.dtr)
SIM_FACT(bool, Rts, false, d.rts)
SIM_FACT(std::vector<LineChange>, DtrHistory, {}, d.dtrHistory)
SIM_FACT(bool, IsHeld, false, d.holder != nullptr)
SIM_FACT(int, OpenCount, 0, d.opens)
SIM_FACT(int, CloseCount, 0, d.closes)
SIM_FACT(std::optional<SerialDeviceSettings>, LastSettings, std::nullopt, d.settings)
#undef SIM_FACT

bool WaitForWritten(const std::string& name, std::string_view text, milliseconds timeout) {
    return WaitOn(name, timeout,
                  [&](Device& d) { return d.written.find(text) != std::string::npos; });
}

void SetResponder(const std::string& name, Responder responder) {
    Change(name, [&](Device& device) { device.responder = std::move(responder); });
}

void HoldOutput(const std::string& name, bool held) {
    Change(name, [&](Device& device) {
        device.outputHeld = held;
        if (!held) device.written += std::exchange(device.queuedOutput, {});
    });
}

void SetDsr(const std::string& name, bool on) {
    Change(name, [&](Device& device) {
        if (device.dsr != on) ++device.dsrEdges;
        device.dsr = on;
    });
}

void SetDsrUnseen(const std::string& name, bool on) {
    std::lock_guard guard(mutex);
    if (auto device = Find(name)) device->dsr = on;  // no count, no wake-up
}

void RefuseModemWait(const std::string& name) {
    Change(name, [](Device& device) { device.refusesModemWait = true; });
}

bool WaitForDtr(const std::string& name, bool on, milliseconds timeout) {
    return WaitOn(name, timeout, [&](Device& d) { return d.dtr == on; });
}
bool WaitForRts(const std::string& name, bool on, milliseconds timeout) {
    return WaitOn(name, timeout, [&](Device& d) { return d.rts == on; });
}

void Vanish(const std::string& name) {
    Change(name, Unplug);
}
void Reappear(const std::string& name) {
    Change(name, [](Device& device) { device.present = true; });
}

Responder KenwoodResponder(std::map<std::string, std::string> answers) {
    struct Radio {
        std::mutex mutex;
        std::map<std::string, std::string> answers;
        std::string pending;  // a command still waiting for its ";"
    };
    auto radio = std::make_shared<Radio>();
    radio->answers = std::move(answers);
    return [radio](std::string_view written) {
        std::lock_guard guard(radio->mutex);
        radio->pending.append(written);
        std::string reply;
        for (auto end = radio->pending.find(';'); end != std::string::npos;
             end = radio->pending.find(';')) {
            const std::string command = radio->pending.substr(0, end);
            radio->pending.erase(0, end + 1);
            auto answer = radio->answers.find(command);
            if (answer != radio->answers.end()) {
                reply += answer->second + ";";
            } else if (command.size() > 2 && radio->answers.count(command.substr(0, 2)) != 0) {
                radio->answers[command.substr(0, 2)] = command;
            } else {
                reply += "?;";
            }
        }
        return reply;
    };
}

}  // namespace sim

// The seam, over the simulated devices.
using namespace sim::detail;

SerialDevice* OpenSerialDevice(const std::string& name, const SerialDeviceSettings& settings,
                               const EndpointOptions&) {
    std::lock_guard guard(mutex);
    auto device = Find(name);
    if (!device || !device->present || device->holder != nullptr) return nullptr;
    auto* handle = new SerialDevice{device, device->generation};
    device->holder = handle;
    ++device->opens;
    DropLines(*device);
    device->settings = settings;
    // Purging throws away what has arrived; bytes still on their way stay.
    while (Due(*device)) device->input.pop_front();
    device->queuedOutput.clear();
    changed.notify_all();
    return handle;
}

void CloseSerialDevice(SerialDevice* handle) {
    if (handle == nullptr) return;
    std::lock_guard guard(mutex);
    ++handle->device->closes;
    if (Live(handle)) {
        DropLines(*handle->device);
        handle->device->holder = nullptr;
    }
    changed.notify_all();
    delete handle;
}

void SetSerialReadTimeout(SerialDevice* handle, int milliseconds) {
    if (handle == nullptr) return;
    std::lock_guard guard(mutex);
    handle->readTimeoutMs = std::max(milliseconds, 0);
}

SerialRead ReadSerialByte(SerialDevice* handle, char& byte) {
    if (handle == nullptr) return SerialRead::Idle;
    std::unique_lock guard(mutex);
    const auto deadline = sim::Clock::now() + sim::milliseconds(handle->readTimeoutMs);
    if (!AwaitInput(guard, handle, deadline)) return SerialRead::Idle;
    if (!Live(handle)) {  // a dead device takes the whole time-out too
        while (sim::Clock::now() < deadline) changed.wait_until(guard, deadline);
        return SerialRead::Gone;
    }
    Chunk& chunk = handle->device->input.front();
    byte = chunk.bytes[chunk.next++];
    if (chunk.next == chunk.bytes.size()) handle->device->input.pop_front();
    return SerialRead::Byte;
}

SerialWrite WriteSerialDevice(SerialDevice* handle, std::string_view bytes) {
    if (handle == nullptr) return SerialWrite::Failed;
    sim::Responder responder;
    {
        std::lock_guard guard(mutex);
        if (!Live(handle)) return SerialWrite::Gone;
        Device& device = *handle->device;
        (device.outputHeld ? device.queuedOutput : device.written).append(bytes);
        responder = device.responder;
        changed.notify_all();
    }
    if (responder) {
        const std::string reply = responder(bytes);
        std::lock_guard guard(mutex);
        Enqueue(*handle->device, reply, sim::milliseconds(0));
        changed.notify_all();
    }
    return SerialWrite::Done;
}

std::uint32_t SerialInputQueueLength(SerialDevice* handle) {
    if (handle == nullptr) return 0;
    std::lock_guard guard(mutex);
    if (!Live(handle)) return 0;
    std::uint32_t count = 0;
    const auto now = sim::Clock::now();
    for (const Chunk& chunk : handle->device->input) {
        if (chunk.due > now) break;
        count += static_cast<std::uint32_t>(chunk.bytes.size() - chunk.next);
    }
    return count;
}

bool WaitForSerialInput(SerialDevice* handle, int milliseconds) {
    std::unique_lock guard(mutex);
    const auto deadline = sim::Clock::now() + sim::milliseconds(std::max(milliseconds, 0));
    if (handle != nullptr) return AwaitInput(guard, handle, deadline);
    while (sim::Clock::now() < deadline) changed.wait_until(guard, deadline);
    return false;
}

void DiscardSerialOutput(SerialDevice* handle) {
    if (handle == nullptr) return;
    std::lock_guard guard(mutex);
    if (!Live(handle)) return;
    handle->device->queuedOutput.clear();
    ++handle->device->outputDiscards;
    changed.notify_all();
}

void SetSerialDtr(SerialDevice* handle, bool on) {
    DriveLine(handle, false, on);
}
void SetSerialRts(SerialDevice* handle, bool on) {
    DriveLine(handle, true, on);
}

bool IsSerialDsrOn(SerialDevice* handle) {
    if (handle == nullptr) return false;
    std::lock_guard guard(mutex);
    return Live(handle) && handle->device->dsr;
}

// Modem-line waits as a driver does them: the wait watches the edge count
// from the moment it begins and wakes on a change of it.
struct ModemWaitCancel {
    bool fired = false;  // under the simulation's lock
};

ModemWaitCancel* CreateModemWaitCancel() {
    return new ModemWaitCancel;
}

void FireModemWaitCancel(ModemWaitCancel* cancel) {
    if (cancel == nullptr) return;
    std::lock_guard guard(mutex);
    cancel->fired = true;
    changed.notify_all();
}

void DestroyModemWaitCancel(ModemWaitCancel* cancel) {
    delete cancel;
}

ModemWait WaitForModemChange(SerialDevice* handle, ModemWaitCancel* cancel, int milliseconds,
                             ModemLines& seen) {
    if (handle == nullptr || cancel == nullptr) return ModemWait::Unsupported;
    std::unique_lock guard(mutex);
    const Device& device = *handle->device;
    if (device.refusesModemWait) return ModemWait::Unsupported;
    const auto deadline = sim::Clock::now() + sim::milliseconds(std::max(milliseconds, 0));
    const auto read = [&] {
        const bool live = Live(handle);
        ModemLines now{live && device.dsr, false, device.dsrEdges, 0};
        const bool differs = now.dsr != seen.dsr || now.dsrEdges != seen.dsrEdges;
        seen = now;
        return differs ? ModemWait::Changed : ModemWait::TimedOut;
    };
    if (read() == ModemWait::Changed) return ModemWait::Changed;
    const std::uint32_t start = device.dsrEdges;
    while (sim::Clock::now() < deadline) {
        if (std::exchange(cancel->fired, false)) return ModemWait::Cancelled;
        if (Live(handle) && device.dsrEdges != start) break;
        changed.wait_until(guard, deadline);
    }
    return read();
}

}  // namespace brinmoor
