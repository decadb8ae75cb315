#include "support/sim_serial_device.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace brinmoor {
namespace sim {
namespace {

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
    Responder responder;
    bool dsr = false;
    bool dtr = false;
    bool rts = false;
    std::vector<LineChange> dtrHistory;
    int opens = 0;
    int attempts = 0;
    int closes = 0;
    std::optional<SerialDeviceSettings> settings;
};

// One lock and one condition for every device: tests are small, and a single
// lock keeps the simulation obviously free of lock-order problems.
struct Registry {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, std::shared_ptr<Device>> devices;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

std::shared_ptr<Device> Find(const std::string& name) {
    auto& devices = TheRegistry().devices;
    auto it = devices.find(name);
    return it == devices.end() ? nullptr : it->second;
}

Device& Require(const std::string& name) {
    auto device = Find(name);
    if (!device) throw std::invalid_argument("no simulated serial device named " + name);
    return *device;
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

// Bytes of the chunks due by the time given.
std::size_t Queued(const Device& device, Clock::time_point by) {
    std::size_t count = 0;
    for (const Chunk& chunk : device.input) {
        if (chunk.due > by) break;
        count += chunk.bytes.size() - chunk.next;
    }
    return count;
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

}  // namespace
}  // namespace sim

// The seam's handle: one open of one simulated device.
struct SerialDevice {
    std::shared_ptr<sim::Device> device;
    std::uint64_t generation = 0;
    int readTimeoutMs = 200;
};

namespace sim {
namespace {

bool Live(const SerialDevice* handle) {
    const Device& device = *handle->device;
    return device.present && device.generation == handle->generation && device.holder == handle;
}

// One fact of the named device, read under the lock; the fallback when there
// is no such device.
template <class T, class Get>
T Peek(const std::string& name, T fallback, Get get) {
    std::lock_guard guard(TheRegistry().mutex);
    auto device = Find(name);
    return device ? get(*device) : fallback;
}

// Changes the named device (which must exist) and wakes every waiter.
template <class Act>
void Change(const std::string& name, Act act) {
    auto& registry = TheRegistry();
    std::lock_guard guard(registry.mutex);
    act(Require(name));
    registry.changed.notify_all();
}

// Waits until the named device exists and meets the condition.
template <class Condition>
bool WaitOn(const std::string& name, milliseconds timeout, Condition condition) {
    auto& registry = TheRegistry();
    std::unique_lock guard(registry.mutex);
    return registry.changed.wait_for(guard, timeout, [&] {
        auto device = Find(name);
        return device && condition(*device);
    });
}

// The program drives an output line; a dead handle drives nothing.
void DriveLine(SerialDevice* handle, bool rts, bool on) {
    if (handle == nullptr) return;
    auto& registry = TheRegistry();
    std::lock_guard guard(registry.mutex);
    if (!Live(handle)) return;
    SetLine(*handle->device, rts, on);
    registry.changed.notify_all();
}

}  // namespace

void Reset() {
    auto& registry = TheRegistry();
    std::lock_guard guard(registry.mutex);
    for (auto& [name, device] : registry.devices) Unplug(*device);
    registry.devices.clear();
    registry.changed.notify_all();
}

void CreateDevice(const std::string& name) {
    auto& registry = TheRegistry();
    std::lock_guard guard(registry.mutex);
    if (auto old = Find(name)) Unplug(*old);
    registry.devices[name] = std::make_shared<Device>();
    registry.changed.notify_all();
}

void Feed(const std::string& name, std::string_view bytes, milliseconds delay) {
    Change(name, [&](Device& device) { Enqueue(device, bytes, delay); });
}

std::size_t Unread(const std::string& name) {
    return Peek(name, std::size_t{0},
                [](Device& d) { return Queued(d, Clock::time_point::max()); });
}

std::string TakeWritten(const std::string& name) {
    return Peek(name, std::string(), [](Device& d) { return std::exchange(d.written, {}); });
}

std::string Written(const std::string& name) {
    return Peek(name, std::string(), [](Device& d) { return d.written; });
}

bool WaitForWritten(const std::string& name, std::string_view text, milliseconds timeout) {
    return WaitOn(name, timeout,
                  [&](Device& d) { return d.written.find(text) != std::string::npos; });
}

void SetResponder(const std::string& name, Responder responder) {
    Change(name, [&](Device& device) { device.responder = std::move(responder); });
}

void SetDsr(const std::string& name, bool on) {
    Change(name, [&](Device& device) { device.dsr = on; });
}

bool Dtr(const std::string& name) {
    return Peek(name, false, [](Device& d) { return d.dtr; });
}

bool Rts(const std::string& name) {
    return Peek(name, false, [](Device& d) { return d.rts; });
}

std::vector<LineChange> DtrHistory(const std::string& name) {
    return Peek(name, std::vector<LineChange>(), [](Device& d) { return d.dtrHistory; });
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

bool IsHeld(const std::string& name) {
    return Peek(name, false, [](Device& d) { return d.holder != nullptr; });
}

int OpenCount(const std::string& name) {
    return Peek(name, 0, [](Device& d) { return d.opens; });
}

int OpenAttempts(const std::string& name) {
    return Peek(name, 0, [](Device& d) { return d.attempts; });
}

int CloseCount(const std::string& name) {
    return Peek(name, 0, [](Device& d) { return d.closes; });
}

std::optional<SerialDeviceSettings> LastSettings(const std::string& name) {
    return Peek(name, std::optional<SerialDeviceSettings>(), [](Device& d) { return d.settings; });
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

SerialDevice* OpenSerialDevice(const std::string& name, const SerialDeviceSettings& settings,
                               const EndpointOptions&) {
    auto& registry = sim::TheRegistry();
    std::lock_guard guard(registry.mutex);
    auto device = sim::Find(name);
    if (device) ++device->attempts;
    if (!device || !device->present || device->holder != nullptr) return nullptr;
    auto* handle = new SerialDevice{device, device->generation};
    device->holder = handle;
    ++device->opens;
    sim::DropLines(*device);
    device->settings = settings;
    // Purging throws away what has arrived; bytes still on their way stay.
    const auto now = sim::Clock::now();
    while (!device->input.empty() && device->input.front().due <= now) device->input.pop_front();
    registry.changed.notify_all();
    return handle;
}

void CloseSerialDevice(SerialDevice* handle) {
    if (handle == nullptr) return;
    {
        auto& registry = sim::TheRegistry();
        std::lock_guard guard(registry.mutex);
        sim::Device& device = *handle->device;
        ++device.closes;
        if (sim::Live(handle)) {
            sim::DropLines(device);
            device.holder = nullptr;
        }
        registry.changed.notify_all();
    }
    delete handle;
}

void SetSerialReadTimeout(SerialDevice* handle, int milliseconds) {
    if (handle == nullptr) return;
    std::lock_guard guard(sim::TheRegistry().mutex);
    handle->readTimeoutMs = std::max(milliseconds, 0);
}

SerialRead ReadSerialByte(SerialDevice* handle, char& byte) {
    if (handle == nullptr) return SerialRead::Idle;
    auto& registry = sim::TheRegistry();
    std::unique_lock guard(registry.mutex);
    const auto deadline = sim::Clock::now() + sim::milliseconds(handle->readTimeoutMs);
    sim::Device& device = *handle->device;
    for (;;) {
        const auto now = sim::Clock::now();
        if (!sim::Live(handle)) {
            while (sim::Clock::now() < deadline) registry.changed.wait_until(guard, deadline);
            return SerialRead::Gone;
        }
        if (!device.input.empty() && device.input.front().due <= now) {
            sim::Chunk& chunk = device.input.front();
            byte = chunk.bytes[chunk.next++];
            if (chunk.next == chunk.bytes.size()) device.input.pop_front();
            return SerialRead::Byte;
        }
        if (now >= deadline) return SerialRead::Idle;
        auto wake = deadline;
        if (!device.input.empty()) wake = std::min(wake, device.input.front().due);
        registry.changed.wait_until(guard, wake);
    }
}

SerialWrite WriteSerialDevice(SerialDevice* handle, std::string_view bytes) {
    if (handle == nullptr) return SerialWrite::Failed;
    auto& registry = sim::TheRegistry();
    sim::Responder responder;
    {
        std::lock_guard guard(registry.mutex);
        if (!sim::Live(handle)) return SerialWrite::Gone;
        handle->device->written.append(bytes);
        responder = handle->device->responder;
        registry.changed.notify_all();
    }
    if (responder) {
        const std::string reply = responder(bytes);
        std::lock_guard guard(registry.mutex);
        sim::Enqueue(*handle->device, reply, sim::milliseconds(0));
        registry.changed.notify_all();
    }
    return SerialWrite::Done;
}

std::uint32_t SerialInputQueueLength(SerialDevice* handle) {
    if (handle == nullptr) return 0;
    std::lock_guard guard(sim::TheRegistry().mutex);
    if (!sim::Live(handle)) return 0;
    return static_cast<std::uint32_t>(sim::Queued(*handle->device, sim::Clock::now()));
}

bool WaitForSerialInput(SerialDevice* handle, int milliseconds) {
    auto& registry = sim::TheRegistry();
    std::unique_lock guard(registry.mutex);
    const auto deadline = sim::Clock::now() + sim::milliseconds(std::max(milliseconds, 0));
    for (;;) {
        const auto now = sim::Clock::now();
        if (handle != nullptr) {
            if (!sim::Live(handle)) return true;
            const auto& input = handle->device->input;
            if (!input.empty() && input.front().due <= now) return true;
        }
        if (now >= deadline) return false;
        auto wake = deadline;
        if (handle != nullptr && !handle->device->input.empty()) {
            wake = std::min(wake, handle->device->input.front().due);
        }
        registry.changed.wait_until(guard, wake);
    }
}

void SetSerialDtr(SerialDevice* handle, bool on) {
    sim::DriveLine(handle, false, on);
}

void SetSerialRts(SerialDevice* handle, bool on) {
    sim::DriveLine(handle, true, on);
}

bool IsSerialDsrOn(SerialDevice* handle) {
    if (handle == nullptr) return false;
    std::lock_guard guard(sim::TheRegistry().mutex);
    return sim::Live(handle) && handle->device->dsr;
}

}  // namespace brinmoor
