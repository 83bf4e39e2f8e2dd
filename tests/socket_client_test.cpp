#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "platform/fault.h"
#include "support/log_capture.h"
#include "support/peer_socket.h"
#include "support/scripted_peer.h"
#include "transport/SocketClient.h"

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// Takes bytes until want bytes arrived or Recv reports something else;
// bounded by the number of waits.
int32_t RecvUntil(SocketClient& client, std::string& into, size_t want) {
    for (int wait = 0; wait < 100 && into.size() < want; ++wait) {
        testnet::WaitReady(client.Handle(), platform::Awaited::kReadable, 100);
        std::unique_ptr<uint8_t[]> block;
        int32_t length = 0;
        const int32_t result = client.Recv(block, length);
        if (result != 0) return result;
        if (length > 0) into.append(reinterpret_cast<const char*>(block.get()), length);
    }
    return 0;
}

}  // namespace

TEST(SocketClientTest, ConnectRejectsMissingHostAndBadPortWithoutTouchingTheClient) {
    LogCapture log;
    SocketClient client;
    EXPECT_EQ(client.Connect("127.0.0.1", 0), -3);
    EXPECT_EQ(client.Connect("127.0.0.1", -5), -3);
    EXPECT_EQ(client.Connect("127.0.0.1", 70000), -3);  // would wrap to another port
    EXPECT_EQ(client.Connect(nullptr, 8182), -3);
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(client.GetPort(), 0);
    EXPECT_EQ(log.Count("Function = SocketClient::Connect"), 4u);
}

TEST(SocketClientTest, RefusedConnectKeepsItsSocketUntilTheNextConnect) {
    const uint16_t unused = ScriptedPeer::UnusedPort();
    ASSERT_NE(unused, 0);
    SocketClient client;
    EXPECT_EQ(client.Connect("127.0.0.1", unused), -2);
    EXPECT_TRUE(client.IsOpen());
    EXPECT_EQ(client.GetPort(), 0);

    ScriptedPeer peer(PeerScript().AwaitClientClose());
    ASSERT_TRUE(peer.ok());
    EXPECT_EQ(client.Connect("127.0.0.1", peer.port()), 0);
    EXPECT_EQ(client.GetHost(), "127.0.0.1");
    EXPECT_EQ(client.GetPort(), peer.port());
}

TEST(SocketClientTest, HostNamesAreNotLookedUp) {
    ScriptedPeer peer(PeerScript().AwaitClientClose());
    ASSERT_TRUE(peer.ok());
    SocketClient client;
    EXPECT_EQ(client.Connect("localhost", peer.port()), -2);
}

