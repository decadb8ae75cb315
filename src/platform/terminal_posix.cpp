#include "platform/terminal.h"

#include <unistd.h>

namespace brinmoor {

bool PrepareTerminalOutput() {
    return isatty(STDOUT_FILENO) == 1;
}

}  // namespace brinmoor
