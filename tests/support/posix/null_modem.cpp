#include "support/posix/null_modem.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace brinmoor::test {
namespace {

// A master and its slave, the slave raw so that nothing is echoed or edited
// before a program sets its own settings.
bool OpenPair(int& master, int& slave, std::string& path) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
    const char* name = ptsname(master);
    if (name == nullptr) return false;
    path = name;
    slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) return false;
    termios settings{};
    if (tcgetattr(slave, &settings) != 0) return false;
    cfmakeraw(&settings);
    return tcsetattr(slave, TCSANOW, &settings) == 0;
}

// Writes everything unless the stop flag is raised first.
void WriteAll(int fd, const char* data, ssize_t size, const std::atomic<bool>& stop) {
    while (size > 0 && !stop.load()) {
        const ssize_t n = write(fd, data, static_cast<size_t>(size));
        if (n > 0) {
            data += n;
            size -= n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 20);
        }
    }
}

}  // namespace

NullModem::NullModem() {
    if (!OpenPair(masterA, slaveA, pathA) || !OpenPair(masterB, slaveB, pathB)) return;
    pump = std::thread([this] { Run(); });
}

NullModem::~NullModem() {
    stop.store(true);
    if (pump.joinable()) pump.join();
    for (int fd : {masterA, masterB, slaveA, slaveB}) {
        if (fd >= 0) close(fd);
    }
}

void NullModem::Run() {
    char buffer[4096];
    while (!stop.load()) {
        pollfd fds[2] = {{masterA, POLLIN, 0}, {masterB, POLLIN, 0}};
        if (poll(fds, 2, 20) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) WriteAll(i == 0 ? masterB : masterA, buffer, n, stop);
        }
        // Both slaves are held open, so a hang-up cannot make this spin; a
        // stray error still only costs a short pause.
        if (((fds[0].revents | fds[1].revents) & (POLLERR | POLLHUP)) != 0) usleep(10000);
    }
}

bool DeviceLocked(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY;  // held exclusively
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return locked;
}

}  // namespace brinmoor::test
