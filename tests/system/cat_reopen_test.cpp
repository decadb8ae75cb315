// The radio's CAT port disappears under the running server (the radio's
// pseudo-terminal closes, as a USB port does when the radio is switched off)
// and comes back under the same name: the server reopens it by itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "support/posix/server_process.h"
#include "support/posix/tcp_client.h"

namespace brinmoor {
namespace {

using namespace std::chrono_literals;
using test::CatCfg;
using test::RadioSim;
using test::ServerProcess;
using test::TcpClient;

class CatReopenSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        link = (std::filesystem::temp_directory_path() /
                ("brinmoor-cat-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name()))
                   .string();
        lostLine = "[brinmoor] CAT port " + link + " lost \xE2\x80\x94 will reopen when it returns";
        ASSERT_TRUE(StartRadio());
        ASSERT_TRUE(server.StartListening());
        client = std::make_unique<TcpClient>(server.Port());
        ASSERT_TRUE(client->Connected());
        ASSERT_EQ(client->Ask(CatCfg(link)), "CFG_OK;");
        ASSERT_TRUE(server.WaitOut("CAT port " + link + " opened. Radio ID: ID019"));
        ASSERT_EQ(client->Ask("FA;"), "FA00014074000;");
    }
    void TearDown() override {
        radio.reset();
        std::error_code ignored;
        std::filesystem::remove(link, ignored);
    }

    // A new radio simulator on a new pseudo-terminal, under the same link.
    bool StartRadio() {
        radio = std::make_unique<RadioSim>();
        return radio->Start({"--link", link});
    }

    // The radio's end of the line closes; the link goes with it.
    void SwitchRadioOff() {
        radio.reset();
        ASSERT_TRUE(server.WaitErr(lostLine, 5s)) << "the loss was not noticed";
    }

    std::string link;
    std::string lostLine;
    std::unique_ptr<RadioSim> radio;
    ServerProcess server;
    std::unique_ptr<TcpClient> client;
};

TEST_F(CatReopenSystemTest, RadioSwitchedOffAndOnIsReopenedUnderTheSameName) {
    SwitchRadioOff();
    // Queries are answered as with a closed port, and other clients are served.
    EXPECT_EQ(client->Ask("FA;"), "ERRFA;");
    TcpClient other(server.Port());
    EXPECT_NE(other.Ask("PORTS;").find("\"tcp_port\":"), std::string::npos);
    EXPECT_EQ(other.Ask("IF;"), "ERRIF;");

    ASSERT_TRUE(StartRadio());
    // Tried every two seconds: the port is back well within two rounds.
    ASSERT_TRUE(server.WaitOut("CAT port " + link + " reopened", 8s));
    ASSERT_TRUE(server.WaitOut("CAT port " + link + " opened. Radio ID: ID019"));
    EXPECT_EQ(client->Ask("FA;"), "FA00014074000;");

    // The loss was reported once, however often the port was asked meanwhile.
    server.DrainOutput();
    EXPECT_EQ(std::count(server.ErrLines().begin(), server.ErrLines().end(), lostLine), 1);
    client->Send("QUIT;");
    EXPECT_EQ(server.Wait(), 0);
}

}  // namespace
}  // namespace brinmoor
