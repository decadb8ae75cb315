#pragma once
// The CAT link's tests share this fixture: each test gets its own simulated
// radio port, named after the test, and may queue callers behind a held
// transaction so that they reach the link in a known order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "radio/cat_link.h"
#include "support/log_capture.h"
#include "support/sim_serial_device.h"

namespace brinmoor::test {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

class CatLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        name =
            std::string("CAT_") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        sim::CreateDevice(name);
    }
    void TearDown() override {
        ReleaseTheLink();
        link.Close();  // callers still queued return at once
        JoinCalls();
    }

    bool Open(std::uint32_t baud = 38400) { return link.OpenIfChanged(name, baud, 8, 'N', 1.0f); }

    // A radio that takes its time: it answers as KenwoodResponder does, after
    // the delay, but never "IF;" (see HoldTheLink).
    void SlowRadio(std::map<std::string, std::string> answers, milliseconds delay) {
        auto radio = sim::KenwoodResponder(std::move(answers));
        sim::SetResponder(name, [this, radio, delay](std::string_view written) {
            if (written != "IF;") sim::Feed(name, radio(written), delay);
            return std::string();
        });
    }

    // A caller asks "IF", whose answer the radio keeps sending, a byte every
    // 100 ms, until ReleaseTheLink: the callers queued meanwhile wait.
    void HoldTheLink() {
        held = true;
        calls.emplace_back([this] { heldResult = link.CatTransaction("IF").answer; });
        ASSERT_TRUE(sim::WaitForWritten(name, "IF;", 5s));
        sim::TakeWritten(name);  // the tests look at what comes after it
        sim::Feed(name, "IF");
        trickle = std::thread([this] {
            while (held) {
                sim::Feed(name, "0");
                std::this_thread::sleep_for(100ms);
            }
            sim::Feed(name, ";");
        });
    }
    void ReleaseTheLink() {
        held = false;
        if (trickle.joinable()) trickle.join();
    }

    // Makes the call on a thread of its own and returns once it waits in the
    // link, so that calls queue in the order they are made here.
    void Queue(std::function<void()> call) {
        const std::size_t before = link.Traffic().callers;
        calls.emplace_back(std::move(call));
        ASSERT_TRUE(sim::WaitUntil([&] { return link.Traffic().callers > before; }, 5s));
    }
    void JoinCalls() {
        for (std::thread& call : calls) call.join();
        calls.clear();
    }

    std::string name;
    CatLink link;
    std::vector<std::thread> calls;
    std::thread trickle;
    std::atomic<bool> held{false};
    std::string heldResult = "unset";  // what the held caller got in the end
};

}  // namespace brinmoor::test
