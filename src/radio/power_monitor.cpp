#include "radio/power_monitor.h"

#include <chrono>
#include <string>

#include "common/text.h"

namespace brinmoor {

PowerMonitor::PowerMonitor(CatLink& catLink) : link(catLink) {}

PowerMonitor::~PowerMonitor() {
    Stop();
}

void PowerMonitor::Start() {
    if (thread.joinable()) return;
    running.store(true);
    thread = std::thread([this] { Loop(); });
}

void PowerMonitor::Stop() {
    {
        // Under the pause lock, so a pause that is just beginning sees it.
        std::lock_guard<std::mutex> guard(pauseMutex);
        running.store(false);
    }
    pauseWake.notify_all();
    if (thread.joinable()) thread.join();
}

void PowerMonitor::NotePowerSetting(std::string_view reply) {
    if (reply.size() < 4) return;
    if (const auto value = ParseLeadingInt(reply.substr(2))) setPower.store(*value);
}

std::int32_t PowerMonitor::PowerFromMeter(int reading) {
    const double n = reading;
    const double p =
        ((n * 0.00139355) * n + ((n * 0.106315) - 0.221999)) + ((n * 1.43687e-6) * n) * n;
    const auto watts = static_cast<std::int32_t>(p);
    return watts < 0 ? 0 : watts;
}

bool PowerMonitor::Pause(int milliseconds) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock<std::mutex> guard(pauseMutex);
    pauseWake.wait_until(guard, deadline, [this] { return !running.load(); });
    return running.load();
}

void PowerMonitor::Loop() {
    while (running.load()) {
        try {
            // Also while sampling: a radio swapped while it transmits.
            if (link.IdentifyDue()) link.Identify();
            if (sampling.load() && link.Dialect() == RadioDialect::FourDigit) {
                SamplingBurst();
                continue;
            }
            if (!Pause(kPowerIdlePollMs)) break;
            IdleCycle();
        } catch (...) {
            try {
                Pause(kPowerErrorPauseMs);
            } catch (...) {
            }
        }
    }
}

void PowerMonitor::IdleCycle() {
    const RadioDialect dialect = link.Dialect();
    if (!IsIdentified(dialect)) {
        // Nothing else of ours until the radio says which commands it speaks.
        sampling.store(false);
    } else {
        // An IF that anyone read within one idle poll tells as much as a new one.
        const std::string_view query = TransmitStateQuery(dialect);
        const RadioSnapshot state = link.State().Snapshot();
        const bool fresh = query == "IF" && state.lastIfAt &&
                           std::chrono::steady_clock::now() - *state.lastIfAt <
                               std::chrono::milliseconds(kPowerIdlePollMs);
        const bool transmitting = SaysTransmitting(
            dialect, fresh ? std::string_view(state.lastIf) : link.OwnQuery(query, dialect));
        if (transmitting && !sampling.load()) sampleCount = 0;
        sampling.store(transmitting);
    }
    power.store(setPower.load());
}

void PowerMonitor::SamplingBurst() {
    constexpr RadioDialect kMetered = RadioDialect::FourDigit;
    for (int step = 0; step < kPowerStepsPerBurst && running.load(); ++step) {
        const std::string reply = link.OwnQuery("RM5", kMetered);
        // The reading is the three characters after the echoed "RM5".
        if (reply.size() >= 6) {
            if (const auto reading = ParseLeadingInt(std::string_view(reply).substr(3, 3))) {
                const std::int32_t watts = PowerFromMeter(*reading);
                if (sampleCount < kPowerWindow) {
                    samples[sampleCount++] = watts;
                } else {
                    for (int i = 1; i < kPowerWindow; ++i) samples[i - 1] = samples[i];
                    samples[kPowerWindow - 1] = watts;
                }
                std::int64_t sum = 0;
                for (int i = 0; i < sampleCount; ++i) sum += samples[i];
                power.store(static_cast<std::int32_t>(sum / sampleCount));
            }
        }
        Pause(kPowerSampleMs);
    }
    // Asked also after a stop, so that sampling ends with the radio's word.
    if (SaysTransmitting(kMetered, link.OwnQuery("TX", kMetered))) return;
    sampling.store(false);
    sampleCount = 0;
    power.store(setPower.load());
}

}  // namespace brinmoor