TEST(SocketClientTest, SendsOneBufferAndTakesOnlyWhatHasArrived) {
    ScriptedPeer peer(PeerScript().ReadRequest().Send("first").WaitGate().Send("second").Close());
    ASSERT_TRUE(peer.ok());
    SocketClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", peer.port()), 0);

    // Nothing has arrived yet: 0, length 0, the block untouched.
    std::unique_ptr<uint8_t[]> block;
    int32_t length = 7;
    EXPECT_EQ(client.Recv(block, length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(block, nullptr);

    const std::string request = "GET / HTTP/1.1\r\n\r\n";
    ASSERT_EQ(client.Send(request.data(), static_cast<int32_t>(request.size())), 0);
    ASSERT_TRUE(peer.WaitForRequests(1, 5s));
    EXPECT_EQ(peer.Requests()[0], request);

    std::string received;
    EXPECT_EQ(RecvUntil(client, received, 5), 0);
    EXPECT_EQ(received, "first");
    peer.OpenGate();
    EXPECT_EQ(RecvUntil(client, received, 11), 0);
    EXPECT_EQ(received, "firstsecond");
}

TEST(SocketClientTest, OrderlyCloseIsReportedAfterTheLastByte) {
    ScriptedPeer peer(PeerScript().Send("bye").Close());
    ASSERT_TRUE(peer.ok());
    SocketClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", peer.port()), 0);
    ASSERT_TRUE(peer.WaitForFinishedConnections(1, 5s));

    std::string received;
    EXPECT_EQ(RecvUntil(client, received, 3), 0);
    EXPECT_EQ(received, "bye");
    EXPECT_EQ(RecvUntil(client, received, 4), -2);
}

TEST(SocketClientTest, SendWithNothingToSendFails) {
    ScriptedPeer peer(PeerScript().AwaitClientClose());
    ASSERT_TRUE(peer.ok());
    SocketClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", peer.port()), 0);
    LogCapture log;
    EXPECT_EQ(client.Send(nullptr, 4), -1);
    EXPECT_EQ(client.Send("x", 0), -1);
    EXPECT_EQ(log.Count("Function = SocketClient::Send"), 2u);
}

// A send to a peer that has reset the connection fails with a result; on
// POSIX it would otherwise raise SIGPIPE and end the whole test process.
TEST(SocketClientTest, SendToAResetPeerFailsWithoutEndingTheProcess) {
    // The peer resets only once the connect is complete: a reset that beats
    // the connect's own completion check fails the connect instead.
    ScriptedPeer peer(PeerScript().WaitGate().Reset());
    ASSERT_TRUE(peer.ok());
    SocketClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", peer.port()), 0);
    peer.OpenGate();
    ASSERT_TRUE(peer.WaitForFinishedConnections(1, 5s));
    ASSERT_EQ(testnet::WaitReady(client.Handle(), platform::Awaited::kReadable, 5000),
              platform::Readiness::kReady);  // the reset has arrived

    const std::string bytes(1000, 'x');
    // The first call may see the pending error, the next ones reach send().
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(client.Send(bytes.data(), static_cast<int32_t>(bytes.size())), 0);
    std::unique_ptr<uint8_t[]> block;
    int32_t length = 0;
    EXPECT_NE(client.Recv(block, length), 0);
}

TEST(SocketClientTest, CloseAndStopManageTheMarkAndFields) {
    SocketClient client;
    EXPECT_EQ(client.Close(), 0);
    EXPECT_FALSE(client.IsOpen());

    ScriptedPeer peer(PeerScript().AwaitClientClose());
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(client.Connect("127.0.0.1", peer.port()), 0);
    client.Stop();
    EXPECT_TRUE(client.IsStopped());
    EXPECT_TRUE(client.IsOpen());  // Stop does not interrupt the connection
    EXPECT_EQ(client.Close(), 0);
    EXPECT_FALSE(client.IsStopped());
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(client.GetHost(), "");
    EXPECT_EQ(client.GetPort(), 0);
    EXPECT_TRUE(peer.WaitForFinishedConnections(1, 5s));

    LogCapture log;
    client.Stop();  // no socket: the linger change fails and is logged
    EXPECT_EQ(log.Count("Function = SocketClient::Stop"), 1u);
}

TEST(SocketClientTest, ConnectToAHostThatNeverAnswersIsBoundedAndStoppable) {
    testnet::SilentListener silent;
    if (!silent.ok()) GTEST_SKIP() << "could not fill a listener's queue on this system";

    SocketClient client;
    const auto started = Clock::now();
    EXPECT_EQ(client.Connect("127.0.0.1", silent.port()), -5);
    const auto took = Clock::now() - started;
    EXPECT_GE(took, std::chrono::milliseconds(SocketClient::kConnectTimeoutMs) - 50ms);
    EXPECT_LT(took, std::chrono::milliseconds(SocketClient::kConnectTimeoutMs) + 2s);

    std::atomic<uint8_t> raisedEarly{1};
    EXPECT_EQ(client.Connect("127.0.0.1", silent.port(), &raisedEarly), -6);

    // The flag goes up from another thread once the attempt is waiting for
    // the connect to complete: the first readiness wait signals the
    // stopper. A Connect that looked at the flag only before its wait would
    // run into its no-answer bound (-5); one that watches it during the wait
    // ends within one wait.
    std::atomic<uint8_t> stop{0};
    std::promise<void> waiting;
    std::atomic<bool> signalled{false};
    platform::ObserveCallsForTesting(platform::FaultKind::kWait, [&] {
        if (!signalled.exchange(true)) waiting.set_value();
    });
    Clock::time_point raisedAt;
    std::thread stopper([&, waited = waiting.get_future()] {
        waited.wait();
        raisedAt = Clock::now();
        stop = 1;
    });
    EXPECT_EQ(client.Connect("127.0.0.1", silent.port(), &stop), -6);
    const auto ended = Clock::now();
    platform::ObserveCallsForTesting(platform::FaultKind::kWait, nullptr);
    if (!signalled.exchange(true)) waiting.set_value();  // lets the stopper end if no wait began
    stopper.join();
    EXPECT_LT(ended - raisedAt, 2s);  // one 100 ms wait, with room for a loaded machine
}
