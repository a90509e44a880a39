// The Ravn socket layer against a loopback listener of the test, and the
// exit-wait slot on its own.
#include <gtest/gtest.h>

#include "agent/Socket.h"  // Windows Sockets before windows.h

#include "agent/ExitWait.h"
#include "base/Handles.h"
#include "support/HostTestSupport.h"

namespace {

void CALLBACK IgnoreWait(void*, BOOLEAN) {}

class CTestSocket : public Ravn::CTcpSocket
{
public:
    SOCKET Handle() const { return m_socket; }
};

class SocketTest : public ::testing::Test
{
protected:
    SocketTest() { EXPECT_EQ(S_OK, StartSockets()); }
    ~SocketTest() override
    {
        if (listener != INVALID_SOCKET)
            closesocket(listener);
        WSACleanup();
    }

    // A listener on a free loopback port; returns its address.
    sockaddr_in Listen()
    {
        listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        listen(listener, 1);
        int length = sizeof(address);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        return address;
    }

    SOCKET listener = INVALID_SOCKET;
};

TEST_F(SocketTest, ResolvesDottedAddressesAndHostNames)
{
    sockaddr_in address;
    ASSERT_EQ(S_OK, Ravn::ResolveAddress("127.0.0.1", 5000, address));
    EXPECT_EQ(AF_INET, address.sin_family);
    EXPECT_EQ(htons(5000), address.sin_port);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), address.sin_addr.s_addr);

    ASSERT_EQ(S_OK, Ravn::ResolveAddress("localhost", 1, address));
    EXPECT_EQ(htons(1), address.sin_port);

    address.sin_port = 7;
    const HRESULT hr = Ravn::ResolveAddress("no-such-host.invalid", 1, address);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(0x80070000u, static_cast<unsigned>(hr) & 0xFFFF0000u);
    EXPECT_EQ(0, address.sin_port);  // left zeroed
}

TEST_F(SocketTest, RefusedConnectionGivesTheSocketErrorAsHresult)
{
    const sockaddr_in address = Listen();
    closesocket(listener);  // nothing listens on that port any more
    listener = INVALID_SOCKET;
    CTestSocket socket;
    ASSERT_EQ(S_OK, socket.OpenStream());
    EXPECT_EQ(static_cast<HRESULT>(0x8007274D), socket.Connect(address));
}

TEST_F(SocketTest, OpensOnceAndSendsTheBytesAsGiven)
{
    const sockaddr_in address = Listen();
    CTestSocket socket;
    EXPECT_FALSE(socket.IsOpen());
    ASSERT_EQ(S_OK, socket.OpenStream());
    const SOCKET opened = socket.Handle();
    EXPECT_EQ(E_FAIL, socket.OpenStream());
    EXPECT_EQ(E_FAIL, socket.Create());
    EXPECT_EQ(opened, socket.Handle());

    ASSERT_EQ(S_OK, socket.Connect(address));
    const SOCKET peer = accept(listener, nullptr, nullptr);
    ASSERT_NE(INVALID_SOCKET, peer);
    DWORD sent = 0;
    EXPECT_EQ(S_OK, socket.Send("shutdown\n", 9, sent));
    EXPECT_EQ(9u, sent);
    char buffer[16] = {};
    int received = 0;
    for (int n; received < 9 && (n = recv(peer, buffer + received, sizeof(buffer) - received, 0)) > 0;)
        received += n;
    EXPECT_EQ(std::string("shutdown\n"), std::string(buffer, received));
    closesocket(peer);
}

TEST_F(SocketTest, CreateSetsTheOptionsOfTheClass)
{
    CTestSocket socket;
    ASSERT_EQ(S_OK, socket.Create());
    int value = -1;
    int length = sizeof(value);
    ASSERT_EQ(0, getsockopt(socket.Handle(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value), &length));
    EXPECT_NE(0, value);
    LINGER linger{};
    length = sizeof(linger);
    ASSERT_EQ(0, getsockopt(socket.Handle(), SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&linger), &length));
    EXPECT_EQ(1, linger.l_onoff);
    EXPECT_EQ(0, linger.l_linger);
}

TEST(ExitWaitSlot, OccupiedSlotKeepsItsRegistration)
{
    CKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE volatile slot = nullptr;
    ASSERT_EQ(S_OK, RegisterExitWait(&slot, event.Get(), &IgnoreWait, nullptr, INFINITE, WT_EXECUTEONLYONCE));
    const HANDLE first = slot;
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(E_UNEXPECTED, RegisterExitWait(&slot, event.Get(), &IgnoreWait, nullptr, INFINITE, 0));
    EXPECT_EQ(first, slot);
    ReleaseExitWait(&slot);
    EXPECT_EQ(nullptr, slot);
    ReleaseExitWait(&slot);  // an empty slot is left alone
    EXPECT_EQ(nullptr, slot);
}

}  // namespace
