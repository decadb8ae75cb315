#include "load_run.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "load_clients.h"
#include "procstats/proc_stats.h"

namespace brinmoor::load {

volatile std::sig_atomic_t stopRequested = 0;

namespace detail {

void Run::DrainServerOutput() {
    if (settings.server == nullptr) return;
    TakeLines(settings.server->out);  // progress lines: read so the pipe never fills
    for (const std::string& line : TakeLines(settings.server->err)) {
        ++result.serverErrorLines;
        Fault("server: " + line);
    }
}

void Run::Sample() {
    if (settings.serverPid == 0) return;
    const ProcFigures status = ReadProcFigures(settings.serverPid);
    if (!status.ok) return;
    result.maxRssKb = std::max({result.maxRssKb, status.rssKb, status.peakKb});
    result.maxThreads = std::max(result.maxThreads, status.threads);
}

bool Run::AnyConnected() const {
    return std::any_of(clients.begin(), clients.end(),
                       [](const LoadClient& c) { return c.fd >= 0; });
}

void Run::Progress(Clock::time_point now) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - start).count();
    std::printf("  %4lld s: %lld queries, %lld replies, %lld wrong, %lld missing, %lld errors\n",
                static_cast<long long>(seconds), result.queries, result.replies, result.wrong,
                result.missing, result.Errors());
    std::fflush(stdout);
}

void Run::Loop() {
    start = Clock::now();
    endOfSending = start + std::chrono::seconds(settings.seconds);
    // However the server behaves, the run ends: every reply has had its time.
    const auto hardEnd = endOfSending + ReplyTimeout() + std::chrono::seconds(5);
    // Clients start spread over the first half second instead of all at once.
    for (LoadClient& client : clients) client.due = start + Milliseconds(Uniform(0, 500));
    const double cpuAtStart = settings.serverPid != 0 ? CpuSeconds(settings.serverPid) : -1;
    auto nextSample = start;
    auto nextProgress = start + kProgressEvery;
    std::vector<pollfd> fds;
    std::vector<LoadClient*> owners;

    for (;;) {
        auto now = Clock::now();
        if (sending && (now >= endOfSending || stopRequested != 0)) {
            sending = false;
            result.interrupted = stopRequested != 0;
        }
        if (settings.server != nullptr && !Running(*settings.server)) {
            if (!result.serverEnded) Fault("the server ended during the run");
            result.serverEnded = true;
            sending = false;
        }
        if (!sending && (!AnyConnected() || now >= hardEnd || result.serverEnded)) break;
        if (now >= nextSample) {
            Sample();
            nextSample = now + kSampleEvery;
        }
        if (sending && now >= nextProgress) {
            Progress(now);
            nextProgress += kProgressEvery;
        }

        fds.clear();
        owners.clear();
        auto wake = now + kMaxPollWait;
        for (LoadClient& client : clients) {
            RunTimers(client, now);
            if (client.phase == Phase::Waiting) {
                if (sending) wake = std::min(wake, client.due);
                continue;
            }
            short events = POLLIN;
            if (client.phase == Phase::Connecting || !client.out.empty()) events |= POLLOUT;
            if (client.phase == Phase::Open &&
                client.waiting.size() < std::size_t(settings.depth)) {
                wake = std::min(wake, client.due);
            }
            fds.push_back({client.fd, events, 0});
            owners.push_back(&client);
        }
        if (settings.server != nullptr) {
            if (settings.server->out.fd >= 0) fds.push_back({settings.server->out.fd, POLLIN, 0});
            if (settings.server->err.fd >= 0) fds.push_back({settings.server->err.fd, POLLIN, 0});
        }
        const auto waitMs = std::chrono::ceil<Milliseconds>(wake - now).count();
        const int ready =
            poll(fds.data(), fds.size(), static_cast<int>(std::clamp<long long>(waitMs, 0, 100)));
        if (ready < 0 && errno != EINTR) {
            Fault(std::string("poll: ") + std::strerror(errno));
            break;
        }
        now = Clock::now();
        for (std::size_t i = 0; i < owners.size(); ++i) {
            LoadClient& client = *owners[i];
            const short revents = fds[i].revents;
            if (revents == 0 || client.fd != fds[i].fd) continue;
            if (client.phase == Phase::Connecting) {
                if (revents & (POLLOUT | POLLERR | POLLHUP)) FinishConnect(client, now);
                continue;
            }
            if (revents & (POLLIN | POLLERR | POLLHUP)) Read(client, now);
            if (client.fd >= 0 && (revents & POLLOUT) && !client.out.empty()) Write(client, now);
        }
        DrainServerOutput();
    }

    // Whatever is still awaited now will not come.
    const auto now = Clock::now();
    for (LoadClient& client : clients) {
        if (!client.waiting.empty()) Lose(client, now, "the run ended before the reply came");
        Disconnect(client, now, Milliseconds(0));
    }
    DrainServerOutput();
    Sample();
    result.elapsedSeconds = std::chrono::duration<double>(now - start).count();
    if (cpuAtStart >= 0) {
        const double cpuAtEnd = CpuSeconds(settings.serverPid);
        if (cpuAtEnd >= 0) result.cpuSeconds = cpuAtEnd - cpuAtStart;
    }
}

void Run::Summarise() {
    long long total = 0;
    for (long long count : latencyCounts) total += count;
    auto percentile = [&](double share) -> long long {
        if (total == 0) return 0;
        const auto wanted = static_cast<long long>(share * static_cast<double>(total - 1)) + 1;
        long long seen = 0;
        for (std::size_t ms = 0; ms < latencyCounts.size(); ++ms) {
            seen += latencyCounts[ms];
            if (seen >= wanted) return static_cast<long long>(ms);
        }
        return static_cast<long long>(latencyCounts.size() - 1);
    };
    result.latencyMedianMs = percentile(0.5);
    result.latencyP99Ms = percentile(0.99);
}

}  // namespace detail

RunResult RunLoad(const RunSettings& settings) {
    detail::Run run(settings);
    run.Loop();
    run.Summarise();
    return run.result;
}

}  // namespace brinmoor::load
