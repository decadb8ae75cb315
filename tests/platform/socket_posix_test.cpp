// Every connection the server accepts (control clients, tcp: endpoints) and
// the tcp: radio's connection notice a peer whose network vanished.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "platform/socket.h"

namespace brinmoor {
namespace {

int Option(SocketHandle socket, int level, int name) {
    int value = -1;
    socklen_t size = sizeof value;
    if (getsockopt(static_cast<int>(socket), level, name, &value, &size) != 0) return -1;
    return value;
}

TEST(SocketPosixTest, AcceptedAndTunedConnectionsAreKeptAlive) {
    const SocketHandle listener = CreateTcpSocket();
    ASSERT_TRUE(BindSocket(listener, "127.0.0.1", 0) && ListenSocket(listener, 4));
    const SocketHandle client = CreateTcpSocket();
    ASSERT_TRUE(ConnectSocket(client, "127.0.0.1", LocalPort(listener)));
    const SocketHandle accepted = AcceptConnection(listener);
    ASSERT_NE(accepted, kInvalidSocket);
    TuneConnection(client, 1000);  // as the tcp: radio's connection is
    for (const SocketHandle socket : {accepted, client}) {
        EXPECT_EQ(Option(socket, SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(Option(socket, IPPROTO_TCP, TCP_KEEPIDLE), 10);
        EXPECT_EQ(Option(socket, IPPROTO_TCP, TCP_KEEPINTVL), 5);
        EXPECT_EQ(Option(socket, IPPROTO_TCP, TCP_KEEPCNT), 3);
        EXPECT_EQ(Option(socket, IPPROTO_TCP, TCP_USER_TIMEOUT), 25000);
        CloseSocket(socket);
    }
    CloseSocket(listener);
}

}  // namespace
}  // namespace brinmoor
