#include "common/log.h"
#include "platform/service.h"

namespace brinmoor {
namespace {

int WindowsOnly(const char* option) {
    LogErr(std::string("[brinmoor] ") + option +
           " is for Windows; on Linux systemd runs the server as a service "
           "(brinmoor.service).\n");
    return 1;
}

}  // namespace

int InstallService(const std::vector<std::string>&) { return WindowsOnly("--install-service"); }

int UninstallService() { return WindowsOnly("--uninstall-service"); }

int RunUnderServiceManager(const std::function<int(const std::string&)>&) {
    return WindowsOnly("--service");
}

}  // namespace brinmoor
