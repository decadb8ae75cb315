#pragma once
// What one app group's relays have done, for the server's status: written by
// the group's relay threads, read by anyone at any time without a lock but
// the one around the peers.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "platform/endpoint.h"
#include "relay/app_groups.h"

namespace brinmoor {

struct GroupActivity {
    using Clock = std::chrono::steady_clock;

    std::atomic<std::uint64_t> commandsRelayed{0};     // passed to the radio
    std::atomic<std::uint64_t> refusedWhileInactive{0};  // set commands of an inactive group
    std::atomic<std::uint64_t> answersShared{0};       // answered by another caller's query
    std::atomic<Clock::rep> lastCommand{0};            // 0: none yet
    std::atomic<char> autoInformation{'0'};            // the program's AI setting
    std::atomic<bool> fskKeyed{false};                 // its FSK relay keys the server's port

    void NoteCommand() { lastCommand.store(Clock::now().time_since_epoch().count()); }
    std::optional<Clock::time_point> LastCommand() const {
        const Clock::rep at = lastCommand.load();
        if (at == 0) return std::nullopt;
        return Clock::time_point(Clock::duration(at));
    }

    // The connected program of each tcp: port (host-order IPv4), by kind.
    void NotePeer(RelayKind kind, const EndpointNote& note) {
        std::lock_guard<std::mutex> guard(peerMutex);
        if (note.event == EndpointEvent::Connected) peers[Index(kind)] = note.peer;
        if (note.event == EndpointEvent::Disconnected) peers[Index(kind)].reset();
    }
    std::optional<std::uint32_t> Peer(RelayKind kind) const {
        std::lock_guard<std::mutex> guard(peerMutex);
        return peers[Index(kind)];
    }

  private:
    static std::size_t Index(RelayKind kind) { return static_cast<std::size_t>(kind); }
    mutable std::mutex peerMutex;
    std::array<std::optional<std::uint32_t>, 5> peers;
};

}  // namespace brinmoor
