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
    std::vector<LineChange> rtsHistory;
    int opens = 0;
    int purges = 0;
    int closes = 0;
    std::optional<SerialDeviceSettings> settings;
    int lastReadTimeout = -1;
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

void SetLine(bool& state, std::vector<LineChange>& history, bool on) {
    if (state == on) return;
    state = on;
    history.push_back(LineChange{Clock::now(), on});
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

bool Exists(const std::string& name) {
    std::lock_guard guard(TheRegistry().mutex);
    return Find(name) != nullptr;
}

void Feed(const std::string& name, std::string_view bytes, milliseconds delay) {
    auto& registry = TheRegistry();
    std::lock_guard guard(registry.mutex);
    Enqueue(Require(name), bytes, delay);
    registry.changed.notify_all();
}

std::size_t Unread(const std::string& name) {
    std::lock_guard guard(TheRegistry().mutex);
    auto device = Find(name);
    std::size_t count = 0;
    if (device) {
        for (const Chunk& chunk : device->input) count += chunk.bytes.size() - chunk.next;
    }
    return count;
}

std::string TakeWritten(const std::string& name) {
    std::lock_guard guard(TheRegistry().mutex);
    auto device = Find(name);
    return device ? std::exchange(device->written, std::string()) : std::string();
}

std::string Written(const std::string& name) {
    std::lock_guard guard(TheRegistry().mutex);
    auto device = Find(name);
    return device ? device->written : std::string();
}

bool WaitForWritten(const std::string& name, std::string_view text, milliseconds timeout) {
    auto& registry = TheRegistry();
    std::unique_lock guard(registry.mutex);
    return registry.changed.wait_for(guard, timeout, [&] {
        auto device = Find(name);
        return device && device->written.find(text) != std::string::npos;
    });
}

void SetResponder(const std::string& name, Responder responder) {
    std::lock_guard guard(TheRegistry().mutex);
    Require(name).responder = std::move(responder);
}

void SetDsr(const std::string& name, bool on) {
    std::lock_guard guard(TheRegistry().mutex);
    Require(name).dsr = on;
}

bool Dtr(const std::string& name) {
    std::lock_guard guard(TheRegistry().mutex);
    auto device = Find(name);
    return device && device->dtr;
}

bool Rts(const std::string& name) {
    std::lock_guard guard(TheRegistry().mutex);
    auto device = Find(name);
    return device && device->rts;
}

std::vector<LineChange> DtrHistory(const std::string& name) {
    std::lock_guard guard(TheRegistry().mutex);
    auto device = Find(name);
    return device ? device->dtrHistory : std::vector<LineChange>();
}

std::vector<LineChange> RtsHistory(const std::string& name) {
    std::lock_guard guard(TheRegistry().mutex);
    auto device = Find(name);
    return device ? device->rtsHistory : std::vector<LineChange>();
}

bool WaitForDtr(const std::string& name, bool on, milliseconds timeout) {
    auto& registry = TheRegistry();
    std::unique_lock guard(registry.mutex);
    return registry.changed.wait_for(guard, timeout, [&] {
        auto device = Find(name);
        return device && device->dtr == on;
    });
}

bool WaitForRts(const std::string& name, bool on, milliseconds timeout) {
    auto& registry = TheRegistry();
    std::unique_lock guard(registry.mutex);
    return registry.changed.wait_for(guard, timeout, [&] {
        auto device = Find(name);
        return device && device->rts == on;
    });
}

void Vanish(const std::string& name) {
    auto& registry = TheRegistry();
    std::lock_guard guard(registry.mutex);
    Unplug(Require(name));
    registry.changed.notify_all();
}

void Reappear(const std::string& name) {
    auto& registry = TheRegistry();
    std::lock_guard guard(registry.mutex);
    Require(name).present = true;
    registry.changed.notify_all();
}

bool IsHeld(const std::string& name) {
    std::lock_guard guard(TheRegistry().mutex);
    auto device = Find(name);
    return device && device->holder != nullptr;
}

int OpenCount(const std::string& name) {
    std::lock_guard guard(TheRegistry().mutex);
    auto device = Find(name);
    return device ? device->opens : 0;
}

int PurgeCount(const std::string& name) {
    std::lock_guard guard(TheRegistry().mutex);
    auto device = Find(name);
    return device ? device->purges : 0;
}

int CloseCount(const std::string& name) {
    std::lock_guard guard(TheRegistry().mutex);
    auto device = Find(name);
    return device ? device->closes : 0;
}

std::optional<SerialDeviceSettings> LastSettings(const std::string& name) {
    std::lock_guard guard(TheRegistry().mutex);
    auto device = Find(name);
    return device ? device->settings : std::nullopt;
}

int LastReadTimeout(const std::string& name) {
    std::lock_guard guard(TheRegistry().mutex);
    auto device = Find(name);
    return device ? device->lastReadTimeout : -1;
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
    if (!device || !device->present || device->holder != nullptr) return nullptr;
    auto* handle = new SerialDevice{device, device->generation};
    device->holder = handle;
    ++device->opens;
    sim::SetLine(device->dtr, device->dtrHistory, false);
    sim::SetLine(device->rts, device->rtsHistory, false);
    device->settings = settings;
    // Purging throws away what has arrived; bytes still on their way stay.
    ++device->purges;
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
            sim::SetLine(device.dtr, device.dtrHistory, false);
            sim::SetLine(device.rts, device.rtsHistory, false);
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
    handle->device->lastReadTimeout = handle->readTimeoutMs;
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
    const auto now = sim::Clock::now();
    std::size_t count = 0;
    for (const sim::Chunk& chunk : handle->device->input) {
        if (chunk.due > now) break;
        count += chunk.bytes.size() - chunk.next;
    }
    return static_cast<std::uint32_t>(count);
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
    if (handle == nullptr) return;
    auto& registry = sim::TheRegistry();
    std::lock_guard guard(registry.mutex);
    if (!sim::Live(handle)) return;
    sim::SetLine(handle->device->dtr, handle->device->dtrHistory, on);
    registry.changed.notify_all();
}

void SetSerialRts(SerialDevice* handle, bool on) {
    if (handle == nullptr) return;
    auto& registry = sim::TheRegistry();
    std::lock_guard guard(registry.mutex);
    if (!sim::Live(handle)) return;
    sim::SetLine(handle->device->rts, handle->device->rtsHistory, on);
    registry.changed.notify_all();
}

bool IsSerialDsrOn(SerialDevice* handle) {
    if (handle == nullptr) return false;
    std::lock_guard guard(sim::TheRegistry().mutex);
    return sim::Live(handle) && handle->device->dsr;
}

}  // namespace brinmoor
