#include "agent/Socket.h"

#include <ws2tcpip.h>

#include "base/Result.h"

HRESULT StartSockets()
{
    WSADATA data;
    const int error = WSAStartup(MAKEWORD(2, 2), &data);
    return error == 0 ? S_OK : HResultFromError(static_cast<DWORD>(error));
}

namespace Ravn {

HRESULT LastSocketError()
{
    return HResultFromError(static_cast<DWORD>(WSAGetLastError()));
}

HRESULT ResolveAddress(const char* host, USHORT port, sockaddr_in& address)
{
    ULONG ipv4 = inet_addr(host);
    ZeroMemory(&address, sizeof(address));
    if (ipv4 == INADDR_NONE)
    {
        const hostent* entry = gethostbyname(host);
        if (entry == nullptr || entry->h_addr_list[0] == nullptr)
            return LastSocketError();
        CopyMemory(&ipv4, entry->h_addr_list[0], sizeof(ipv4));
    }
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ipv4;
    address.sin_port = htons(port);
    return S_OK;
}

CSocket::~CSocket()
{
    if (m_socket != INVALID_SOCKET)
    {
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
}

HRESULT CTcpSocket::OpenStream()
{
    if (IsOpen())
        return E_FAIL;
    const SOCKET opened = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (opened == INVALID_SOCKET)
        return LastSocketError();
    m_socket = opened;
    return S_OK;
}

HRESULT CTcpSocket::Create()
{
    HRESULT hr = OpenStream();
    if (FAILED(hr))
        return hr;
    SetBlocking(false);  // a blocking socket still works
    const int noBuffer = 0;
    const LINGER reset = {1, 0};
    const int noDelay = 1;
    hr = SetOption(SOL_SOCKET, SO_RCVBUF, &noBuffer);
    if (SUCCEEDED(hr))
        hr = SetOption(SOL_SOCKET, SO_LINGER, &reset);
    if (SUCCEEDED(hr))
        hr = SetOption(IPPROTO_TCP, TCP_NODELAY, &noDelay);
    if (FAILED(hr))
    {
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
    return hr;
}

HRESULT CTcpSocket::Connect(const sockaddr_in& address)
{
    if (connect(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR)
        return LastSocketError();
    return S_OK;
}

HRESULT CTcpSocket::Connect(const sockaddr_in& address, DWORD timeoutMs)
{
    HRESULT hr = SetBlocking(false);
    if (SUCCEEDED(hr) &&
        connect(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR &&
        WSAGetLastError() != WSAEWOULDBLOCK)
        hr = LastSocketError();
    return SUCCEEDED(hr) ? WaitForConnection(timeoutMs) : hr;
}

HRESULT CTcpSocket::SetBlocking(bool bBlocking)
{
    u_long nonBlocking = bBlocking ? 0 : 1;
    if (ioctlsocket(m_socket, FIONBIO, &nonBlocking) == SOCKET_ERROR)
        return LastSocketError();
    return S_OK;
}

// A pending connection is made when the socket turns writable, and failed
// when it reports an exception, SO_ERROR telling which error. A connection
// to this machine is mostly made by the time connect returns: a first look
// that does not wait saves the wait and its wake-up.
HRESULT CTcpSocket::WaitForConnection(DWORD timeoutMs)
{
    fd_set writable;
    fd_set failed;
    const auto look = [&](DWORD waitMs) {
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(m_socket, &writable);
        FD_SET(m_socket, &failed);
        timeval wait;
        wait.tv_sec = static_cast<long>(waitMs / 1000);
        wait.tv_usec = static_cast<long>(waitMs % 1000 * 1000);
        return select(0, nullptr, &writable, &failed, &wait);
    };
    int ready = look(0);
    if (ready == 0 && timeoutMs != 0)
        ready = look(timeoutMs);
    if (ready == SOCKET_ERROR)
        return LastSocketError();
    if (ready == 0)
        return HResultFromError(WSAETIMEDOUT);
    if (!FD_ISSET(m_socket, &failed))
        return S_OK;
    int error = 0;
    int length = sizeof(error);
    if (getsockopt(m_socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == SOCKET_ERROR)
        return LastSocketError();
    return error == 0 ? S_OK : HResultFromError(static_cast<DWORD>(error));
}

HRESULT CTcpSocket::Send(const void* bytes, DWORD length, DWORD& sent)
{
    WSABUF buffer;
    buffer.len = length;
    buffer.buf = static_cast<char*>(const_cast<void*>(bytes));
    sent = 0;
    if (WSASend(m_socket, &buffer, 1, &sent, 0, nullptr, nullptr) == SOCKET_ERROR)
        return LastSocketError();
    return S_OK;
}

// The value is 4 bytes long for every option this layer sets.
HRESULT CTcpSocket::SetOption(int level, int name, const void* value)
{
    if (setsockopt(m_socket, level, name, static_cast<const char*>(value), 4) == SOCKET_ERROR)
        return LastSocketError();
    return S_OK;
}

}  // namespace Ravn
