#include "server/session_registry.h"

#include <utility>
#include <vector>

namespace brinmoor {

SessionRegistry::SessionRegistry() = default;

SessionRegistry::~SessionRegistry() {
    ShutdownAll();
    JoinAll();
}

bool SessionRegistry::Launch(SocketHandle socket, std::function<void()> body) {
    std::lock_guard<std::mutex> guard(mutex);
    if (closing) return false;
    Entry& entry = entries.emplace_back();
    entry.socket = socket;
    try {
        // The new thread reaches Release only after this lock is let go, so
        // the entry is complete by then.
        entry.thread = std::thread([this, &entry, body = std::move(body)] {
            try {
                body();
            } catch (...) {
                // A session ends quietly on any failure.
            }
            Release(entry);
        });
    } catch (...) {
        entries.pop_back();
        return false;
    }
    return true;
}

void SessionRegistry::Release(Entry& entry) {
    std::lock_guard<std::mutex> guard(mutex);
    // Closed under the lock, so ShutdownAll never touches a handle that the
    // system may already have given to a new connection.
    CloseSocket(entry.socket);
    entry.socket = kInvalidSocket;
    entry.finished = true;
}

void SessionRegistry::ReapFinished() {
    std::vector<std::list<Entry>::iterator> done;
    {
        std::lock_guard<std::mutex> guard(mutex);
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->finished) done.push_back(it);
        }
    }
    for (auto it : done) {
        if (it->thread.joinable()) it->thread.join();
    }
    std::lock_guard<std::mutex> guard(mutex);
    for (auto it : done) entries.erase(it);
}

void SessionRegistry::ShutdownAll() {
    std::lock_guard<std::mutex> guard(mutex);
    closing = true;
    for (Entry& entry : entries) {
        if (!entry.finished) ShutdownSocket(entry.socket);
    }
}

void SessionRegistry::JoinAll() {
    std::vector<std::thread*> threads;
    {
        std::lock_guard<std::mutex> guard(mutex);
        for (Entry& entry : entries) threads.push_back(&entry.thread);
    }
    for (std::thread* thread : threads) {
        if (thread->joinable()) thread->join();
    }
    std::lock_guard<std::mutex> guard(mutex);
    entries.clear();
}

std::size_t SessionRegistry::LiveCount() {
    std::lock_guard<std::mutex> guard(mutex);
    std::size_t live = 0;
    for (const Entry& entry : entries) {
        if (!entry.finished) ++live;
    }
    return live;
}

}  // namespace brinmoor
