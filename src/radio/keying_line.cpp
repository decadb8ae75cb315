#include "radio/keying_line.h"

#include <utility>

#include "common/text.h"
#include "radio/serial_port.h"

namespace brinmoor {
namespace {

void Drive(SerialDevice* device, const std::string& lineName, bool on) {
    if (device == nullptr) return;
    if (lineName == "RTS") {
        SetSerialRts(device, on);
    } else {
        SetSerialDtr(device, on);  // "DTR", and any other text too
    }
}

}  // namespace

KeyingLine::~KeyingLine() {
    Close();
}

void KeyingLine::CloseOwnLocked() {
    raised = false;
    raisedBy = 0;
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
    return handle != nullptr;
}

void KeyingLine::ShareWith(std::shared_ptr<KeyingLine> owner, std::string_view lineName) {
    if (owner.get() == this) owner.reset();  // a line cannot share itself
    std::lock_guard guard(lock);
    CloseOwnLocked();  // a port of its own would otherwise stay held unused
    owns = false;
    std::swap(shared, owner);  // the former owner is released after unlocking
    line = AsciiUpper(lineName);
}

void KeyingLine::SetLine(bool on, std::uint64_t by) {
    std::lock_guard guard(lock);
    DriveLocked(on, by);
}

void KeyingLine::DriveLocked(bool on, std::uint64_t by) {
    if (owns) {
        Drive(handle, line, on);
    } else if (shared != nullptr) {
        shared->DriveOwn(line, on);
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

void KeyingLine::DriveOwn(const std::string& lineName, bool on) {
    std::lock_guard guard(lock);
    if (owns) Drive(handle, lineName, on);
}

bool KeyingLine::OwnDsr() {
    std::lock_guard guard(lock);
    return owns && handle != nullptr && IsSerialDsrOn(handle);
}

bool KeyingLine::OwnOpen() {
    std::lock_guard guard(lock);
    return owns && handle != nullptr;
}

}  // namespace brinmoor
