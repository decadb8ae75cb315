#include "server/server_state.h"

namespace brinmoor {

void CloseLocalPorts(ServerState& state) {
    // The PTT line goes first: a CW line sharing its port only lets go of it.
    if (auto line = state.pttLine.Take()) line->Close();
    if (auto line = state.cwLine.Take()) line->Close();
    if (auto port = state.winkeyPort.Take()) port->LockedClose();
    if (auto port = state.fskPort.Take()) port->LockedClose();
}

}  // namespace brinmoor
