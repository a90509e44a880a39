// A demo agent that honours the host's control-port contract: it listens on
// 127.0.0.1 at --port=N and ends (exit code 0) on the line "shutdown\n".
// Switches to misbehave, for the tests and the benchmark:
//   --ignore        accept the line but keep running
//   --nolisten      never listen on the port
//   --lifetime=MS   end by itself (exit code 0) after MS milliseconds
//   --exitnow       end at once
//   --listendelay=MS  listen only MS milliseconds after the start
//   --spawnchild    once listening (or not), start a copy of this program
//                   with --nolisten that inherits the listening socket, as
//                   a careless agent's helper would, and holds the port
//   --child         (given to that copy) log "child pid=P" instead of "start"
//   --noread        accept connections but never read from them
//   --closenow      accept connections and close each at once
//   --noaccept      listen with a full backlog and never accept
//   --acceptdelay=MS  (with --noaccept) empty the backlog after MS ms and
//                   serve from then on
//   --stopaccepting=MS  close the listening socket after MS milliseconds and
//                   keep running: the port then takes no connection
//   --chatter=N     write N numbered lines to standard output and N to
//                   standard error, alternating, then go on as usual
//   --flood=BYTES   write BYTES to standard output as fast as it can, then
//                   log "flooded t=T longest=L" (L: its longest write, in
//                   microseconds) and go on as usual
//   At its end it writes "exiting: REASON" to standard error.
//   --log=PATH      append what happens to PATH, one line per event:
//                   "start pid=P t=T dir=D", "listening t=T", "accepted",
//                   "recv HEX", "backlog filled=N t=T", "accepting t=T",
//                   "spawned pid=P", "child pid=P ...", "stopped accepting t=T",
//                   "std in=I out=O err=E outname=N" (the file types of its
//                   standard handles, 0 for none or unknown, and the name
//                   of the file or pipe behind its standard output, "?"
//                   when it has none),
//                   "exit REASON t=T"
//                   where T is the performance counter in microseconds.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "PerformanceClock.h"

