#include "relay/fsk_pacing.h"

#include <algorithm>
#include <string_view>

#include "relay/fsk_relay.h"
#include "relay/relay_common.h"

namespace brinmoor {

using std::chrono::milliseconds;

std::size_t FskPieceBytes(std::chrono::microseconds characterTime) {
    if (characterTime.count() <= 0) return kMaxSerialMessage;
    const auto bytes = static_cast<std::size_t>(std::chrono::microseconds(kFskPieceTime).count() /
                                                characterTime.count());
    return std::clamp<std::size_t>(bytes, 1, kMaxSerialMessage);
}

void ForwardFskData(const std::atomic<bool>& running, const RelayContext& context, SerialPort& port,
                    std::int32_t group, FskData& data) {
    const auto server = context.fskPort.Snapshot();
    const std::size_t piece = server ? FskPieceBytes(server->CharacterTime()) : kMaxSerialMessage;
    if (data.pending.empty()) {
        const int count = std::min(QueuedReadCount(port), static_cast<int>(piece));
        data.pending = port.ReadCount(count, kFskReadBudgetMs);
        if (data.pending.empty()) return;
    } else if (server) {
        // Room once at most one piece is still queued for the line.
        const auto queuedBeyond = server->LockedQueuedLineTime() - kFskPieceTime;
        if (queuedBeyond.count() > 0) {
            const auto wait = std::min(std::chrono::ceil<milliseconds>(queuedBeyond),
                                       milliseconds(kFskReadBudgetMs));
            context.activeGroup.WaitForChange(group, running, wait);
        }
    }
    // Asked again right before the write: AG or Stop may have come meanwhile.
    if (context.activeGroup.Load() != group || !running.load()) return;
    if (!server) {
        data.pending.clear();  // no FSK port: the data has nowhere to go
        return;
    }
    if (server->LockedQueuedLineTime() > kFskPieceTime) return;
    const std::size_t size = std::min(piece, data.pending.size());
    server->LockedWriteAs(&data, std::string_view(data.pending).substr(0, size));
    data.pending.erase(0, size);
}

void DiscardFskData(const RelayContext& context, FskData& data) {
    data.pending.clear();
    if (const auto server = context.fskPort.Snapshot()) server->LockedDiscardOutputOf(&data);
}

}  // namespace brinmoor
