#include "radio/keying_line.h"

#include <utility>

#include "common/text.h"
#include "radio/serial_port.h"

namespace brinmoor {
namespace {

bool IsRts(const std::string& lineName) {
    return lineName == "RTS";  // "DTR", and any other text, keys DTR
}

void Drive(SerialDevice* device, const std::string& lineName, bool on) {
    if (device == nullptr) return;
    if (IsRts(lineName)) {
        SetSerialRts(device, on);
    } else {
        SetSerialDtr(device, on);
    }
}

void Forget(std::vector<const KeyingLine*>& holders, const KeyingLine* holder) {
    std::erase(holders, holder);
}

}  // namespace

KeyingLine::~KeyingLine() {
    Close();
}

void KeyingLine::CloseOwnLocked() {
    raised = false;
    raisedBy = 0;
    dtrHolders.clear();
    rtsHolders.clear();
    if (handle == nullptr) return;
    SetSerialDtr(handle, false);
    SetSerialRts(handle, false);
    CloseSerialDevice(handle);  // drops both lines once more on the way
    handle = nullptr;
}

bool KeyingLine::OpenOwn(const std::string& name, std::uint32_t baud, std::uint32_t dataBits,
                         char parity, float stopBits, std::string_view lineName) {
    std::shared_ptr<KeyingLine> released;  // let go of a former owner after unlocking
    std::lock_guard guard(lock);
    owns = true;
    released = std::move(shared);
    shared.reset();
    line = AsciiUpper(lineName);
    CloseOwnLocked();  // a reopen releases the old handle first
    handle = OpenSerialDevice(name, MakeSerialSettings(baud, dataBits, parity, stopBits));
    portName = name;
    toldNoLineEvents = false;
    return handle != nullptr;
}

void KeyingLine::ShareWith(std::shared_ptr<KeyingLine> owner, std::string_view lineName) {
    if (owner.get() == this) owner.reset();  // a line cannot share itself
    std::lock_guard guard(lock);
    CloseOwnLocked();  // a port of its own would otherwise stay held unused
    owns = false;
    if (shared != nullptr) shared->ForgetHolder(this);
    std::swap(shared, owner);  // the former owner is released after unlocking
    line = AsciiUpper(lineName);
}

void KeyingLine::SetLine(bool on, std::uint64_t by) {
    std::lock_guard guard(lock);
    DriveLocked(on, by);
}

void KeyingLine::DriveLocked(bool on, std::uint64_t by) {
    if (owns) {
        DriveOwnLocked(this, line, on);
    } else if (shared != nullptr) {
        shared->DriveOwn(this, line, on);
    }
    if (on && !raised) raisedAt = std::chrono::steady_clock::now();
    if (on) timedOut = false;
    raised = on;
    raisedBy = on ? by : 0;
}

bool KeyingLine::ReleaseIfRaisedBy(std::uint64_t by) {
    std::lock_guard guard(lock);
    if (by == 0 || !raised || raisedBy != by) return false;
    DriveLocked(false, 0);
    return true;
}

bool KeyingLine::ReleaseIfRaisedFor(std::chrono::steady_clock::duration limit) {
    std::lock_guard guard(lock);
    if (!raised || std::chrono::steady_clock::now() - raisedAt < limit) return false;
    DriveLocked(false, 0);
    timedOut = true;
    return true;
}

bool KeyingLine::IsDsrOn() {
    std::lock_guard guard(lock);
    if (owns) return handle != nullptr && IsSerialDsrOn(handle);
    return shared != nullptr && shared->OwnDsr();
}

bool KeyingLine::IsOpen() {
    std::lock_guard guard(lock);
    if (owns) return handle != nullptr;
    return shared != nullptr && shared->OwnOpen();
}

void KeyingLine::Close() {
    std::shared_ptr<KeyingLine> released;  // let go of the owner after unlocking
    std::lock_guard guard(lock);
    CloseOwnLocked();  // a sharer has no handle: this only forgets who raised it
    // The owner's lines stay as they are; the next change of them no longer
    // counts this line as holding one up.
    if (shared != nullptr) shared->ForgetHolder(this);
    released = std::move(shared);
    shared.reset();
}

KeyingLineState KeyingLine::State() {
    std::lock_guard guard(lock);
    const bool open = owns ? handle != nullptr : shared != nullptr && shared->OwnOpen();
    return {open, raised, raisedBy, raisedAt, timedOut};
}

bool KeyingLine::Owns() {
    std::lock_guard guard(lock);
    return owns;
}

std::shared_ptr<KeyingLine> KeyingLine::Shared() {
    std::lock_guard guard(lock);
    return shared;
}

void KeyingLine::DriveOwn(const KeyingLine* by, const std::string& lineName, bool on) {
    std::lock_guard guard(lock);
    DriveOwnLocked(by, lineName, on);
}

void KeyingLine::DriveOwnLocked(const KeyingLine* by, const std::string& lineName, bool on) {
    if (!owns) return;
    auto& holders = IsRts(lineName) ? rtsHolders : dtrHolders;
    Forget(holders, by);
    if (on) holders.push_back(by);
    Drive(handle, lineName, !holders.empty());
}

void KeyingLine::ForgetHolder(const KeyingLine* sharer) {
    std::lock_guard guard(lock);
    Forget(dtrHolders, sharer);
    Forget(rtsHolders, sharer);
}

bool KeyingLine::OwnDsr() {
    std::lock_guard guard(lock);
    return owns && handle != nullptr && IsSerialDsrOn(handle);
}

bool KeyingLine::OwnOpen() {
    std::lock_guard guard(lock);
    return owns && handle != nullptr;
}

// --- the keying input's wait ---

SerialDevice* KeyingLine::OwnDevice() {
    std::lock_guard guard(lock);
    return owns ? handle : nullptr;
}

ModemWait KeyingLine::WaitForInputChange(ModemWaitCancel* cancel, int milliseconds,
                                         ModemLines& seen) {
    SerialDevice* device = nullptr;
    if (auto owner = Shared()) {
        device = owner->OwnDevice();
    } else {
        device = OwnDevice();
    }
    if (device == nullptr) return ModemWait::Unsupported;
    return WaitForModemChange(device, cancel, milliseconds, seen);
}

std::string KeyingLine::PortName() {
    if (auto owner = Shared()) return owner->PortName();
    std::lock_guard guard(lock);
    return portName;
}

bool KeyingLine::FirstToTellNoLineEvents() {
    if (auto owner = Shared()) return owner->FirstToTellNoLineEvents();
    std::lock_guard guard(lock);
    return !std::exchange(toldNoLineEvents, true);
}

}  // namespace brinmoor
