// The small socket layer of the control channel. A socket object owns its
// socket and closes it when destroyed.
#pragma once

#include <winsock2.h>
#include <windows.h>

// Starts Windows Sockets 2.2 for the process; WSACleanup is the matching
// clean-up.
HRESULT StartSockets();

namespace Ravn {

// HRESULT of the calling thread's last Windows Sockets error.
HRESULT LastSocketError();

// Fills `address` (zeroed first) with the IPv4 address of `host`, a dotted
// address or a host name, and `port` in network byte order.
HRESULT ResolveAddress(const char* host, USHORT port, sockaddr_in& address);

class CSocket
{
public:
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    virtual HRESULT Create() = 0;

    bool IsOpen() const { return m_socket != INVALID_SOCKET; }

protected:
    CSocket() = default;
    // Not virtual: a socket object is never deleted through its base.
    ~CSocket();

    SOCKET m_socket = INVALID_SOCKET;
};

class CTcpSocket : public CSocket
{
public:
    CTcpSocket() = default;

    // A plain blocking TCP stream socket; E_FAIL when one is already open.
    HRESULT OpenStream();
    // A non-blocking TCP socket without receive buffer, reset on close and
    // without send coalescing.
    HRESULT Create() override;
    HRESULT Connect(const sockaddr_in& address);
    // Connects within `timeoutMs` (WSAETIMEDOUT after it) and leaves the
    // socket non-blocking. A listener whose backlog is full never completes
    // the handshake: a plain connect would wait for the system's retries,
    // minutes.
    HRESULT Connect(const sockaddr_in& address, DWORD timeoutMs);
    HRESULT SetBlocking(bool bBlocking);
    HRESULT Send(const void* bytes, DWORD length, DWORD& sent);
    HRESULT SetOption(int level, int name, const void* value);

private:
    HRESULT WaitForConnection(DWORD timeoutMs);
};

}  // namespace Ravn
