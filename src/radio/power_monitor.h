#pragma once
// Keeps the radio's transmit state and power figure for the PW command, and
// asks the radio's "ID" when the link says it is due: until the radio has
// identified itself that is all it asks.
// Four-digit radios: the last "PC" setting while receiving; while the radio
// reports transmit state 2 ("TX" answer ending in '2'), the average of the
// last 20 "RM5" meter readings, sampled every 20 ms. Three-digit radios (for
// which "TX;" would key them): the transmit state from "IF", and the power
// setting as the figure either way, since no meter is read. It reaches the
// radio only through the CAT link.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <thread>

#include "radio/cat_link.h"

namespace brinmoor {

inline constexpr int kPowerIdlePollMs = 500;
inline constexpr int kPowerSampleMs = 20;
inline constexpr int kPowerStepsPerBurst = 10;
inline constexpr int kPowerWindow = 20;
inline constexpr int kPowerErrorPauseMs = 1000;

class PowerMonitor {
  public:
    explicit PowerMonitor(CatLink& link);
    ~PowerMonitor();  // stops the thread
    PowerMonitor(const PowerMonitor&) = delete;
    PowerMonitor& operator=(const PowerMonitor&) = delete;

    void Start();
    // Ends the thread; a pause in progress is cut short.
    void Stop();

    // Takes the power setting from a reply that begins with "PC".
    void NotePowerSetting(std::string_view reply);

    // The radio reports that it transmits.
    bool Sampling() const { return sampling.load(); }
    std::int32_t Power() const { return power.load(); }

    // The meter reading converted to watts by the radio's fixed cubic.
    static std::int32_t PowerFromMeter(int reading);

  private:
    void Loop();
    void IdleCycle();
    void SamplingBurst();
    bool Pause(int milliseconds);  // false when stopped meanwhile

    CatLink& link;
    std::atomic<std::int32_t> power{0};
    std::atomic<std::int32_t> setPower{0};
    std::atomic<bool> sampling{false};
    std::atomic<bool> running{false};
    std::thread thread;
    std::int32_t samples[kPowerWindow] = {};
    int sampleCount = 0;
    std::mutex pauseMutex;
    std::condition_variable pauseWake;
};

}  // namespace brinmoor