namespace {

struct Options
{
    unsigned port = 0;
    bool bIgnore = false;
    bool bNoListen = false;
    bool bExitNow = false;
    bool bNoRead = false;
    bool bCloseNow = false;
    bool bNoAccept = false;
    bool bSpawnChild = false;
    bool bChild = false;
    long lifetimeMs = -1;
    long listenDelayMs = 0;
    long acceptDelayMs = -1;
    long stopAcceptingMs = -1;
    long chatterLines = 0;
    long long floodBytes = 0;
    std::string logPath;
};

Options g_options;
SOCKET g_listener = INVALID_SOCKET;
volatile LONG g_bStoppedAccepting = FALSE;

// One append per line, so that several agents can share one log.
void Log(const std::string& line)
{
    if (g_options.logPath.empty())
        return;
    HANDLE file = CreateFileA(g_options.logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

// Writes to a standard handle, as a console program's runtime would;
// nothing when the handle is missing.
void WriteStd(DWORD which, const std::string& text)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(which), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

[[noreturn]] void Exit(const char* reason)
{
    WriteStd(STD_ERROR_HANDLE, std::string("exiting: ") + reason + "\n");
    Log(std::string("exit ") + reason + " t=" + std::to_string(NowMicroseconds()));
    ExitProcess(0);
}

void ParseOptions(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
    {
        const char* a = argv[i];
        if (strncmp(a, "--port=", 7) == 0)
            g_options.port = static_cast<unsigned>(atoi(a + 7));
        else if (strncmp(a, "--log=", 6) == 0)
            g_options.logPath = a + 6;
        else if (strncmp(a, "--lifetime=", 11) == 0)
            g_options.lifetimeMs = atol(a + 11);
        else if (strncmp(a, "--listendelay=", 14) == 0)
            g_options.listenDelayMs = atol(a + 14);
        else if (strncmp(a, "--stopaccepting=", 16) == 0)
            g_options.stopAcceptingMs = atol(a + 16);
        else if (strncmp(a, "--acceptdelay=", 14) == 0)
            g_options.acceptDelayMs = atol(a + 14);
        else if (strncmp(a, "--chatter=", 10) == 0)
            g_options.chatterLines = atol(a + 10);
        else if (strncmp(a, "--flood=", 8) == 0)
            g_options.floodBytes = atoll(a + 8);
        else if (strcmp(a, "--spawnchild") == 0)
            g_options.bSpawnChild = true;
        else if (strcmp(a, "--child") == 0)
            g_options.bChild = true;
        else if (strcmp(a, "--ignore") == 0)
            g_options.bIgnore = true;
        else if (strcmp(a, "--nolisten") == 0)
            g_options.bNoListen = true;
        else if (strcmp(a, "--exitnow") == 0)
            g_options.bExitNow = true;
        else if (strcmp(a, "--noread") == 0)
            g_options.bNoRead = true;
        else if (strcmp(a, "--closenow") == 0)
            g_options.bCloseNow = true;
        else if (strcmp(a, "--noaccept") == 0)
            g_options.bNoAccept = true;
    }
}

// The name of the file or pipe behind a handle ("\\pipe-name"), or "?".
std::string FileNameOf(HANDLE handle)
{
    union
    {
        FILE_NAME_INFO info;
        BYTE bytes[sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(WCHAR)];
    } name{};
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        !GetFileInformationByHandleEx(handle, FileNameInfo, &name, sizeof(name) - sizeof(WCHAR)))
        return "?";
    std::string text;
    for (DWORD i = 0; i < name.info.FileNameLength / sizeof(WCHAR); ++i)
        text += static_cast<char>(name.info.FileName[i] < 0x80 ? name.info.FileName[i] : '?');
    return text;
}

// The file types of the standard handles: what the agent was given.
void LogStdHandles()
{
    const auto type = [](DWORD which) {
        const HANDLE handle = GetStdHandle(which);
        return std::to_string(handle == nullptr || handle == INVALID_HANDLE_VALUE ? 0 : GetFileType(handle));
    };
    Log("std in=" + type(STD_INPUT_HANDLE) + " out=" + type(STD_OUTPUT_HANDLE) + " err=" + type(STD_ERROR_HANDLE) +
        " outname=" + FileNameOf(GetStdHandle(STD_OUTPUT_HANDLE)));
}

void Chatter()
{
    for (long i = 0; i < g_options.chatterLines; ++i)
    {
        WriteStd(STD_OUTPUT_HANDLE, "out " + std::to_string(i) + " to standard output\n");
        WriteStd(STD_ERROR_HANDLE, "err " + std::to_string(i) + " to standard error\n");
    }
}

void Flood()
{
    if (g_options.floodBytes <= 0)
        return;
    const std::string block(64 * 1024 - 1, 'f');
    const std::string line = block + "\n";
    long long longest = 0;
    for (long long left = g_options.floodBytes; left > 0; left -= static_cast<long long>(line.size()))
    {
        const long long start = NowMicroseconds();
        WriteStd(STD_OUTPUT_HANDLE, left >= static_cast<long long>(line.size()) ? line : line.substr(0, left));
        longest = std::max(longest, NowMicroseconds() - start);
    }
    Log("flooded t=" + std::to_string(NowMicroseconds()) + " longest=" + std::to_string(longest));
}

DWORD WINAPI LifetimeThread(void*)
{
    Sleep(static_cast<DWORD>(g_options.lifetimeMs));
    Exit("lifetime");
}

DWORD WINAPI StopAcceptingThread(void*)
{
    Sleep(static_cast<DWORD>(g_options.stopAcceptingMs));
    InterlockedExchange(&g_bStoppedAccepting, TRUE);
    closesocket(g_listener);
    Log("stopped accepting t=" + std::to_string(NowMicroseconds()));
    return 0;
}

std::string Hex(const char* bytes, int count)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < count; ++i)
    {
        text += digits[(bytes[i] >> 4) & 0xF];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

// Reads one connection; ends the process on a complete "shutdown" line.
void ServeConnection(SOCKET connection)
{
    std::string received;
    char buffer[256];
    int count;
    while ((count = recv(connection, buffer, sizeof(buffer), 0)) > 0)
    {
        Log("recv " + Hex(buffer, count));
        received.append(buffer, count);
        size_t end;
        while ((end = received.find('\n')) != std::string::npos)
        {
            const std::string line = received.substr(0, end);
            received.erase(0, end + 1);
            if (line == "shutdown" && !g_options.bIgnore)
                Exit("shutdown");
        }
    }
    closesocket(connection);
}

SOCKET Listen()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return INVALID_SOCKET;
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET)
        return INVALID_SOCKET;
    const BOOL reuse = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof(reuse));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(static_cast<u_short>(g_options.port));
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR ||
        listen(listener, g_options.bNoAccept ? 1 : 4) == SOCKET_ERROR)
    {
        Log("listenfail err=" + std::to_string(WSAGetLastError()));
        closesocket(listener);
        return INVALID_SOCKET;
    }
    return listener;
}

