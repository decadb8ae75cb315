#pragma once
// Start-up, the accept loop and the orderly shutdown after QUIT.
#include <cstddef>

#include "platform/socket.h"
#include "server/command_line.h"
#include "server/server_state.h"

namespace brinmoor {

// How long the accept loop waits at a time, and so how soon it sees QUIT.
inline constexpr int kAcceptWaitMs = 200;
// Connections the system may hold for the accept loop. A short queue (such as
// 5) overflows when many clients connect at once; Linux then answers with SYN
// cookies, which can drop a client's first bytes without any error. The
// system caps the figure at its own limit.
inline constexpr int kListenBacklog = 1024;
// The stack each thread of the server reserves. A session's deepest use (a
// CFG nested 64 objects deep) takes a small part of it; 256 sessions then
// reserve 128 MiB of address space instead of 2 GiB (docs/reliability.md).
inline constexpr std::size_t kThreadStackBytes = 512 * 1024;

// The whole program after the command line; returns the exit code: 0 after an
// orderly shutdown, 1 when the listener cannot be set up.
int RunServer(const CommandLine& options);

// The program entry: the command line, then RunServer.
int ServerMain(int argc, const char* const* argv);

// Reopens the CAT port from the saved file, before any client is served.
void LoadSavedCatConfig(ServerState& state);

// Starts a session thread for an accepted connection. When no thread can be
// started the connection is closed and the failure reported; the listener
// goes on either way.
bool StartClientSession(ServerState& state, SocketHandle socket);

// Ends every client and every thread that uses the state: the listener must
// already be closed and quit set. The state can be torn down afterwards.
void ShutDown(ServerState& state);

}  // namespace brinmoor
