#pragma once
// The CAT link's tests share this fixture: each test gets its own simulated
// radio port, named after the test, and may queue callers behind a held
// transaction so that they reach the link in a known order.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "radio/cat_link.h"
#include "support/sim_serial_device.h"

namespace brinmoor::test {

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
        for (std::thread& call : calls) call.join();
    }

    bool Open(std::uint32_t baud = 38400) { return link.OpenIfChanged(name, baud, 8, 'N', 1.0f); }

    // Answers each command with the given bytes, whatever it was.
    void AnswerEveryCommandWith(std::string reply) {
        sim::SetResponder(name, [reply](std::string_view) { return reply; });
    }

    // A radio that takes its time: it answers as KenwoodResponder does, after
    // the delay, but never "IF;" (see HoldTheLink).
    void SlowRadio(std::map<std::string, std::string> answers, milliseconds delay) {
        auto radio = sim::KenwoodResponder(std::move(answers));
        sim::SetResponder(name, [this, radio, delay](std::string_view written) {
            const std::string reply = written == "IF;" ? std::string() : radio(written);
            if (!reply.empty()) sim::Feed(name, reply, delay);
            return std::string();
        });
    }

    // A caller asks "IF", whose answer the radio sends a byte every 100 ms
    // (so the link keeps waiting for it) until ReleaseTheLink.
    void HoldTheLink() {
        calls.emplace_back([this] { link.CatTransaction("IF"); });
        ASSERT_TRUE(sim::WaitForWritten(name, "IF;", milliseconds(5000)));
        sim::TakeWritten(name);  // the tests look at what comes after it
        trickle = std::thread([this] {
            sim::Feed(name, "IF");
            std::unique_lock<std::mutex> guard(holdMutex);
            while (!holdEnd.wait_for(guard, milliseconds(100), [this] { return released; })) {
                sim::Feed(name, "0");
            }
            sim::Feed(name, ";");
        });
    }
    void ReleaseTheLink() {
        {
            std::lock_guard<std::mutex> guard(holdMutex);
            released = true;
        }
        holdEnd.notify_all();
        if (trickle.joinable()) trickle.join();
    }

    // Makes the call on a thread of its own and returns once it waits in the
    // link, so that calls queue in the order they are made here.
    void Queue(std::function<void()> call) {
        const std::size_t before = link.Traffic().callers;
        calls.emplace_back(std::move(call));
        const auto deadline = std::chrono::steady_clock::now() + milliseconds(5000);
        while (link.Traffic().callers == before && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(milliseconds(1));
        }
        ASSERT_GT(link.Traffic().callers, before);
    }
    void JoinCalls() {
        for (std::thread& call : calls) call.join();
        calls.clear();
    }

    std::string name;
    CatLink link;
    std::vector<std::thread> calls;
    std::thread trickle;
    std::mutex holdMutex;
    std::condition_variable holdEnd;
    bool released = false;
};

}  // namespace brinmoor::test
