#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "net/net.h"
#include "tests/support.h"

namespace {

bool IsClosed(Socket socket) {
    return fcntl(socket, F_GETFD) == -1 && errno == EBADF;
}

// A connected pair: the client end made by the operations under test, the service end accepted
// from a listener on an ephemeral port.
struct Connection {
    Socket client = kInvalidSocket;
    int service = -1;
};

Connection Connect() {
    const int listener = Listen(0);
    EXPECT_NE(listener, -1);
    Connection c;
    sockaddr_in address{};
    EXPECT_EQ(NetCreateSocket(&c.client, &address, PortOf(listener)), 0);
    EXPECT_EQ(NetConnect(&c.client, &address), 0);
    c.service = AcceptWithin(listener, 5000);
    EXPECT_NE(c.service, -1);
    close(listener);
    return c;
}

// Waits until `bytes` bytes wait unread at the client, so that one receive takes them together.
void WaitQueued(Socket socket, int bytes) {
    for (int i = 0; i < 5000; ++i) {
        int queued = 0;
        ioctl(socket, FIONREAD, &queued);
        if (queued >= bytes) {
            return;
        }
        usleep(1000);
    }
    FAIL() << "the data did not arrive";
}

TEST(NetCreateSocket, FillsTheLoopbackAddressInNetworkOrder) {
    Socket socket = kInvalidSocket;
    sockaddr_in address{};
    std::memset(address.sin_zero, 0x5A, sizeof address.sin_zero);
    ASSERT_EQ(NetCreateSocket(&socket, &address, 31286), 0);
    EXPECT_NE(socket, kInvalidSocket);
    EXPECT_EQ(address.sin_family, AF_INET);
    const auto *port = reinterpret_cast<const unsigned char *>(&address.sin_port);
    EXPECT_EQ(port[0], 0x7A);
    EXPECT_EQ(port[1], 0x36);
    const auto *ip = reinterpret_cast<const unsigned char *>(&address.sin_addr);
    EXPECT_EQ(std::string(ip, ip + 4), std::string("\x7f\x00\x00\x01", 4));
    // The trailing bytes are not the operation's to write.
    for (unsigned char b : address.sin_zero) {
        EXPECT_EQ(b, 0x5A);
    }
    EXPECT_EQ(NetClose(&socket), 0);
}

TEST(NetConnect, RefusedPrintsTheMessageAndClosesTheSocket) {
    const int listener = Listen(0);
    ASSERT_NE(listener, -1);
    const std::uint16_t port = PortOf(listener);
    close(listener); // nothing listens there now

    Socket socket = kInvalidSocket;
    sockaddr_in address{};
    ASSERT_EQ(NetCreateSocket(&socket, &address, port), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(NetConnect(&socket, &address), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "connect failed with error: " + std::to_string(ECONNREFUSED) + "\n");
    EXPECT_TRUE(IsClosed(socket));
}

TEST(NetReceive, ClearsTheBufferAndTerminatesAShortReceive) {
    Connection c = Connect();
    ASSERT_TRUE(SendMessage(c.service, "50;abc"));
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    ASSERT_EQ(NetReceive(&c.client, buffer, sizeof buffer), 6);
    EXPECT_EQ(std::string(buffer, 6), "50;abc");
    EXPECT_EQ(std::string(buffer + 6, 10), std::string(10, '\0'));
    NetClose(&c.client);
    close(c.service);
}

TEST(NetReceive, AFullReceiveStopsAtTheBufferWithNoTerminator) {
    Connection c = Connect();
    ASSERT_TRUE(SendMessage(c.service, std::string(40, 'a') + std::string(10, 'b')));
    WaitQueued(c.client, 50);
    char buffer[40];
    ASSERT_EQ(NetReceive(&c.client, buffer, sizeof buffer), 40);
    EXPECT_EQ(std::string(buffer, 40), std::string(40, 'a'));
    ASSERT_EQ(NetReceive(&c.client, buffer, sizeof buffer), 10);
    EXPECT_EQ(std::string(buffer, 10), std::string(10, 'b'));
    NetClose(&c.client);
    close(c.service);
}

TEST(NetReceive, ReportsOrderlyCloseAsZeroAndResetAsFailure) {
    Connection closed = Connect();
    close(closed.service);
    char buffer[8];
    EXPECT_EQ(NetReceive(&closed.client, buffer, sizeof buffer), 0);
    EXPECT_EQ(NetReceive(&closed.client, buffer, sizeof buffer), 0);
    NetClose(&closed.client);

    Connection reset = Connect();
    ResetConnection(reset.service);
    EXPECT_EQ(NetReceive(&reset.client, buffer, sizeof buffer), -1);
    NetClose(&reset.client);
}

TEST(NetClose, AFailedClosePrintsTheMessage) {
    Socket socket = kInvalidSocket;
    sockaddr_in address{};
    ASSERT_EQ(NetCreateSocket(&socket, &address, 1), 0);
    // Captured first: the capture opens descriptors, which must not take the closed one's number.
    testing::internal::CaptureStdout();
    close(socket); // closing it again now fails
    EXPECT_EQ(NetClose(&socket), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "close failed with error: " + std::to_string(EBADF) + "\n");
}

} // namespace
