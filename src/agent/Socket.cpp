#include "agent/Socket.h"

#include <ws2tcpip.h>

#include "runtime/Result.h"

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
    u_long nonBlocking = 1;
    ioctlsocket(m_socket, FIONBIO, &nonBlocking);  // a blocking socket still works
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
