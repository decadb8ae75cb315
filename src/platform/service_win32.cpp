#include <windows.h>

#include <chrono>
#include <thread>

#include "common/log.h"
#include "platform/files.h"
#include "platform/service.h"
#include "platform/termination.h"

namespace brinmoor {
namespace {

constexpr char kServiceName[] = "brinmoor";
constexpr char kDisplayName[] = "brinmoor radio server";
constexpr char kDescription[] =
    "Shares one radio's CAT port among station programs over TCP (port 4532 unless "
    "--port says otherwise).";
// The log is kept under 1 MiB; the file before it is kept as brinmoor.old.log.
constexpr std::size_t kLogLimitBytes = 1024 * 1024;
// How long the manager waits for the next state report while starting and
// stopping; the orderly shutdown takes well under a second.
constexpr DWORD kWaitHintMs = 10000;

SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{};
const std::function<int(const std::string&)>* serveInService = nullptr;
int serviceExitCode = 0;

void Report(DWORD state, int exitCode = 0) {
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = static_cast<DWORD>(exitCode);
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwWaitHint = pending ? kWaitHintMs : 0;
    status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            Report(SERVICE_STOP_PENDING);
            // The accept loop picks it up within its next wait, as a QUIT.
            NoteTerminationRequest(control == SERVICE_CONTROL_STOP ? kServiceStopReason
                                                                   : kServiceShutdownReason);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

std::string DataFolder() {
    char base[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableA("ProgramData", base, MAX_PATH);
    std::string folder = length > 0 && length < MAX_PATH ? base : "C:\\ProgramData";
    folder += "\\brinmoor";
    CreateDirectoryA(folder.c_str(), nullptr);  // already there is fine
    return folder;
}

void WINAPI ServiceMain(DWORD, char**) {
    statusHandle = RegisterServiceCtrlHandlerExA(kServiceName, OnControl, nullptr);
    if (statusHandle == nullptr) return;
    Report(SERVICE_START_PENDING);
    const std::string folder = DataFolder();
    SetLogFile(folder + "\\brinmoor.log", folder + "\\brinmoor.old.log", kLogLimitBytes);
    Report(SERVICE_RUNNING);
    serviceExitCode = (*serveInService)(folder);
    SetLogFile("", "", 0);
    Report(SERVICE_STOPPED, serviceExitCode);
}

// One argument as CommandLineToArgvW and the C runtime read it back.
std::string QuoteArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
        return argument;
    }
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

std::string ErrorText(DWORD error) {
    return "error " + std::to_string(error);
}

constexpr char kNeedsAdministrator[] =
    " needs an administrator: run it in a Command Prompt opened with \"Run as "
    "administrator\".\n";

// The service manager, or nullptr once the failure has been logged.
SC_HANDLE OpenManager(const char* option, DWORD access) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, access);
    if (manager == nullptr) {
        const DWORD error = GetLastError();
        LogErr(std::string("[brinmoor] ") + option +
               (error == ERROR_ACCESS_DENIED ? kNeedsAdministrator
                                             : " could not reach the service manager: " +
                                                   ErrorText(error) + ".\n"));
    }
    return manager;
}

bool WaitUntilStopped(SC_HANDLE service) {
    for (int i = 0; i < 100; ++i) {
        SERVICE_STATUS current{};
        if (!QueryServiceStatus(service, &current)) return false;
        if (current.dwCurrentState == SERVICE_STOPPED) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

}  // namespace

int InstallService(const std::vector<std::string>& serverOptions) {
    std::string command = QuoteArgument(ExecutablePath()) + " --service";
    for (const std::string& option : serverOptions) command += " " + QuoteArgument(option);

    SC_HANDLE manager = OpenManager("--install-service", SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) return 1;
    SC_HANDLE service =
        CreateServiceA(manager, kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    const DWORD error = service == nullptr ? GetLastError() : 0;
    if (service != nullptr) {
        SERVICE_DESCRIPTIONA description{const_cast<char*>(kDescription)};
        ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    if (error == ERROR_ACCESS_DENIED) {
        LogErr(std::string("[brinmoor] --install-service") + kNeedsAdministrator);
    } else if (error == ERROR_SERVICE_EXISTS) {
        LogErr("[brinmoor] The service brinmoor is already installed; --uninstall-service "
               "removes it.\n");
    } else if (error != 0) {
        LogErr("[brinmoor] Could not install the service brinmoor: " + ErrorText(error) + ".\n");
    } else {
        LogOut("[brinmoor] Service brinmoor installed; it starts at boot as: " + command +
               "\n[brinmoor] Start it now with: sc start brinmoor\n");
    }
    return error == 0 ? 0 : 1;
}

int UninstallService() {
    SC_HANDLE manager = OpenManager("--uninstall-service", SC_MANAGER_CONNECT);
    if (manager == nullptr) return 1;
    SC_HANDLE service =
        OpenServiceA(manager, kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
    DWORD error = service == nullptr ? GetLastError() : 0;
    if (service != nullptr) {
        SERVICE_STATUS current{};
        if (ControlService(service, SERVICE_CONTROL_STOP, &current)) {
            LogOut("[brinmoor] Stopping the service brinmoor.\n");
            WaitUntilStopped(service);
        }
        if (!DeleteService(service)) error = GetLastError();
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    if (error == ERROR_ACCESS_DENIED) {
        LogErr(std::string("[brinmoor] --uninstall-service") + kNeedsAdministrator);
    } else if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        LogErr("[brinmoor] The service brinmoor is not installed.\n");
    } else if (error != 0) {
        LogErr("[brinmoor] Could not remove the service brinmoor: " + ErrorText(error) + ".\n");
    } else {
        LogOut("[brinmoor] Service brinmoor removed.\n");
    }
    return error == 0 ? 0 : 1;
}

int RunUnderServiceManager(const std::function<int(const std::string&)>& serve) {
    serveInService = &serve;
    char name[] = "brinmoor";
    const SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    // Returns once the service has stopped.
    if (!StartServiceCtrlDispatcherA(table)) {
        LogErr("[brinmoor] --service is for the service manager, which starts brinmoor that "
               "way; from a console, leave it out.\n");
        return 1;
    }
    return serviceExitCode;
}

}  // namespace brinmoor
