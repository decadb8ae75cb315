#pragma once
// Every live client session: its socket and its thread. The listener starts
// sessions here; shutdown wakes them all by shutting their sockets down and
// joins every thread before the server state is torn down.
#include <functional>
#include <list>
#include <mutex>
#include <thread>

#include "platform/socket.h"

namespace brinmoor {

class SessionRegistry {
  public:
    SessionRegistry();
    ~SessionRegistry();  // wakes and joins whatever still runs
    SessionRegistry(const SessionRegistry&) = delete;
    SessionRegistry& operator=(const SessionRegistry&) = delete;

    // Runs the body on a thread of its own; when the body returns, the socket
    // is closed here. False when no thread could be started: the socket then
    // stays the caller's.
    bool Launch(SocketHandle socket, std::function<void()> body);

    // Joins the threads of sessions that have ended.
    void ReapFinished();

    // Shuts every live session's socket down (its receive call returns) and
    // refuses new sessions from then on.
    void ShutdownAll();

    // Waits for every session thread to end.
    void JoinAll();

    std::size_t LiveCount();

  private:
    struct Entry {
        SocketHandle socket = kInvalidSocket;
        bool finished = false;
        std::thread thread;
    };

    void Release(Entry& entry);

    std::mutex mutex;          // guards entries' sockets and flags, closing
    std::list<Entry> entries;  // erased only by the thread that reaps or joins
    bool closing = false;
};

}  // namespace brinmoor