// The client ends of the connections that fill the backlog.
std::vector<SOCKET> g_fillers;

// Connects to our own port until a connection no longer completes within
// 500 ms: the backlog is then full, and a further client's connect hangs.
// The connections are kept open until the backlog is emptied.
int FillBacklog()
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(static_cast<u_short>(g_options.port));
    for (int filled = 0; filled < 64; ++filled)
    {
        SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        g_fillers.push_back(client);
        u_long nonBlocking = 1;
        ioctlsocket(client, FIONBIO, &nonBlocking);
        connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(client, &writable);
        timeval wait = {0, 500000};
        if (select(0, nullptr, &writable, nullptr, &wait) != 1)
            return filled;
    }
    return -1;
}

// A copy of this program that never listens, inheriting every inheritable
// handle (the listening socket among them), logging to the same file.
void SpawnChild()
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string line = std::string("\"") + path + "\" --nolisten --child";
    if (!g_options.logPath.empty())
        line += " \"--log=" + g_options.logPath + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
    {
        Log("spawnfail err=" + std::to_string(GetLastError()));
        return;
    }
    Log("spawned pid=" + std::to_string(info.dwProcessId));
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

// Serves connections the way the misbehaviour switches ask.
[[noreturn]] void ServeConnections(SOCKET listener)
{
    if (g_options.bNoAccept)
    {
        const int filled = FillBacklog();
        Log("backlog filled=" + std::to_string(filled) + " t=" + std::to_string(NowMicroseconds()));
        if (g_options.acceptDelayMs < 0)
            Sleep(INFINITE);
        Sleep(static_cast<DWORD>(g_options.acceptDelayMs));
        // Closed, the fillers' connections are accepted and end at once.
        for (SOCKET filler : g_fillers)
            closesocket(filler);
        Log("accepting t=" + std::to_string(NowMicroseconds()));
    }
    for (;;)
    {
        const SOCKET connection = accept(listener, nullptr, nullptr);
        if (g_bStoppedAccepting)
            Sleep(INFINITE);
        if (connection == INVALID_SOCKET)
            continue;
        Log("accepted");
        if (g_options.bNoRead)
            continue;  // left open and unread
        if (g_options.bCloseNow)
            closesocket(connection);
        else
            ServeConnection(connection);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    ParseOptions(argc, argv);
    char directory[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, directory);
    Log(std::string(g_options.bChild ? "child" : "start") + " pid=" + std::to_string(GetCurrentProcessId()) +
        " t=" + std::to_string(NowMicroseconds()) + " dir=" + directory);
    LogStdHandles();
    Chatter();
    Flood();
    if (g_options.bExitNow)
        Exit("now");
    if (g_options.lifetimeMs >= 0)
        CloseHandle(CreateThread(nullptr, 0, &LifetimeThread, nullptr, 0, nullptr));

    if (g_options.listenDelayMs > 0)
        Sleep(static_cast<DWORD>(g_options.listenDelayMs));
    SOCKET listener = g_options.bNoListen ? INVALID_SOCKET : Listen();
    if (listener != INVALID_SOCKET)
        Log("listening t=" + std::to_string(NowMicroseconds()));
    g_listener = listener;
    if (listener != INVALID_SOCKET && g_options.stopAcceptingMs >= 0)
        CloseHandle(CreateThread(nullptr, 0, &StopAcceptingThread, nullptr, 0, nullptr));
    if (g_options.bSpawnChild)
        SpawnChild();
    if (listener == INVALID_SOCKET)
    {
        Sleep(INFINITE);
        return 0;
    }
    ServeConnections(listener);
}
